#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined (the engine's own
// sources, and white-box tests and benchmarks that link engine_internal).
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

// The steps every JPEG writer of the engine takes: the standard and efficient encoders and the
// lossless rewrite. Internal to the engine: it speaks libjpeg.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include <jpeglib.h>

#include "engine/image.h"
#include "engine/internal/jpeg_common.h"

namespace tramblix::jpeg {

// False when the encoders cannot write these pixels (no picture, a channel count other than 1 or
// 3, over libjpeg's size limit, rows outside the buffer) or cannot store the ICC profile in the
// 255 chunks a JPEG carries: dropping it would change the colours.
bool Encodable(const DecodedImage& image);

// Room for the largest JPEG these pixels and segments can become.
std::size_t EncodeBufferBound(const DecodedImage& image);

// The block a compressor writes into, ours rather than libjpeg's: libjpeg's self-allocated one is
// freed when it grows, which would leave a dangling pointer behind if compression then failed.
// Throws std::bad_alloc when it cannot be had. Frees whatever libjpeg moved to on every path.
class OutputBlock {
public:
    explicit OutputBlock(std::size_t capacity);
    ~OutputBlock();
    OutputBlock(const OutputBlock&) = delete;
    OutputBlock& operator=(const OutputBlock&) = delete;

    // For jpeg_mem_dest.
    unsigned char** buffer() { return &buffer_; }
    unsigned long* size() { return &size_; }

    // After the compressor's last step: with `done`, the bytes written into `out` and true.
    // Otherwise false; throws std::bad_alloc when libjpeg ran out of memory.
    bool HandBack(bool done, const ErrorManager& err, std::vector<std::uint8_t>& out) const;

private:
    unsigned char* block_;
    unsigned char* buffer_;  // the block, or one libjpeg moved to
    unsigned long size_;
};

// The plain steps below hold no setjmp point and nothing with a destructor: call them only from a
// step that holds one (see Compressor).

// jpeg_create_compress into `output`, for these pixels, with libjpeg's defaults.
void CreateFor(jpeg_compress_struct& cinfo, const Image& pixels, OutputBlock& output);
// After the tables are set: YCbCr at 4:2:0 for colour, the density, the exact integer transform
// and the level's scan script.
void SetLayout(jpeg_compress_struct& cinfo, const Density& density, int quality);
// After jpeg_start_compress or jpeg_write_coefficients: the kept segments libjpeg does not write
// itself (WritableMarker), then the ICC profile.
void WriteSegments(jpeg_compress_struct& cinfo, std::span<const Marker> markers, std::span<const std::uint8_t> icc);

// True when a kept segment can be written as it is: not one libjpeg writes itself (JFIF, ICC
// chunks, Adobe), APPn or COM only, its payload within 65533 bytes.
bool WritableMarker(const Marker& marker);

}  // namespace tramblix::jpeg
