#pragma once

#include <cstddef>
#include <cstdint>

namespace tramblix {

// Zigzag position -> natural (row-major) index within an 8x8 block.
extern const std::uint8_t kZigzagToNatural[64];

// Forward DCT of one 8x8 block of samples (level shift included), in libjpeg's accurate
// integer arithmetic, so that the coefficients are exactly libjpeg's: scaled by 8, natural order.
void ForwardDct(const std::uint8_t* samples, std::ptrdiff_t stride, std::int32_t coefficients[64]);

// Plain quantisation: the nearest multiple of each table entry, halves away from zero; this is
// what libjpeg itself does with the coefficients of ForwardDct.
void QuantiseNearest(const std::int32_t coefficients[64], const std::uint16_t table[64], std::int16_t out[64]);

// Rate-distortion decisions on top of the nearest values. AC values from the third in zigzag order
// on are rounded with a dead zone
// (a value is rounded up only when it lies `roundUp` of a step beyond the lower multiple, 0.5 is
// plain rounding), then a +-1 that costs more bits than the error it saves is dropped: its
// cost is the zero run before it, `lambda` converts bits into squared steps of error.
struct RdSettings {
    float roundUp = 0.5f;
    float lambda = 0.0f;
    // When above 0: the dead zone and lambda act fully on flat blocks, half as much on a block
    // whose pixels vary this much (variance), hardly on busy ones.
    float flatHalf = 0.0f;
};
void QuantiseRd(const std::int32_t coefficients[64], const std::uint16_t table[64], const RdSettings& settings,
                std::int16_t out[64]);

}  // namespace tramblix
