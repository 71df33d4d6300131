#pragma once

#include <optional>

#include "engine/image.h"

namespace tramblix {

// Structural similarity of two pictures of the same size (RGB or grey alike), on luma with the
// usual 11-tap Gaussian window (sigma 1.5) and constants (K1 0.01, K2 0.03), edges replicated:
// 1 for identical pictures, lower the more structure differs. Empty when the sizes or channel
// counts differ or a picture is empty. Memory: a few rows, whatever the picture's size.
std::optional<double> Ssim(const Image& a, const Image& b);

}  // namespace tramblix
