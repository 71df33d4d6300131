#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined (the engine's own
// sources, and white-box tests and benchmarks that link engine_internal).
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

// libjpeg plumbing shared by the decoders and the encoder. Internal to the engine: it includes
// jpeglib.h, which public engine headers never do.

#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/image.h"

namespace tramblix::jpeg {

// A progressive file with more scans than this is hostile or broken, whatever its size.
inline constexpr int kMaxScans = 500;

enum class Failure {
    None,
    Error,      // libjpeg's error_exit
    Warning,    // a warning while stopOnWarning was set
    ScanLimit,  // more than kMaxScans scans
    WorkLimit,  // more blocks over all scans than the work budget
};

// Our error manager: errors jump back to the setjmp point of the running step; warnings
// (msg_level < 0) are counted with the text of the first kept, because a truncated or
// corrupt file "decodes" with warnings only.
struct ErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg hands us a pointer to it
    std::jmp_buf jump;
    bool stopOnWarning = false;           // abandon the work at the first warning that counts
    bool inHeader = false;                // set while the markers before the first scan are read
    const std::uint8_t* input = nullptr;  // the whole file, to judge stray bytes in the header
    std::size_t inputSize = 0;
    int warnings = 0;
    int firstWarningCode = 0;
    char firstWarning[JMSG_LENGTH_MAX] = {};
    Failure failure = Failure::None;
    int errorCode = 0;
    char errorText[JMSG_LENGTH_MAX] = {};
};

// Points `err.pub` at our handlers and returns it, for cinfo.err.
jpeg_error_mgr* InstallErrorManager(ErrorManager& err);

// How a failed decoding step is reported, and in which words (libjpeg's own where it has some).
DecodeStatus StatusForFailure(const ErrorManager& err);
std::string FailureText(const ErrorManager& err);

// Our progress monitor: counts the work of every scan against the work budget, and with
// checkEnd set notes the first iMCU row from which arithmetic-coded DC data were fed zeros
// because a marker came before the scan's end (libjpeg gives no warning for that).
struct Progress {
    jpeg_progress_mgr pub;  // first member: libjpeg hands us a pointer to it
    std::uint64_t workBudget = kDefaultWorkBudget;
    std::uint64_t work = 0;
    int lastScan = 0;
    bool checkEnd = false;
    JDIMENSION endedAtRow = UINT_MAX;
};

// A decompressor that is always destroyed. The steps below each hold their own setjmp point and
// only trivially destructible locals; each returns false when libjpeg gave up (see err).
struct Decompressor {
    jpeg_decompress_struct cinfo{};
    ErrorManager err;
    Progress progress{};
    std::uint64_t memoryBudget = kDefaultMemoryBudget;  // also libjpeg's own allocation cap

    explicit Decompressor(const DecodeLimits& limits = {});
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

// A compressor that is always destroyed; its steps keep their own setjmp points, as above.
struct Compressor {
    jpeg_compress_struct cinfo{};
    ErrorManager err;

    Compressor() { cinfo.err = InstallErrorManager(err); }
    ~Compressor() { jpeg_destroy_compress(&cinfo); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
};

// Which marker segments ReadHeader keeps (jpeg_save_markers) for later inspection.
enum MarkerSet : unsigned {
    kKeepNone = 0,
    kKeepApp1 = 1,     // EXIF, XMP
    kKeepIcc = 2,      // APP2
    kKeepComment = 4,  // COM
    kKeepApp13 = 8,    // Photoshop IPTC (captions, keywords)
};

// Creates the decompressor over `bytes` and reads everything up to the first scan. An Adobe
// segment too short to hold its colour transform fails it too (Failure::Warning): the colours
// libjpeg would pick without it are a guess.
bool ReadHeader(Decompressor& d, std::span<const std::uint8_t> bytes, unsigned keep);
// After ReadHeader with kKeepIcc: the file's profile (FindIccProfile over the saved APP2
// segments); empty when it has none that is whole.
std::vector<std::uint8_t> IccProfile(const jpeg_decompress_struct& cinfo);
// jpeg_calc_output_dimensions: output_width and output_height at the scale set in cinfo.
bool CalcOutputDimensions(Decompressor& d);
bool StartDecompress(Decompressor& d);
bool ReadScanlines(Decompressor& d, JSAMPARRAY rows, JDIMENSION maxLines, JDIMENSION* lines);
bool FinishDecompress(Decompressor& d);

// After a decode with checkEnd: false when the rows decoded from zeros after an early marker
// (see Progress) are not the flat picture a sound file's dropped zero bytes stand for.
bool TailIsSound(const Decompressor& d, const Image& pixels);

// True when the picture has more pixels than the engine accepts.
bool ExceedsPixelLimit(std::uint64_t width, std::uint64_t height);

// After ReadHeader: what libjpeg will hold for the DCT coefficients while decoding (a
// multi-scan file keeps all of them, at full size whatever the output scale; 0 otherwise).
std::uint64_t CoefficientBytes(const jpeg_decompress_struct& cinfo);
// What jpeg_read_coefficients holds: every coefficient of every component, whatever the scans.
std::uint64_t AllCoefficientBytes(const jpeg_decompress_struct& cinfo);

// The metadata segments a re-encode carries over (see DecodeJpeg), from the saved markers.
std::vector<Marker> KeptMarkers(const jpeg_decompress_struct& cinfo);

// Over-budget refusal with the figures in `detail` ("needs 1540 MiB, budget 1024 MiB").
DecodeStatus OverBudget(std::uint64_t needed, std::uint64_t budget, std::string* detail);
// OverBudget when `needed` exceeds the budget; otherwise `needed` held in the run's shared budget
// (waiting for room), and OutOfMemory when the run is stopped meanwhile.
DecodeStatus Reserve(const DecodeLimits& limits, std::uint64_t needed, std::string* detail);

// After ReadHeader (and any scaling set in cinfo), once the caller has checked the size against
// its limits: starts decompression and decodes every row
// straight into `out`: grey (unless alwaysRgb), RGB, or CMYK/YCCK converted to sRGB through
// `cmykProfile` when it is usable. `out` is assigned only on success. May throw std::bad_alloc.
// It stops short of jpeg_finish_decompress, which frees the saved markers: the caller collects
// what it needs and then calls FinishDecompress.
DecodeStatus DecodePixels(Decompressor& d, std::span<const std::uint8_t> cmykProfile, bool alwaysRgb, Image& out);

}  // namespace tramblix::jpeg
