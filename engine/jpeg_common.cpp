#include "engine/jpeg_common.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include <jerror.h>

#include "engine/colour.h"

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

// Warnings that say nothing about the pixels.
bool Harmless(const ErrorManager& err, int code)
{
    if (code == JWRN_JFIF_MAJOR)  // only a newer JFIF version number
        return true;
    // Stray bytes between header segments touch no pixel data. Inside the scan data they can mean
    // that the blocks before them were decoded from garbage, so there they count.
    return code == JWRN_EXTRANEOUS_DATA && err.inHeader;
}

void OnMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)  // trace output
        return;
    ErrorManager& err = ManagerOf(cinfo);
    const int code = err.pub.msg_code;
    if (Harmless(err, code))
        return;
    ++err.pub.num_warnings;
    if (err.warnings++ == 0) {
        err.firstWarningCode = code;
        err.pub.format_message(cinfo, err.firstWarning);
    }
    if (err.stopOnWarning) {
        err.failure = Failure::Warning;
        std::longjmp(err.jump, 1);
    }
}

void Silent(j_common_ptr) {}

void CountScans(j_common_ptr cinfo)
{
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) {
        ErrorManager& err = ManagerOf(cinfo);
        err.failure = Failure::ScanLimit;
        std::longjmp(err.jump, 1);
    }
}

// Rows per jpeg_read_scanlines call when CMYK goes through a bounce buffer.
constexpr JDIMENSION kCmykChunkRows = 16;

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
    if (err.failure != Failure::Error)
        return DecodeStatus::Damaged;
    switch (err.errorCode) {
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW:
    case JERR_NO_BACKING_STORE:  // libjpeg wanted more than kDecoderMemoryLimit
    case JERR_OUT_OF_MEMORY:
        return DecodeStatus::TooLarge;
    case JERR_NO_SOI:
    case JERR_INPUT_EMPTY:
    case JERR_BAD_PRECISION:     // 12-bit
    case JERR_SOF_UNSUPPORTED:   // lossless, hierarchical
    case JERR_EMPTY_IMAGE:       // height given later in a DNL segment
    case JERR_CONVERSION_NOTIMPL:
    case JERR_NOT_COMPILED:
        return DecodeStatus::NotAnImage;
    default:
        return DecodeStatus::Damaged;
    }
}

Decompressor::Decompressor()
{
    cinfo.err = InstallErrorManager(err);
    progress.progress_monitor = CountScans;
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
    d.cinfo.mem->max_memory_to_use = kDecoderMemoryLimit;
    d.cinfo.progress = &d.progress;  // set after creation, which clears the struct
    jpeg_mem_src(&d.cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
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
    return true;
}

bool ReadIccProfile(Decompressor& d, JOCTET** data, unsigned* length)
{
    *data = nullptr;
    *length = 0;
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    jpeg_read_icc_profile(&d.cinfo, data, length);
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

bool ExceedsPixelLimit(std::uint64_t width, std::uint64_t height)
{
    return width * height > kMaxPixels;
}

DecodeStatus DecodePixels(Decompressor& d, std::span<const std::uint8_t> cmykProfile, bool alwaysRgb, Image& out)
{
    jpeg_decompress_struct& cinfo = d.cinfo;
    // Refused before libjpeg allocates anything for the picture and before our buffer exists.
    if (ExceedsPixelLimit(cinfo.image_width, cinfo.image_height))
        return DecodeStatus::TooLarge;

    int channels = 3;
    bool cmyk = false;
    switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo.out_color_space = alwaysRgb ? JCS_RGB : JCS_GRAYSCALE;
        channels = alwaysRgb ? 3 : 1;
        break;
    case JCS_YCbCr:
    case JCS_RGB:
        cinfo.out_color_space = JCS_RGB;
        break;
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
