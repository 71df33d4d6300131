#pragma once

// Phone photos made in the test from small JPEGs (an Ultra HDR-like photo whose XMP and MPF index
// locate a gain map, a motion photo whose XMP locates a video) and a checker of our own that
// follows every MPF offset. They never use the engine's reader, so they check it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tramblix::test {

using Bytes = std::vector<std::uint8_t>;

// `primary` with hdrgm:Version, xmp:Rating="5" (which --strip drops), a Container:Directory and an
// ISO 21496-1 segment, an MPF index in the byte order asked for, then `gainMap` given hdrgm: XMP
// and an ISO 21496-1 segment of its own.
Bytes MakeGainMapPhoto(const Bytes& primary, const Bytes& gainMap, bool littleEndian);
// `primary` with GCamera XMP locating `video` after it: a Container item or MicroVideoOffset.
Bytes MakeMotionPhoto(const Bytes& primary, const Bytes& video, bool microVideo);
// A payload that starts like an MP4 ("ftyp") and does not compress.
Bytes FakeVideo(std::size_t size);

bool Contains(const Bytes& bytes, const std::string& text);
// The bytes of the primary picture, as text to look for XMP values in.
std::string PrimaryText(const Bytes& file);
// The length of the JPEG at the start of `bytes` through its first EOI (scans walked); 0: none.
std::size_t FirstJpegLength(const Bytes& bytes);
// Follows the MPF index of `file`: the first entry is the primary at offset 0 with its length,
// every other one a whole JPEG (SOI ... EOI) inside the file after the one before. Gives what
// is wrong, "" when all holds; `images` receives each secondary image's bytes.
std::string CheckMpfIndex(const Bytes& file, std::vector<Bytes>* images = nullptr);

}  // namespace tramblix::test
