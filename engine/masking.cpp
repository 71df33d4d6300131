#include "engine/masking.h"

#include <algorithm>
#include <cstdlib>

namespace tramblix {

namespace {

// Mean absolute Laplacian over 4x4 cells; cells past the picture repeat its last ones.
std::vector<float> CellActivity(int width, int height, int cellsWide, int cellsHigh,
                                const std::function<void(int y, std::uint8_t* row)>& lumaRow)
{
    std::vector<float> cells(static_cast<std::size_t>(cellsWide) * cellsHigh, 0.0f);
    std::vector<std::uint8_t> rows[3];
    for (auto& row : rows)
        row.resize(static_cast<std::size_t>(width));
    std::vector<int> laplacian(static_cast<std::size_t>(width));
    lumaRow(0, rows[1].data());
    rows[0] = rows[1];
    const int realCellsWide = (width + 3) / 4;
    const int realCellsHigh = (height + 3) / 4;
    for (int y = 0; y < height; ++y) {
        if (y + 1 < height)
            lumaRow(y + 1, rows[2].data());
        else
            rows[2] = rows[1];
        const std::uint8_t* up = rows[0].data();
        const std::uint8_t* mid = rows[1].data();
        const std::uint8_t* down = rows[2].data();
        // Edges first, then the inner samples in a loop the compiler vectorises.
        auto at = [&](int x, int left, int right) {
            return std::abs(4 * mid[x] - mid[left] - mid[right] - up[x] - down[x]);
        };
        laplacian[0] = at(0, 0, std::min(1, width - 1));
        laplacian[width - 1] = at(width - 1, std::max(0, width - 2), width - 1);
        for (int x = 1; x + 1 < width; ++x)
            laplacian[x] = std::abs(4 * mid[x] - mid[x - 1] - mid[x + 1] - up[x] - down[x]);
        float* cellRow = cells.data() + static_cast<std::size_t>(y / 4) * cellsWide;
        for (int x = 0; x < width; ++x)
            cellRow[x / 4] += static_cast<float>(laplacian[x]);
        std::swap(rows[0], rows[1]);
        std::swap(rows[1], rows[2]);
    }
    // Per sample, in luma levels; the last real cell may hold fewer samples than 16.
    for (int cy = 0; cy < realCellsHigh; ++cy)
        for (int cx = 0; cx < realCellsWide; ++cx) {
            const int samples = (std::min(width, 4 * cx + 4) - 4 * cx) * (std::min(height, 4 * cy + 4) - 4 * cy);
            cells[static_cast<std::size_t>(cy) * cellsWide + cx] /= 4.0f * static_cast<float>(samples);
        }
    for (int cy = 0; cy < cellsHigh; ++cy)
        for (int cx = 0; cx < cellsWide; ++cx)
            if (cx >= realCellsWide || cy >= realCellsHigh)
                cells[static_cast<std::size_t>(cy) * cellsWide + cx] =
                    cells[static_cast<std::size_t>(std::min(cy, realCellsHigh - 1)) * cellsWide +
                          std::min(cx, realCellsWide - 1)];
    return cells;
}

}  // namespace

std::vector<float> BlockMasking(int width, int height, int blocksWide, int blocksHigh,
                                const std::function<void(int y, std::uint8_t* row)>& lumaRow)
{
    const int cellsWide = 2 * blocksWide;
    const int cellsHigh = 2 * blocksHigh;
    const std::vector<float> cells = CellActivity(width, height, cellsWide, cellsHigh, lumaRow);
    auto cell = [&](int cx, int cy) {
        return cells[static_cast<std::size_t>(std::clamp(cy, 0, cellsHigh - 1)) * cellsWide +
                     std::clamp(cx, 0, cellsWide - 1)];
    };
    std::vector<float> strength(static_cast<std::size_t>(blocksWide) * blocksHigh);
    for (int by = 0; by < blocksHigh; ++by)
        for (int bx = 0; bx < blocksWide; ++bx) {
            float sum = 0.0f;
            for (int cy = 2 * by; cy < 2 * by + 2; ++cy)
                for (int cx = 2 * bx; cx < 2 * bx + 2; ++cx) {
                    float lowest = 3.4e38f, second = 3.4e38f;
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const float v = cell(cx + dx, cy + dy);
                            if (v < lowest) {
                                second = lowest;
                                lowest = v;
                            } else if (v < second) {
                                second = v;
                            }
                        }
                    sum += 0.5f * (lowest + second);
                }
            const float activity = 0.25f * sum;
            strength[static_cast<std::size_t>(by) * blocksWide + bx] =
                std::clamp((activity - kMaskingFloor) / kMaskingSpan, 0.0f, 1.0f);
        }
    return strength;
}

}  // namespace tramblix
