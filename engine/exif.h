#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/image.h"

namespace tramblix {

// The orientation tag (1..8) of an EXIF APP1 payload (the segment's bytes after its length,
// starting "Exif\0\0"); 1 when the tag is absent, malformed or out of range. Both TIFF byte
// orders are read and every offset is checked against the payload.
int ExifOrientationFromApp1(std::span<const std::uint8_t> payload);

// An EXIF APP1 payload that holds only the orientation tag.
std::vector<std::uint8_t> OrientationOnlyExif(int orientation);

// Drops EXIF, XMP, IPTC and comment segments. A picture stored sideways keeps a minimal EXIF
// segment with its orientation, so it still stands the right way up.
void StripMetadata(std::vector<Marker>& markers);

// The JPEG file `jpeg` with its metadata dropped as StripMetadata drops it, its coded data
// untouched, ending at EOI: what a stripped run gives when re-encoding saves nothing. Keeps JFIF,
// Adobe and the ICC chunks of a whole profile (FindIccProfile); drops stray bytes between header
// segments and sets right what decoders warn about and read past (a JFIF version other than 1.x,
// the spectral fields of a sequential scan), so the copy is a clean JPEG. No larger than `jpeg`.
// False when its segments cannot be walked.
bool StripJpegFile(std::span<const std::uint8_t> jpeg, std::vector<std::uint8_t>& out);

}  // namespace tramblix
