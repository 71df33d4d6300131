#pragma once

// Phone photos made from small JPEGs, and a checker of our own that follows every MPF offset;
// none of it uses the engine's reader, so they check it.

#include <cstdint>
#include <string>
#include <vector>

namespace tramblix::test {

using Bytes = std::vector<std::uint8_t>;

// `primary` with XMP (hdrgm:Version, a Container:Directory, xmp:Rating="5" that --strip drops), an
// ISO 21496-1 segment and an MPF index, then `gainMap` with hdrgm: XMP and an ISO segment. Both
// XMP packets also carry `moreXmp` (attributes).
Bytes MakeGainMapPhoto(const Bytes& primary, const Bytes& gainMap, bool littleEndian, const std::string& moreXmp = "");
// `primary` with GCamera XMP locating `video` after it: a Container item or MicroVideoOffset,
// stating `error` bytes more than the video's size.
Bytes MakeMotionPhoto(const Bytes& primary, const Bytes& video, bool microVideo, int error = 0);
// An MP4 of `size` bytes (at least 32): an ftyp box, then an mdat box whose bytes do not compress.
Bytes FakeVideo(std::size_t size);

bool Contains(const Bytes& bytes, const std::string& text);
// "" when the first MPF entry is the primary (offset 0, SOI to EOI) and every other one a whole
// JPEG inside the file after the one before, else what is wrong; `images` gets those JPEGs.
std::string CheckMpfIndex(const Bytes& file, std::vector<Bytes>* images = nullptr);

}  // namespace tramblix::test
