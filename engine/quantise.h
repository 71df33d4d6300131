#pragma once

#include <cstddef>
#include <cstdint>

namespace tramblix {

// Zigzag position -> natural (row-major) index within an 8x8 block.
extern const std::uint8_t kZigzagToNatural[64];

// Forward DCT of one 8x8 block of samples (level shift included), in libjpeg's accurate
// integer arithmetic, so that the coefficients are exactly libjpeg's: scaled by 8, natural order.
void ForwardDct(const std::uint8_t* samples, std::ptrdiff_t stride, std::int32_t coefficients[64]);

// A table's steps (natural order) with, for each, the multiplier that divides by eight times
// it exactly: for the numerators a transform of 8-bit samples gives (below 2^17), the rounding
// error of ceil(2^32 / d) times the numerator stays below 2^32.
struct QuantSteps {
    explicit QuantSteps(const std::uint16_t table[64]);
    std::uint16_t step[64];
    std::uint64_t reciprocal[64];
};

// Plain quantisation: the nearest multiple of each table entry, halves away from zero; this is
// what libjpeg itself does with the coefficients of ForwardDct.
void QuantiseNearest(const std::int32_t coefficients[64], const QuantSteps& steps, std::int16_t out[64]);

// QuantiseNearest, but AC values below `threshold` steps (0.5 and more) become zero: a wider
// dead zone where the picture hides the loss.
void QuantiseDeadZone(const std::int32_t coefficients[64], const QuantSteps& steps, float threshold,
                      std::int16_t out[64]);

// Code length of each AC Huffman symbol ((zero run << 4) | size; 0x00 ends the block, 0xF0
// stands for sixteen zeros); 0 where a table has no code for it.
struct AcCodeLengths {
    std::uint8_t bits[256] = {};
};

// Rate-distortion choice of a block's AC values (a trellis over zigzag order): each value is its
// nearest multiple, one step less or zero, and the set chosen costs least in squared error,
// counted in steps, plus `lambda` times the bits a sequential Huffman coder with `lengths`
// spends on it (run/size codes, sixteen-zero codes, the end of block, the magnitude bits).
// The DC is rounded plainly; `lambda` 0 gives QuantiseNearest.
void QuantiseTrellis(const std::int32_t coefficients[64], const QuantSteps& quant, float lambda,
                     const AcCodeLengths& lengths, std::int16_t out[64]);

}  // namespace tramblix
