#pragma once

// Phone photos made in the test from small JPEGs: an Ultra HDR-like photo (a primary with XMP
// that lists a gain map and an MPF index pointing at it) and a motion photo (a video located by
// a Container item or MicroVideoOffset), and a checker of our own that follows every MPF offset.
// They never use the engine's reader, so they check it rather than agree with it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tramblix::test {

using Bytes = std::vector<std::uint8_t>;

struct PhonePhoto {
    Bytes bytes;
    std::size_t entriesAt = 0;  // the first MP entry (16 bytes each); 0: no MPF index
    bool little = false;        // the index's byte order
    std::size_t extraAt = 0;    // where the gain map or the video starts
};

// `primary` with a Container:Directory and hdrgm:Version in its XMP (also xmp:Rating="5", which
// --strip drops), an MPF index, then `gainMap` given hdrgm: XMP of its own.
PhonePhoto MakeGainMapPhoto(const Bytes& primary, const Bytes& gainMap, bool littleEndian);
// `primary` with GCamera XMP locating `video` after it: a Container item or MicroVideoOffset.
PhonePhoto MakeMotionPhoto(const Bytes& primary, const Bytes& video, bool microVideo);
// A payload that looks like the start of an MP4 ("ftyp") and does not compress.
Bytes FakeVideo(std::size_t size);

// `jpeg` with a segment added after SOI (after JFIF when there is one).
Bytes WithSegment(const Bytes& jpeg, int code, const std::string& payload);
void PutU32(Bytes& bytes, std::size_t at, std::uint32_t value, bool little);
bool Contains(const Bytes& bytes, const std::string& text);
// The main XMP packet of the header; empty when there is none.
std::string MainXmp(const Bytes& jpeg);
// Length of the JPEG at the start of `bytes` through its first EOI (scans walked); 0: none.
std::size_t FirstJpegLength(const Bytes& bytes);

// Follows the MPF index of `file`: the first entry is the primary at offset 0 with its length,
// every other one a whole JPEG (SOI ... EOI) inside the file, none overlapping. Gives what is
// wrong, "" when all holds; `images` receives each image's bytes.
std::string CheckMpfIndex(const Bytes& file, std::vector<Bytes>* images = nullptr);

}  // namespace tramblix::test
