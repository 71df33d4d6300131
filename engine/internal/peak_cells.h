#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined.
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

#include <vector>

#include "engine/image.h"

namespace tramblix {

struct Cell {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const Cell&, const Cell&) = default;
};

// The cells of a `side` x `side` grid over the picture where an encode's butteraugli distance
// most likely peaks, judged per 8 x 8 block from the error of `decoded` against `reference`
// over the reference's local contrast (the least of the block and its neighbours: errors beside
// flat areas show most). Several such scores (luma, luma and chroma, chroma, the largest pixel
// error, and one that weighs flat areas harder) each nominate their `perScore` worst cells; each
// cell comes once. Same size and channels expected.
std::vector<Cell> LikelyPeakCells(const Image& reference, const Image& decoded, int side, int perScore);

}  // namespace tramblix
