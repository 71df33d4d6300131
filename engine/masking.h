#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace tramblix {

// How much the picture's own detail hides coding error around each 8x8 luma block: 0 where the
// block or a neighbour is flat (ringing and blocking show there), rising to 1 in busy texture.
// The measure is the mean absolute Laplacian of luma over 4x4 cells, each cell taken as the
// mean of the two calmest cells of its 3x3 neighbourhood (so an edge beside a flat area does
// not count as texture), averaged over the block's four cells. `lumaRow(y, row)` fills one
// row of `width` luma samples; rows and columns past the picture repeat its last ones. The
// result has `blocksWide` x `blocksHigh` entries, row by row; memory: three luma rows and one
// float per 4x4 cell.
std::vector<float> BlockMasking(int width, int height, int blocksWide, int blocksHigh,
                                const std::function<void(int y, std::uint8_t* row)>& lumaRow);

// The strength of one block from its mean Laplacian `activity` (in luma levels): 0 up to
// kMaskingFloor, then linear to 1 at kMaskingFloor + kMaskingSpan. Both set by hand with the
// masking itself, by bytes at equal SSIMULACRA2 on the downscaled corpus photos (bench_quality);
// no script searches them.
inline constexpr float kMaskingFloor = 0.75f;
inline constexpr float kMaskingSpan = 4.0f;

}  // namespace tramblix
