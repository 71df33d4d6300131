#pragma once

#include <cstdint>
#include <optional>

#include "engine/image.h"

namespace tramblix {

// A whole picture costs butteraugli about 300 bytes and 1 µs a pixel; a copy of this many pixels
// answers within a second.
inline constexpr std::uint64_t kLookPixels = 600'000;

// Box average over factor x factor blocks (the rest at the right and bottom edges is dropped).
Image BoxDownscale(const Image& image, int factor);

// The butteraugli distance (the largest over the picture) between two pictures of the same size
// and channels, measured on copies box-averaged by one whole factor down to at most `pixels`
// pixels. Reducing hides the finest loss, so it reads lower than a full-size measure. Nothing
// when the sizes differ or the library fails.
std::optional<double> ReducedLookDistance(const Image& reference, const Image& distorted,
                                          std::uint64_t pixels = kLookPixels);

}  // namespace tramblix
