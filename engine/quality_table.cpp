#include "engine/quality_table.h"

#include <algorithm>
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

void StandardLumaSteps(int quality, std::uint16_t steps[64])
{
    // libjpeg's standard luminance table (natural order) and its scaling by quality.
    static constexpr long kBase[64] = {
        16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
        69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
        81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99,
    };
    quality = std::clamp(quality, 1, 100);
    const long scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    for (int i = 0; i < 64; ++i)
        steps[i] = static_cast<std::uint16_t>(std::clamp((kBase[i] * scale + 50) / 100, 1L, 255L));
}

}  // namespace tramblix
