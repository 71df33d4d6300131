#include "engine/quality_table.h"

#include <array>

namespace tramblix {

CompressionLevel NormaliseLevel(CompressionLevel level)
{
    return level > 10 ? 5 : level;
}

int QualityForLevel(CompressionLevel level)
{
    static constexpr std::array<int, 11> kQuality{kDefaultQuality, 90, 80, 70, 60, 50, 40, 30, 25, 20, 15};
    return level < kQuality.size() ? kQuality[level] : kDefaultQuality;
}

}  // namespace tramblix
