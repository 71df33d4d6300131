#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/image.h"

namespace tramblix {

// 3x3 kernel: weights row by row (top-left first), then the divisor and the offset.
struct KernelWeights {
    std::array<std::int32_t, 9> weight{0, 0, 0, 0, 1, 0, 0, 0, 0};
    std::int32_t divisor = 1;
    std::int32_t offset = 0;
};

struct SpeckleDirection {
    int dx;
    int dy;
};
inline constexpr std::array<SpeckleDirection, 4> SpeckleDirections{{{0, 1}, {1, 0}, {1, 1}, {-1, 1}}};

// Every filter treats each sample of a pixel independently and alike, so grey (1 channel)
// and RGB (3 channels) images are handled by the same code. `threads` bounds how many
// threads one call may use (0: one per core); the result never depends on it.

// Raises a sample to the largest contrast across it when that exceeds both the threshold and
// the sample. Border rows and columns are untouched. Always returns true.
bool EdgeLiftPass(Image& image, std::uint8_t threshold, unsigned threads = 1);

// Sharpening kernel 0,-2,0 / -2,n,-2 / 0,-2,0 with divisor n-8. Returns 1.
int SharpenPass(Image& image, std::int32_t n, unsigned threads = 1);

// Weighted 3x3 sum, divided (truncating toward zero), offset and clamped to 0..255.
// Returns false, changing nothing, when the divisor is 0.
bool KernelPass(Image& image, const KernelWeights& kernel, unsigned threads = 1);

// min(4, strength-1) directions of four speckle steps each. Returns true.
bool SpeckleSmoothing(Image& image, std::int32_t strength, unsigned threads = 1);

// The row loops come compiled for several instruction sets, and by default the widest one the
// CPU offers runs. Tests and benchmarks may choose another supported one; results never differ.
enum class FilterIsa { Baseline, Avx2, Avx512 };  // Baseline: SSE2 on x86-64
std::vector<FilterIsa> SupportedFilterIsas();
FilterIsa ActiveFilterIsa();
// Returns false, changing nothing, when the CPU lacks `isa`.
bool UseFilterIsa(FilterIsa isa);

// One step on the padded scratch buffers: (width+2) x (height+2) pixels of `channels` bytes,
// rows packed, image pixel (x, y) at buffer pixel (x+1, y+1), the frame always 0.
void SpeckleStep(SpeckleDirection vector, int width, int height, int channels, std::uint8_t* bufferA,
                 std::uint8_t* bufferB, int sign);

}  // namespace tramblix
