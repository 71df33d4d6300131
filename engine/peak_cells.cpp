#include "engine/internal/peak_cells.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace tramblix {

namespace {

constexpr int kBlock = 8;
constexpr int kScores = 5;

// One 8 x 8 block's error energies (per pixel) and the reference's contrast there.
struct BlockStats {
    float luma = 0, chroma = 0, largest = 0, contrast = 0;
};

BlockStats StatsOf(const Image& reference, const Image& decoded, int bx, int by)
{
    const int channels = reference.channels;
    double luma = 0, chroma = 0, largest = 0, sum = 0, squares = 0;
    for (int dy = 0; dy < kBlock; ++dy) {
        const int y = std::min(by * kBlock + dy, reference.height - 1);
        const std::uint8_t* a = reference.row(y);
        const std::uint8_t* b = decoded.row(y);
        for (int dx = 0; dx < kBlock; ++dx) {
            const int i = std::min(bx * kBlock + dx, reference.width - 1) * channels;
            double ya = a[i], yb = b[i];
            if (channels == 3) {
                ya = 0.299 * a[i] + 0.587 * a[i + 1] + 0.114 * a[i + 2];
                yb = 0.299 * b[i] + 0.587 * b[i + 1] + 0.114 * b[i + 2];
                const double redGreen = (a[i] - a[i + 1]) - (b[i] - b[i + 1]);
                const double blue = (a[i + 2] - ya) - (b[i + 2] - yb);
                chroma += redGreen * redGreen + 0.3 * blue * blue;
            }
            luma += (ya - yb) * (ya - yb);
            largest = std::max(largest, std::abs(ya - yb));
            sum += ya;
            squares += ya * ya;
        }
    }
    constexpr double n = kBlock * kBlock;
    const double mean = sum / n;
    return {static_cast<float>(luma / n), static_cast<float>(chroma / n), static_cast<float>(largest),
            static_cast<float>(std::sqrt(std::max(0.0, squares / n - mean * mean)))};
}

// The weights (4 and 1 added to the flatness, chroma at half, blue at 0.3 of red-green) were set
// by hand, judged by how far the answers of bench/target/run.sh landed from their distance when
// only the cells were measured.
std::array<float, kScores> ScoresOf(const BlockStats& s, float flatness)
{
    return {std::sqrt(s.luma) / (4 + flatness), std::sqrt(s.luma + 0.5F * s.chroma) / (4 + flatness),
            std::sqrt(s.chroma) / (4 + flatness), s.largest / (4 + flatness),
            std::sqrt(s.luma + 0.5F * s.chroma) / (1 + flatness)};
}

}  // namespace

std::vector<Cell> LikelyPeakCells(const Image& reference, const Image& decoded, int side, int perScore)
{
    const int blocksWide = (reference.width + kBlock - 1) / kBlock;
    const int blocksHigh = (reference.height + kBlock - 1) / kBlock;
    const auto at = [&](int bx, int by) { return static_cast<std::size_t>(by) * blocksWide + bx; };
    std::vector<BlockStats> stats(static_cast<std::size_t>(blocksWide) * blocksHigh);
    for (int by = 0; by < blocksHigh; ++by)
        for (int bx = 0; bx < blocksWide; ++bx)
            stats[at(bx, by)] = StatsOf(reference, decoded, bx, by);

    const int columns = (reference.width + side - 1) / side;
    const int rows = (reference.height + side - 1) / side;
    const std::size_t cellCount = static_cast<std::size_t>(columns) * rows;
    std::vector<std::array<float, kScores>> cellScores(cellCount, std::array<float, kScores>{});
    for (int by = 0; by < blocksHigh; ++by)
        for (int bx = 0; bx < blocksWide; ++bx) {
            float flatness = stats[at(bx, by)].contrast;
            for (int ny = std::max(0, by - 1); ny <= std::min(blocksHigh - 1, by + 1); ++ny)
                for (int nx = std::max(0, bx - 1); nx <= std::min(blocksWide - 1, bx + 1); ++nx)
                    flatness = std::min(flatness, stats[at(nx, ny)].contrast);
            const std::array<float, kScores> scores = ScoresOf(stats[at(bx, by)], flatness);
            auto& cell = cellScores[static_cast<std::size_t>(by * kBlock / side) * columns + bx * kBlock / side];
            for (int k = 0; k < kScores; ++k)
                cell[static_cast<std::size_t>(k)] =
                    std::max(cell[static_cast<std::size_t>(k)], scores[static_cast<std::size_t>(k)]);
        }

    std::vector<std::size_t> order(cellCount);
    std::vector<bool> taken(cellCount, false);
    std::vector<Cell> cells;
    for (std::size_t k = 0; k < kScores; ++k) {
        std::iota(order.begin(), order.end(), std::size_t{0});
        const std::size_t count = std::min<std::size_t>(cellCount, static_cast<std::size_t>(perScore));
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), order.end(),
                          [&](std::size_t a, std::size_t b) { return cellScores[a][k] > cellScores[b][k]; });
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t c = order[i];
            if (taken[c])
                continue;
            taken[c] = true;
            const int x = static_cast<int>(c % static_cast<std::size_t>(columns)) * side;
            const int y = static_cast<int>(c / static_cast<std::size_t>(columns)) * side;
            cells.push_back({x, y, std::min(side, reference.width - x), std::min(side, reference.height - y)});
        }
    }
    return cells;
}

}  // namespace tramblix
