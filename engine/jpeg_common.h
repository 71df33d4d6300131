#pragma once

// libjpeg plumbing shared by the decoders and the encoder. Internal to the engine: it includes
// jpeglib.h, which public engine headers never do.

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <span>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/image.h"

namespace tramblix::jpeg {

// Ceiling on what libjpeg itself may allocate for one decode. A progressive (or otherwise
// multi-scan) file keeps every DCT coefficient in memory: 2 bytes per sample, so a 3-component
// 4:4:4 picture at kMaxPixels needs 1.5 GiB. 1.75 GiB admits every such picture and every
// 4:2:0 one; only 4:4:4 CMYK/YCCK near the pixel limit is refused. With the decoded pixels
// (at most 768 MiB) the worst accepted file stays below 2.5 GiB.
inline constexpr long kDecoderMemoryLimit = 1792L * 1024L * 1024L;

// A progressive file with more scans than this is hostile or broken: every scan walks every
// block of the picture, so a small file could keep a decoder busy for minutes.
inline constexpr int kMaxScans = 500;

enum class Failure {
    None,
    Error,      // libjpeg's error_exit
    Warning,    // a warning while stopOnWarning was set
    ScanLimit,  // more than kMaxScans scans
};

// Our error manager: errors jump back to the setjmp point of the running step; warnings
// (msg_level < 0) are counted with the text of the first kept, because a truncated or
// corrupt file "decodes" with warnings only.
struct ErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg hands us a pointer to it
    std::jmp_buf jump;
    bool stopOnWarning = false;  // abandon the work at the first warning that counts
    bool inHeader = false;       // set while the markers before the first scan are read
    int warnings = 0;
    int firstWarningCode = 0;
    char firstWarning[JMSG_LENGTH_MAX] = {};
    Failure failure = Failure::None;
    int errorCode = 0;
    char errorText[JMSG_LENGTH_MAX] = {};
};

// Points `err.pub` at our handlers and returns it, for cinfo.err.
jpeg_error_mgr* InstallErrorManager(ErrorManager& err);

// How a failed decoding step is reported.
DecodeStatus StatusForFailure(const ErrorManager& err);

// A decompressor that is always destroyed. The steps below each hold their own setjmp point and
// only trivially destructible locals; each returns false when libjpeg gave up (see err).
struct Decompressor {
    jpeg_decompress_struct cinfo{};
    ErrorManager err;
    jpeg_progress_mgr progress{};

    Decompressor();
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

// Which marker segments ReadHeader keeps (jpeg_save_markers) for later inspection.
enum MarkerSet : unsigned {
    kKeepNone = 0,
    kKeepApp1 = 1,     // EXIF, XMP
    kKeepIcc = 2,      // APP2
    kKeepComment = 4,  // COM
    kKeepApp13 = 8,    // Photoshop IPTC (captions, keywords)
};

// Creates the decompressor over `bytes` and reads everything up to the first scan.
bool ReadHeader(Decompressor& d, std::span<const std::uint8_t> bytes, unsigned keep);
// jpeg_read_icc_profile: *data is malloc'd (or null when the file has no profile).
bool ReadIccProfile(Decompressor& d, JOCTET** data, unsigned* length);
bool StartDecompress(Decompressor& d);
bool ReadScanlines(Decompressor& d, JSAMPARRAY rows, JDIMENSION maxLines, JDIMENSION* lines);
bool FinishDecompress(Decompressor& d);

// True when the picture has more pixels than the engine accepts.
bool ExceedsPixelLimit(std::uint64_t width, std::uint64_t height);

// After ReadHeader (and any scaling set in cinfo): starts decompression and decodes every row
// straight into `out`: grey (unless alwaysRgb), RGB, or CMYK/YCCK converted to sRGB through
// `cmykProfile` when it is usable. `out` is assigned only on success. May throw std::bad_alloc.
// It stops short of jpeg_finish_decompress, which frees the saved markers: the caller collects
// what it needs and then calls FinishDecompress.
DecodeStatus DecodePixels(Decompressor& d, std::span<const std::uint8_t> cmykProfile, bool alwaysRgb, Image& out);

}  // namespace tramblix::jpeg
