#include "engine/internal/jpeg_common.h"
#include "engine/memory_pool.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jerror.h>

#include "engine/colour.h"
#include "engine/icc.h"

namespace tramblix::jpeg {

namespace {

ErrorManager& ManagerOf(j_common_ptr cinfo)
{
    return *reinterpret_cast<ErrorManager*>(cinfo->err);
}

[[noreturn]] void OnError(j_common_ptr cinfo)
{
    ErrorManager& err = ManagerOf(cinfo);
    err.failure = Failure::Error;
    err.errorCode = err.pub.msg_code;
    err.pub.format_message(cinfo, err.errorText);
    std::longjmp(err.jump, 1);
}

bool IsSegmentMarker(int code)
{
    return (code >= 0xC0 && code <= 0xCF) || code == 0xDA || code == 0xDB || code == 0xDD || code >= 0xE0;
}

// Stray bytes just before a header marker are padding unless the segment before them was given
// a length that runs past the real start of the next segment: then a segment begins inside the
// one before, and its own length lands on a marker after the stray bytes. Such a file silently
// loses the swallowed segment (an Adobe transform, an ICC chunk), so it is damaged.
bool SwallowsSegment(const ErrorManager& err, const jpeg_decompress_struct& cinfo)
{
    if (err.input == nullptr || cinfo.src == nullptr || cinfo.src->next_input_byte <= err.input)
        return false;
    const std::uint8_t* bytes = err.input;
    const std::size_t size = err.inputSize;
    // libjpeg warns with its source just past the stray bytes, at the marker's first 0xFF.
    auto markerAt = static_cast<std::size_t>(cinfo.src->next_input_byte - bytes);
    while (markerAt > 0 && bytes[markerAt - 1] == 0xFF)
        --markerAt;
    const auto discarded = static_cast<std::size_t>(std::max(err.pub.msg_parm.i[0], 0));
    if (markerAt >= size || discarded > markerAt)
        return false;
    const std::size_t strayAt = markerAt - discarded;
    for (std::size_t at = strayAt > 65537 ? strayAt - 65537 : 2; at + 4 <= strayAt; ++at) {
        if (bytes[at] != 0xFF || !IsSegmentMarker(bytes[at + 1]))
            continue;
        const std::size_t end = at + 2 + (static_cast<std::size_t>(bytes[at + 2]) << 8 | bytes[at + 3]);
        if (end > strayAt && end <= markerAt && bytes[end] == 0xFF)
            return true;
    }
    return false;
}

// Warnings that say nothing about the pixels.
bool Harmless(const ErrorManager& err, j_common_ptr cinfo, int code)
{
    switch (code) {
    case JWRN_JFIF_MAJOR:      // only a newer JFIF version number
    case JWRN_NOT_SEQUENTIAL:  // odd Ss/Se/Ah/Al in a sequential scan: it is decoded in full anyway
        return true;
    case JWRN_EXTRANEOUS_DATA:
        // Inside the scan data stray bytes can mean that the blocks before them were decoded
        // from garbage; between header segments they are padding unless they hide a segment.
        return err.inHeader && cinfo->is_decompressor &&
               !SwallowsSegment(err, *reinterpret_cast<j_decompress_ptr>(cinfo));
    default: return false;
    }
}

void OnMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)  // trace output
        return;
    ErrorManager& err = ManagerOf(cinfo);
    const int code = err.pub.msg_code;
    if (Harmless(err, cinfo, code))
        return;
    ++err.pub.num_warnings;
    if (err.warnings++ == 0) {
        err.firstWarningCode = code;
        if (code == JWRN_EXTRANEOUS_DATA && err.inHeader)
            std::snprintf(err.firstWarning, sizeof err.firstWarning, "a segment's length runs into the next segment");
        else
            err.pub.format_message(cinfo, err.firstWarning);
    }
    if (err.stopOnWarning) {
        err.failure = Failure::Warning;
        std::longjmp(err.jump, 1);
    }
}

void Silent(j_common_ptr)
{}

[[noreturn]] void Fail(j_common_ptr cinfo, Failure failure)
{
    ErrorManager& err = ManagerOf(cinfo);
    err.failure = failure;
    std::longjmp(err.jump, 1);
}

bool IsRestartMarker(int code)
{
    return code >= JPEG_RST0 && code <= JPEG_RST0 + 7;
}

// Called before every iMCU row of every input pass, and per output row group.
void Monitor(j_common_ptr common)
{
    const auto cinfo = reinterpret_cast<j_decompress_ptr>(common);
    Progress& progress = *reinterpret_cast<Progress*>(cinfo->progress);
    if (cinfo->input_scan_number > kMaxScans)
        Fail(common, Failure::ScanLimit);
    if (cinfo->input_scan_number != progress.lastScan) {
        progress.lastScan = cinfo->input_scan_number;
        for (int i = 0; i < cinfo->comps_in_scan; ++i) {
            const jpeg_component_info* component = cinfo->cur_comp_info[i];
            progress.work += static_cast<std::uint64_t>(component->width_in_blocks) * component->height_in_blocks;
        }
        if (progress.work > progress.workBudget)
            Fail(common, Failure::WorkLimit);
    }
    // The arithmetic decoder meets the next marker early and feeds zeros from there without a
    // warning. That is also how a sound file ends: its encoder drops the zero bytes at the end of
    // a scan, which can stand for many rows of flat picture. Only the row is noted here (for
    // scans that first carry the DC values: a zero tail of AC or refinement data is ordinary);
    // the caller judges from the pixels whether those rows are the flat picture zeros decode to.
    if (progress.checkEnd && cinfo->arith_code && cinfo->Ss == 0 && cinfo->Ah == 0 && cinfo->unread_marker != 0 &&
        !IsRestartMarker(cinfo->unread_marker) && cinfo->input_iMCU_row + 1 < cinfo->total_iMCU_rows)
        progress.endedAtRow = std::min(progress.endedAtRow, cinfo->input_iMCU_row);
}

// Rows per jpeg_read_scanlines call when CMYK goes through a bounce buffer.
constexpr JDIMENSION kCmykChunkRows = 16;

// libjpeg-turbo decodes a Huffman MCU on its fast path when at least 512 bytes per block are in
// the buffer, and that path turns an invalid code into zero without a warning. Handing it the
// file in pieces shorter than that keeps every MCU on the path that warns (bad Huffman code).
constexpr std::size_t kSourceChunk = 511;

// jpeg_mem_src over the caller's bytes, except that it gives them kSourceChunk at a time.
struct ChunkedSource {
    jpeg_source_mgr pub;  // first member: libjpeg hands us a pointer to it
    const JOCTET* next;
    const JOCTET* end;
};

void InitSource(j_decompress_ptr)
{}
void TermSource(j_decompress_ptr)
{}

boolean FillInput(j_decompress_ptr cinfo)
{
    static const JOCTET kFakeEoi[2] = {0xFF, JPEG_EOI};
    auto& src = *reinterpret_cast<ChunkedSource*>(cinfo->src);
    if (src.next == src.end) {
        // As jpeg_mem_src does: warn, and end the image with an EOI of our own.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src.pub.next_input_byte = kFakeEoi;
        src.pub.bytes_in_buffer = 2;
        return TRUE;
    }
    const std::size_t size = std::min(kSourceChunk, static_cast<std::size_t>(src.end - src.next));
    src.pub.next_input_byte = src.next;
    src.pub.bytes_in_buffer = size;
    src.next += size;
    return TRUE;
}

// libjpeg's own skip for jpeg_mem_src, so a skip past the end warns just as it does there.
void SkipInput(j_decompress_ptr cinfo, long count)
{
    jpeg_source_mgr& src = *cinfo->src;
    if (count <= 0)
        return;
    while (count > static_cast<long>(src.bytes_in_buffer)) {
        count -= static_cast<long>(src.bytes_in_buffer);
        src.fill_input_buffer(cinfo);
    }
    src.next_input_byte += count;
    src.bytes_in_buffer -= static_cast<std::size_t>(count);
}

// After jpeg_create_decompress; the source lives in libjpeg's permanent pool.
void ChunkedSrc(j_decompress_ptr cinfo, const JOCTET* bytes, std::size_t size)
{
    if (bytes == nullptr || size == 0)
        ERREXIT(cinfo, JERR_INPUT_EMPTY);
    auto* src = static_cast<ChunkedSource*>(
        cinfo->mem->alloc_small(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(ChunkedSource)));
    src->pub.init_source = InitSource;
    src->pub.fill_input_buffer = FillInput;
    src->pub.skip_input_data = SkipInput;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.next_input_byte = nullptr;
    src->pub.bytes_in_buffer = 0;  // the first read fills the buffer
    src->next = bytes;
    src->end = bytes + size;
    cinfo->src = &src->pub;
}

// An Adobe segment too short to hold its transform flag: libjpeg passes over it and guesses the
// colours (CMYK as not inverted, YCCK as CMYK). The segments are found as libjpeg finds them,
// past stray and fill bytes; the bytes after a cut segment still start "Adobe", whatever length
// the damage left it.
bool CutAdobeSegment(std::span<const std::uint8_t> bytes)
{
    constexpr std::size_t kAdobePayload = 12;  // "Adobe", version, two flag words, the transform
    std::size_t at = 2;
    while (at + 4 <= bytes.size()) {
        const std::uint8_t code = bytes[at + 1];
        if (bytes[at] != 0xFF || code == 0xFF || code == 0x00) {
            ++at;
            continue;
        }
        if (code == JPEG_EOI || code == 0xDA)  // the scans: libjpeg has chosen the colours
            return false;
        if (code == 0x01 || (code >= JPEG_RST0 && code <= 0xD8)) {  // no length
            at += 2;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        if (code == JPEG_APP0 + 14 && length < 2 + kAdobePayload && at + 9 <= bytes.size() &&
            std::memcmp(bytes.data() + at + 4, "Adobe", 5) == 0)
            return true;
        if (length < 2)
            return false;
        at += 2 + length;
    }
    return false;
}

}  // namespace

jpeg_error_mgr* InstallErrorManager(ErrorManager& err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = OnMessage;
    err.pub.output_message = Silent;  // the engine never writes to stderr
    return &err.pub;
}

DecodeStatus StatusForFailure(const ErrorManager& err)
{
    switch (err.failure) {
    case Failure::ScanLimit:
    case Failure::WorkLimit: return DecodeStatus::TooLarge;
    case Failure::Error: break;
    default: return DecodeStatus::Damaged;
    }
    switch (err.errorCode) {
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW: return DecodeStatus::TooLarge;
    case JERR_NO_BACKING_STORE:  // libjpeg wanted more than the memory budget
        return DecodeStatus::OverBudget;
    case JERR_OUT_OF_MEMORY: return DecodeStatus::OutOfMemory;
    case JERR_NO_SOI:
    case JERR_INPUT_EMPTY:
    case JERR_BAD_PRECISION:    // 12-bit
    case JERR_SOF_UNSUPPORTED:  // lossless, hierarchical
    case JERR_EMPTY_IMAGE:      // height given later in a DNL segment
    case JERR_CONVERSION_NOTIMPL:
    case JERR_NOT_COMPILED: return DecodeStatus::NotAnImage;
    default: return DecodeStatus::Damaged;
    }
}

std::string FailureText(const ErrorManager& err)
{
    switch (err.failure) {
    case Failure::None: return {};
    case Failure::Error:
        return err.errorCode == JERR_OUT_OF_MEMORY || err.errorCode == JERR_NO_BACKING_STORE ? std::string()
                                                                                             : err.errorText;
    case Failure::Warning: return err.firstWarning;
    case Failure::ScanLimit:
    case Failure::WorkLimit: return "too many scans for its size";
    }
    return {};
}

Decompressor::Decompressor(const DecodeLimits& limits) : memoryBudget(limits.memoryBudget)
{
    cinfo.err = InstallErrorManager(err);
    progress.pub.progress_monitor = Monitor;
    progress.workBudget = limits.workBudget;
}

Decompressor::~Decompressor()
{
    jpeg_destroy_decompress(&cinfo);  // does nothing when a failed step already destroyed it
}

bool ReadHeader(Decompressor& d, std::span<const std::uint8_t> bytes, unsigned keep)
{
    if (bytes.size() > ULONG_MAX) {
        d.err.failure = Failure::Error;
        d.err.errorCode = JERR_OUT_OF_MEMORY;
        return false;
    }
    if (setjmp(d.err.jump)) {
        d.err.inHeader = false;
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    jpeg_create_decompress(&d.cinfo);
    d.cinfo.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(d.memoryBudget, LONG_MAX));
    d.cinfo.progress = &d.progress.pub;  // set after creation, which clears the struct
    d.err.input = bytes.data();
    d.err.inputSize = bytes.size();
    ChunkedSrc(&d.cinfo, bytes.data(), bytes.size());
    if (keep & kKeepApp1)
        jpeg_save_markers(&d.cinfo, JPEG_APP0 + 1, 0xFFFF);
    if (keep & kKeepIcc)
        jpeg_save_markers(&d.cinfo, JPEG_APP0 + 2, 0xFFFF);
    if (keep & kKeepComment)
        jpeg_save_markers(&d.cinfo, JPEG_COM, 0xFFFF);
    if (keep & kKeepApp13)
        jpeg_save_markers(&d.cinfo, JPEG_APP0 + 13, 0xFFFF);
    d.err.inHeader = true;
    jpeg_read_header(&d.cinfo, TRUE);
    d.err.inHeader = false;
    if (CutAdobeSegment(bytes)) {
        d.err.failure = Failure::Warning;
        std::snprintf(d.err.firstWarning, sizeof d.err.firstWarning,
                      "the Adobe segment is too short for its colour transform");
        return false;
    }
    return true;
}

std::vector<std::uint8_t> IccProfile(const jpeg_decompress_struct& cinfo)
{
    std::vector<std::span<const std::uint8_t>> payloads;
    for (jpeg_saved_marker_ptr marker = cinfo.marker_list; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 2 && marker->data_length == marker->original_length)
            payloads.emplace_back(marker->data, marker->data_length);
    }
    return FindIccProfile(payloads).profile;
}

bool CalcOutputDimensions(Decompressor& d)
{
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    jpeg_calc_output_dimensions(&d.cinfo);
    return true;
}

bool StartDecompress(Decompressor& d)
{
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    jpeg_start_decompress(&d.cinfo);
    return true;
}

bool ReadScanlines(Decompressor& d, JSAMPARRAY rows, JDIMENSION maxLines, JDIMENSION* lines)
{
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    *lines = jpeg_read_scanlines(&d.cinfo, rows, maxLines);
    return true;
}

bool FinishDecompress(Decompressor& d)
{
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    jpeg_finish_decompress(&d.cinfo);
    return true;
}

bool TailIsSound(const Decompressor& d, const Image& pixels)
{
    if (d.progress.endedAtRow == UINT_MAX)
        return true;
    // One iMCU row of margin: the row where the data ran out and upsampling's reach into it.
    const std::uint64_t rowHeight = static_cast<std::uint64_t>(d.cinfo.max_v_samp_factor) * DCTSIZE;
    const std::uint64_t first = (static_cast<std::uint64_t>(d.progress.endedAtRow) + 1) * rowHeight;
    if (first >= static_cast<std::uint64_t>(pixels.height))
        return true;
    constexpr int kTolerance = 4;  // rounding of the IDCT and colour conversion
    const std::uint8_t* reference = pixels.row(static_cast<int>(first));
    for (auto y = static_cast<int>(first); y < pixels.height; ++y) {
        const std::uint8_t* row = pixels.row(y);
        for (std::size_t i = 0; i < pixels.rowBytes(); ++i) {
            if (std::abs(row[i] - reference[i % static_cast<std::size_t>(pixels.channels)]) > kTolerance)
                return false;
        }
    }
    return true;
}

bool ExceedsPixelLimit(std::uint64_t width, std::uint64_t height)
{
    return width * height > kMaxPixels;
}

std::uint64_t CoefficientBytes(const jpeg_decompress_struct& cinfo)
{
    if (!cinfo.progressive_mode && !cinfo.buffered_image && cinfo.comps_in_scan >= cinfo.num_components)
        return 0;  // one interleaved scan: decoded an iMCU row at a time
    return AllCoefficientBytes(cinfo);
}

std::uint64_t AllCoefficientBytes(const jpeg_decompress_struct& cinfo)
{
    std::uint64_t bytes = 0;
    for (int i = 0; i < cinfo.num_components; ++i) {
        const jpeg_component_info& c = cinfo.comp_info[i];
        const auto h = static_cast<std::uint64_t>(std::max(c.h_samp_factor, 1));
        const auto v = static_cast<std::uint64_t>(std::max(c.v_samp_factor, 1));
        bytes +=
            (c.width_in_blocks + h - 1) / h * h * ((c.height_in_blocks + v - 1) / v * v) * DCTSIZE2 * sizeof(JCOEF);
    }
    return bytes;
}

DecodeStatus Reserve(const DecodeLimits& limits, std::uint64_t needed, std::string* detail)
{
    if (needed > limits.memoryBudget)
        return OverBudget(needed, limits.memoryBudget, detail);
    if (limits.share != nullptr && !limits.share->Hold(needed)) {
        if (detail != nullptr)
            *detail = "the run was stopped while waiting for memory";
        return DecodeStatus::OutOfMemory;
    }
    return DecodeStatus::Ok;
}

DecodeStatus OverBudget(std::uint64_t needed, std::uint64_t budget, std::string* detail)
{
    if (detail != nullptr)
        *detail = "needs " + std::to_string((needed + (1 << 20) - 1) >> 20) + " MiB, budget " +
                  std::to_string(budget >> 20) + " MiB";
    return DecodeStatus::OverBudget;
}

DecodeStatus DecodePixels(Decompressor& d, std::span<const std::uint8_t> cmykProfile, bool alwaysRgb, Image& out)
{
    jpeg_decompress_struct& cinfo = d.cinfo;

    int channels = 3;
    bool cmyk = false;
    switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo.out_color_space = alwaysRgb ? JCS_RGB : JCS_GRAYSCALE;
        channels = alwaysRgb ? 3 : 1;
        break;
    case JCS_YCbCr:
    case JCS_RGB: cinfo.out_color_space = JCS_RGB; break;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo.out_color_space = JCS_CMYK;
        cmyk = true;
        break;
    default:  // two components, or colour spaces libjpeg cannot name
        return DecodeStatus::NotAnImage;
    }
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = TRUE;

    if (!StartDecompress(d))
        return StatusForFailure(d.err);
    const JDIMENSION width = cinfo.output_width;
    const JDIMENSION height = cinfo.output_height;
    if (cinfo.output_components != (cmyk ? 4 : channels))
        return DecodeStatus::NotAnImage;

    Image image(static_cast<int>(width), static_cast<int>(height), channels);
    if (cmyk) {
        const CmykToSrgb converter(cmykProfile, cinfo.saw_Adobe_marker);
        std::vector<JSAMPLE> buffer(static_cast<std::size_t>(width) * 4 * kCmykChunkRows);
        std::vector<JSAMPROW> rows(kCmykChunkRows);
        for (JDIMENSION i = 0; i < kCmykChunkRows; ++i)
            rows[i] = buffer.data() + static_cast<std::size_t>(width) * 4 * i;
        while (cinfo.output_scanline < height) {
            const JDIMENSION first = cinfo.output_scanline;
            JDIMENSION lines = 0;
            if (!ReadScanlines(d, rows.data(), std::min(kCmykChunkRows, height - first), &lines))
                return StatusForFailure(d.err);
            if (lines == 0)
                return DecodeStatus::Damaged;
            for (JDIMENSION i = 0; i < lines; ++i)
                converter.convert(rows[i], image.row(static_cast<int>(first + i)), width);
        }
    } else {
        std::vector<JSAMPROW> rows(height);
        for (JDIMENSION y = 0; y < height; ++y)
            rows[y] = image.row(static_cast<int>(y));
        while (cinfo.output_scanline < height) {
            const JDIMENSION first = cinfo.output_scanline;
            JDIMENSION lines = 0;
            if (!ReadScanlines(d, rows.data() + first, height - first, &lines))
                return StatusForFailure(d.err);
            if (lines == 0)
                return DecodeStatus::Damaged;
        }
    }
    out = std::move(image);
    return DecodeStatus::Ok;
}

}  // namespace tramblix::jpeg
