#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/image.h"

namespace tramblix {

// Pictures above this many pixels are refused before any pixel buffer is allocated
// (16384 x 16384): a small file must not be able to demand gigabytes of memory.
inline constexpr std::uint64_t kMaxPixels = 16384ULL * 16384ULL;

enum class DecodeStatus {
    Ok,
    NotAnImage,  // no decoder recognises the bytes, or the format is one we cannot decode
    Damaged,     // recognised, but the data is corrupt or truncated (libjpeg warnings count)
    TooLarge,    // more than kMaxPixels
};

// Decodes any supported picture from memory into 8-bit RGB or grey pixels plus what the
// encoder must carry over. JPEG goes through libjpeg with accurate settings; CMYK/YCCK is
// converted to sRGB (through its embedded profile when it has one); other formats go through
// Qt's image readers with transparency composited onto white.
DecodeStatus DecodeImage(std::span<const std::uint8_t> bytes, DecodedImage& out);

// JPEG-specific half of DecodeImage (no fallback to other formats).
// Any libjpeg warning (truncation, corrupt or trailing data in the scans, a broken ICC chain)
// makes the file Damaged; stray bytes between header segments and an unknown JFIF version do
// not. 12-bit and lossless JPEGs, which our libjpeg cannot decode, are NotAnImage. Besides
// kMaxPixels, TooLarge also covers files whose coefficient buffers (progressive files keep all
// of them) would need more than libjpeg's memory cap of 1.75 GiB.
// RGB and grey pixels keep their values and `icc`; CMYK/YCCK becomes sRGB without a profile.
// EXIF, XMP and comment segments go to `markers` in file order; other segments are dropped.
// `out` is assigned only on Ok.
DecodeStatus DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedImage& out);

// Non-JPEG formats through Qt's image readers: PNG, BMP, GIF (first frame), TIFF and WebP. The
// pixels are turned upright as the file says; a cut-off file is Damaged, never a partial picture.
DecodeStatus DecodeWithImageReader(std::span<const std::uint8_t> bytes, DecodedImage& out);

// Encodes at `quality` (standard tables, 4:2:0 for colour, grey stays grey, optimised Huffman
// tables, our progressive scan script), writing the ICC profile and markers of `image`.
// Markers that cannot be stored (payload over 65533 bytes) or would contradict the segments
// libjpeg writes itself (JFIF, ICC chunks, Adobe) are skipped.
// Returns false when encoding failed; `out` is then empty.
bool EncodeJpeg(const DecodedImage& image, int quality, std::vector<std::uint8_t>& out);

// Reads only the header of a JPEG: size in pixels and component count. False when not a JPEG.
bool ReadJpegHeader(std::span<const std::uint8_t> bytes, int& width, int& height, int& components);

}  // namespace tramblix
