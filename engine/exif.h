#pragma once

#include <cstdint>
#include <span>

namespace tramblix {

// The orientation tag (1..8) of an EXIF APP1 payload (the segment's bytes after its length,
// starting "Exif\0\0"); 1 when the tag is absent, malformed or out of range. Both TIFF byte
// orders are read and every offset is checked against the payload.
int ExifOrientationFromApp1(std::span<const std::uint8_t> payload);

}  // namespace tramblix
