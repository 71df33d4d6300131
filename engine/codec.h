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

// What a run may cost by default: every buffer the re-encodes in flight hold at once (see
// PipelineBytes), shared by a batch's workers (MemoryPool).
inline constexpr std::uint64_t kDefaultMemoryBudget = 1ULL << 30;

// Blocks decoded, summed over the scans (a progressive scan walks every block of its components
// again): about 4 s of decoding. A small file with hundreds of scans over a huge frame would
// otherwise keep a worker busy for minutes.
inline constexpr std::uint64_t kDefaultWorkBudget = 1ULL << 28;

enum class DecodeStatus {
    Ok,
    NotAnImage,   // no decoder recognises the bytes, or the format is one we cannot decode
    Damaged,      // recognised, but the data is corrupt or truncated (libjpeg warnings count)
    TooLarge,     // more than kMaxPixels, or more work than the work budget
    OverBudget,   // the whole re-encode would need more than the memory budget
    OutOfMemory,  // an allocation failed although the budget allowed it
};

class MemoryShare;

struct DecodeLimits {
    std::uint64_t memoryBudget = kDefaultMemoryBudget;  // bytes, see PipelineBytes
    std::uint64_t workBudget = kDefaultWorkBudget;      // blocks summed over scans
    // The run's shared budget: a decode holds what it needs there before allocating (waiting
    // for room), until the share ends. Null: this picture alone counts.
    MemoryShare* share = nullptr;
};

// Why a decode failed, in the library's own words where it has some ("Premature end of JPEG
// file"); empty when the status says it all.
using DecodeDetail = std::string;

// What a re-encode holds once the pixels are decoded: the input, the decoded pixels, the
// encoder's coefficients (optimised and progressive coding keep all of them: 2 bytes per
// coefficient of the 4:2:0 or grey output) and the output, counted at the size of the pixels.
// The decoders add what they hold while decoding (coefficients of a multi-scan JPEG, Qt's own
// image) and refuse a file whose larger phase exceeds the budget before allocating anything.
std::uint64_t PipelineBytes(std::uint64_t inputSize, std::uint64_t width, std::uint64_t height, int channels);

// Decodes any supported picture from memory into 8-bit RGB or grey pixels plus what the
// encoder must carry over. JPEG goes through libjpeg with accurate settings; CMYK/YCCK is
// converted to sRGB (through its embedded profile when it has one); other formats go through
// Qt's image readers with transparency composited onto white.
DecodeStatus DecodeImage(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits = {},
                         DecodeDetail* detail = nullptr);

// JPEG-specific half of DecodeImage (no fallback to other formats).
// A libjpeg warning about the pixels (truncation, corrupt or trailing data in the scans) makes
// the file Damaged, and so do arithmetic-coded data that end rows before the last one, a
// header segment whose length runs into the next segment and an Adobe segment too short for its
// colour transform. Padding between header segments, an unknown JFIF version, odd spectral
// fields in a sequential scan and ICC chunks that form no whole profile (FindIccProfile: read
// as no profile) do not. 12-bit and lossless JPEGs, which our libjpeg cannot decode, are NotAnImage.
// RGB and grey pixels keep their values and `icc`; CMYK/YCCK becomes sRGB without a profile.
// EXIF, XMP and comment segments go to `markers` in file order (XMP describing a gain map is
// dropped with the gain map); other segments are dropped; the JFIF density is kept.
// `out` is assigned only on Ok.
DecodeStatus DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits = {},
                        DecodeDetail* detail = nullptr);

// True when `bytes` hold a whole, clean JPEG: the header and every scan read without a warning
// that DecodeJpeg counts as damage, and every component carried to the last bit of every
// coefficient, so a progressive file cut after a scan and given an end marker is not whole.
// Decodes the coded data only (no pixels); false too when the file is over `limits`.
bool IsCompleteJpeg(std::span<const std::uint8_t> bytes, const DecodeLimits& limits = {});

// Non-JPEG formats through Qt's image readers: PNG, BMP, GIF (first frame), TIFF and WebP. The
// pixels are turned upright as the file says; a cut-off file is Damaged, never a partial picture.
DecodeStatus DecodeWithImageReader(std::span<const std::uint8_t> bytes, DecodedImage& out,
                                   const DecodeLimits& limits = {}, DecodeDetail* detail = nullptr);

// Encodes at `quality` (standard tables, 4:2:0 for colour, grey stays grey, optimised Huffman
// tables, our progressive scan script), writing the ICC profile and markers of `image`.
// Markers that cannot be stored (payload over 65533 bytes) or would contradict the segments
// libjpeg writes itself (JFIF, ICC chunks, Adobe) are skipped.
// Returns false when encoding failed; `out` is then empty. Throws std::bad_alloc when memory runs out.
bool EncodeJpeg(const DecodedImage& image, int quality, std::vector<std::uint8_t>& out);

// Lossless rewrite of a JPEG: its DCT coefficients, untouched, with optimised Huffman tables and
// the progressive scans EncodeJpeg would use at the quality the file's tables imply. Colour
// spaces, sampling, the ICC profile and the Adobe segment stay; metadata is kept as DecodeJpeg
// keeps it, or stripped (StripMetadata). A damaged file is refused by the same checks as a
// decode. A progressive file whose coefficients stop short of their last bits (libjpeg smooths
// such blocks when decoding; a rewrite would declare them complete) comes back as it is.
// `out` is empty unless Ok; it may be larger than the input (the caller compares).
DecodeStatus TranscodeJpeg(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out, bool stripMetadata,
                           const DecodeLimits& limits = {}, DecodeDetail* detail = nullptr);

// The quality (1..100) whose standard luminance table, as jpeg_set_quality scales it, lies
// nearest to `table` (64 values in natural order).
int QualityOfTable(std::span<const std::uint16_t, 64> table);

// Reads only the header of a JPEG: size in pixels and component count. False when not a JPEG.
bool ReadJpegHeader(std::span<const std::uint8_t> bytes, int& width, int& height, int& components);

}  // namespace tramblix
