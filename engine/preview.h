#pragma once

#include <cstdint>
#include <span>

#include "engine/image.h"

namespace tramblix {

// Decoding for display (preview panes, viewer, splash): JPEG only, always 3-channel RGB,
// turned upright as the EXIF orientation says. With a box (boxWidth, boxHeight > 0) the
// decoder picks the smallest DCT scale whose picture still covers the box, so a thumbnail
// of a large photo costs a fraction of a full decode; with 0, 0 it decodes at full size.
// The pixel limit and the default memory budget apply to what this decode holds: the picture at
// the chosen scale and, for a multi-scan file, its full-size coefficients.
// Returns false (leaving `out` untouched) when the bytes are not a decodable JPEG.
bool DecodeJpegForDisplay(std::span<const std::uint8_t> bytes, Image& out, int boxWidth = 0, int boxHeight = 0);

// EXIF orientation (1..8) of a JPEG's APP1 segment; 1 when absent or invalid.
int JpegExifOrientation(std::span<const std::uint8_t> bytes);

// Turns an image as EXIF orientation `orientation` asks, so it displays upright.
Image ApplyExifOrientation(const Image& image, int orientation);

}  // namespace tramblix
