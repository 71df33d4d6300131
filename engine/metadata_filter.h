#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/compress.h"

namespace tramblix {

// True when `options` asks for descriptive metadata to be chosen (--keep, --strip-gps) beyond
// what stripMetadata does.
bool FiltersMetadata(const EngineOptions& options);

// Rewrites the header segments of the JPEG `jpeg` as `options` asks: the kinds of descriptive
// metadata not in keepMetadata are dropped (an orientation other than 1 survives as a minimal
// EXIF segment; an XMP packet that locates a gain map or a video in the file stays); with stripGps the EXIF GPS
// directory is wiped and unlinked and the XMP location fields are removed. Segments of other kinds (JFIF, Adobe, MPF,
// maker segments) and everything from the first scan on are kept byte for byte. False, with `jpeg` untouched, when its
// header segments cannot be walked.
bool FilterJpegMetadata(std::vector<std::uint8_t>& jpeg, const EngineOptions& options);

// The EXIF APP1 payload with its GPS directory wiped (zeros) and its link from the first
// directory removed; unchanged when it has none or cannot be read.
void WipeExifGps(std::vector<std::uint8_t>& payload);

// The XMP APP1 payload without its location properties (exif:GPS..., the IPTC location and the
// city, state and country), whether written as attributes or as elements.
void RemoveXmpLocation(std::vector<std::uint8_t>& payload);

}  // namespace tramblix
