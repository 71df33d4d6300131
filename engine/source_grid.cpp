#include "engine/source_grid.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "engine/quality_table.h"
#include "engine/quantise.h"

namespace tramblix {

namespace {

// Blocks looked at, at most, spread over the picture: enough values to tell a grid from chance.
constexpr int kSampleRows = 48;
constexpr int kSampleColumns = 48;
// Steps under this are blurred by the decoder's rounding of pixels (about 0.3 of a unit of
// the transform's scale), so they tell nothing.
constexpr int kLeastStep = 4;
constexpr float kNearStep = 0.2f;  // within this of a whole step counts as on the grid
constexpr float kShareOnGrid = 0.85f;
constexpr int kLeastValues = 200;

}  // namespace

std::optional<std::array<std::uint16_t, 64>> GuessLumaGrid(int width, int height,
                                                           const std::function<void(int y, std::uint8_t* row)>& lumaRow)
{
    const int blocksWide = width / 8, blocksHigh = height / 8;
    if (blocksWide == 0 || blocksHigh == 0)
        return std::nullopt;
    const int rows = std::min(blocksHigh, kSampleRows), columns = std::min(blocksWide, kSampleColumns);
    std::vector<std::uint8_t> samples(static_cast<std::size_t>(8) * width);
    std::vector<std::int32_t> values;  // AC values of every block looked at, natural order
    values.reserve(static_cast<std::size_t>(rows) * columns * 64);
    for (int r = 0; r < rows; ++r) {
        const int by = r * blocksHigh / rows;
        for (int y = 0; y < 8; ++y)
            lumaRow(8 * by + y, samples.data() + static_cast<std::size_t>(y) * width);
        for (int c = 0; c < columns; ++c) {
            std::int32_t coefficients[64];
            ForwardDct(samples.data() + 8 * (c * blocksWide / columns), width, coefficients);
            values.insert(values.end(), coefficients, coefficients + 64);
        }
    }
    int best = 0;
    float bestShare = kShareOnGrid;
    for (int quality = 1; quality <= 100; ++quality) {
        std::uint16_t steps[64];
        StandardLumaSteps(quality, steps);
        long counted = 0, onGrid = 0;
        for (std::size_t at = 0; at < values.size(); at += 64)
            for (int i = 1; i < 64; ++i) {
                if (steps[i] < kLeastStep)
                    continue;
                const float inSteps = static_cast<float>(std::abs(values[at + i])) / (8.0f * steps[i]);
                if (inSteps < 0.5f)
                    continue;
                ++counted;
                onGrid += std::abs(inSteps - std::round(inSteps)) <= kNearStep ? 1 : 0;
            }
        const float share = counted >= kLeastValues ? static_cast<float>(onGrid) / static_cast<float>(counted) : 0.0f;
        if (share > bestShare) {
            bestShare = share;
            best = quality;
        }
    }
    if (best != 0) {
        std::array<std::uint16_t, 64> found{};
        StandardLumaSteps(best, found.data());
        return found;
    }
    return std::nullopt;
}

}  // namespace tramblix
