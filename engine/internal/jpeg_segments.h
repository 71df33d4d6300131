#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined.
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

// Walking a JPEG's marker segments and reading the TIFF structures some of them hold (EXIF,
// MPF), without libjpeg: shared by the metadata stripper and the multi-picture reader.

#include <cstddef>
#include <cstdint>
#include <span>

namespace tramblix::jpeg {

// One marker of a file, with the bytes since the one before.
struct Segment {
    std::size_t marker = 0;  // its 0xFF
    std::uint8_t code = 0;
    std::span<const std::uint8_t> payload;  // after the length field; empty for markers without one
    std::size_t end = 0;                    // the first byte after it
};

// The marker at or after `pos` (entropy-coded data, stuffed zeros, restart markers and fill
// bytes are passed over); false when there is none or its length runs past the end.
bool NextSegment(std::span<const std::uint8_t> jpeg, std::size_t pos, Segment& segment);

// Reads TIFF-style numbers in either byte order; callers check `fits` before reading.
class TiffReader {
public:
    TiffReader(std::span<const std::uint8_t> tiff, bool littleEndian) : tiff_(tiff), little_(littleEndian) {}

    bool fits(std::size_t at, std::size_t length) const { return at <= tiff_.size() && length <= tiff_.size() - at; }

    std::uint32_t u16(std::size_t at) const
    {
        return little_ ? tiff_[at] | (tiff_[at + 1] << 8) : (tiff_[at] << 8) | tiff_[at + 1];
    }

    std::uint32_t u32(std::size_t at) const
    {
        return little_ ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    }

private:
    std::span<const std::uint8_t> tiff_;
    bool little_;
};

}  // namespace tramblix::jpeg
