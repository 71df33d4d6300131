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

namespace {

// jpeg_set_quality's scaling of a standard table (natural order) to `quality`, baseline-limited.
void ScaledSteps(const long (&base)[64], int quality, std::uint16_t steps[64])
{
    quality = std::clamp(quality, 1, 100);
    const long scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    for (int i = 0; i < 64; ++i)
        steps[i] = static_cast<std::uint16_t>(std::clamp((base[i] * scale + 50) / 100, 1L, 255L));
}

}  // namespace

void StandardLumaSteps(int quality, std::uint16_t steps[64])
{
    // libjpeg's standard luminance table (natural order).
    static constexpr long kBase[64] = {
        16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
        69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
        81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99,
    };
    ScaledSteps(kBase, quality, steps);
}

void StandardChromaSteps(int quality, std::uint16_t steps[64])
{
    // libjpeg's standard chrominance table (natural order): 99 past the lowest frequencies.
    static constexpr long kBase[64] = {
        17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
        99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
        99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    };
    ScaledSteps(kBase, quality, steps);
}

}  // namespace tramblix
