#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/exif.h"
#include "engine/internal/jpeg_common.h"
#include "engine/internal/jpeg_encode_parts.h"
#include "engine/internal/scan_script.h"
#include "engine/quality_table.h"

namespace tramblix {

namespace {

using jpeg::Compressor;

// One rewrite, as plain pointers into what the caller owns.
struct WriteJob {
    jvirt_barray_ptr* coefficients;
    int quality;
    std::span<const std::uint8_t> icc;
    std::span<const Marker> markers;
    jpeg::OutputBlock* output;
};

bool ReadCoefficients(jpeg::Decompressor& d, jvirt_barray_ptr** coefficients)
{
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    *coefficients = jpeg_read_coefficients(&d.cinfo);
    return *coefficients != nullptr;
}

bool WriteCoefficients(Compressor& c, jpeg_decompress_struct& source, const WriteJob& job)
{
    jpeg_compress_struct& cinfo = c.cinfo;
    if (setjmp(c.err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, job.output->buffer(), job.output->size());
    jpeg_copy_critical_parameters(&source, &cinfo);
    // CMYK without an Adobe segment is stored the other way up; adding one would invert it.
    if (source.jpeg_color_space == JCS_CMYK)
        cinfo.write_Adobe_marker = source.saw_Adobe_marker;
    ConfigureScans(cinfo, job.quality);
    jpeg_write_coefficients(&cinfo, job.coefficients);
    jpeg::WriteSegments(cinfo, job.markers, job.icc);
    jpeg_finish_compress(&cinfo);
    return true;
}

// After jpeg_read_coefficients: whether every coefficient of every component was coded down to
// its last bit. A progressive file that stops short (a scan left out) is decoded with libjpeg's
// block smoothing over the missing part; written back as complete, its pixels would change.
bool CoefficientsComplete(const jpeg_decompress_struct& cinfo)
{
    if (!cinfo.progressive_mode || cinfo.coef_bits == nullptr)
        return true;
    for (int component = 0; component < cinfo.num_components; ++component) {
        const int* bits = cinfo.coef_bits[component];
        if (std::any_of(bits, bits + DCTSIZE2, [](int bit) { return bit != 0; }))
            return false;
    }
    return true;
}

DecodeStatus Failed(const jpeg::Decompressor& d, DecodeDetail* detail)
{
    if (detail != nullptr)
        *detail = jpeg::FailureText(d.err);
    return jpeg::StatusForFailure(d.err);
}

DecodeStatus TranscodeInto(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out, bool strip,
                           const DecodeLimits& limits, DecodeDetail* detail)
{
    jpeg::Decompressor d(limits);
    d.err.stopOnWarning = true;  // a warning means damage: never carry it into a clean-looking file
    d.progress.checkEnd = true;
    if (!jpeg::ReadHeader(d, bytes, jpeg::kKeepApp1 | jpeg::kKeepIcc | jpeg::kKeepComment | jpeg::kKeepApp13))
        return Failed(d, detail);
    jpeg_decompress_struct& cinfo = d.cinfo;
    if (jpeg::ExceedsPixelLimit(cinfo.image_width, cinfo.image_height))
        return DecodeStatus::TooLarge;

    const std::vector<std::uint8_t> icc = jpeg::IccProfile(cinfo);
    const auto iccLength = static_cast<unsigned>(icc.size());

    std::vector<Marker> markers = jpeg::KeptMarkers(cinfo);
    if (strip)
        StripMetadata(markers);
    // Room for the rewrite: entropy coding of the same coefficients rarely grows, and libjpeg
    // moves to a block of its own should it have to.
    std::size_t capacity = bytes.size() + bytes.size() / 4 + iccLength + iccLength / 65519 * 18 + 65536;
    for (const Marker& marker : markers)
        capacity += marker.bytes.size() + 4;
    const std::uint64_t needed = bytes.size() + jpeg::AllCoefficientBytes(cinfo) + capacity;
    if (const DecodeStatus room = jpeg::Reserve(limits, needed, detail); room != DecodeStatus::Ok)
        return room;

    jvirt_barray_ptr* coefficients = nullptr;
    if (!ReadCoefficients(d, &coefficients))
        return Failed(d, detail);
    if (d.progress.endedAtRow != UINT_MAX) {
        // Arithmetic data ran out before the last row: only the pixels tell a sound file's
        // dropped zeros from a cut-off one, so they are decoded once, as a re-encode would.
        DecodedImage check;
        if (const DecodeStatus status = DecodeJpeg(bytes, check, limits, detail); status != DecodeStatus::Ok)
            return status;
    }
    if (!CoefficientsComplete(cinfo)) {
        // Nothing can be rewritten without changing pixels: the input stands as its own rewrite.
        if (!jpeg::FinishDecompress(d))
            return Failed(d, detail);
        out.assign(bytes.begin(), bytes.end());
        return DecodeStatus::Ok;
    }

    const JQUANT_TBL* luminance = cinfo.quant_tbl_ptrs[cinfo.comp_info[0].quant_tbl_no];
    int quality = 75;
    if (luminance != nullptr) {
        std::uint16_t table[64];
        std::copy(std::begin(luminance->quantval), std::end(luminance->quantval), table);
        quality = QualityOfTable(table);
    }

    jpeg::OutputBlock output(capacity);
    Compressor compressor;
    const WriteJob job{coefficients, quality, icc, markers, &output};
    if (!output.HandBack(WriteCoefficients(compressor, cinfo, job), compressor.err, out))
        return DecodeStatus::Damaged;  // the coefficients read cannot be written back
    if (!jpeg::FinishDecompress(d)) {
        out.clear();
        return Failed(d, detail);
    }
    return DecodeStatus::Ok;
}

}  // namespace

int QualityOfTable(std::span<const std::uint16_t, 64> table)
{
    int best = 75;
    long bestDistance = std::numeric_limits<long>::max();
    for (int quality = 1; quality <= 100; ++quality) {
        std::uint16_t steps[64];
        StandardLumaSteps(quality, steps);
        long distance = 0;
        for (std::size_t i = 0; i < 64; ++i)
            distance += std::labs(static_cast<long>(steps[i]) - static_cast<long>(table[i]));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = quality;
        }
    }
    return best;
}

DecodeStatus TranscodeJpeg(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out, bool stripMetadata,
                           const DecodeLimits& limits, DecodeDetail* detail)
{
    out.clear();
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) {
        if (detail != nullptr)
            *detail = "lossless mode rewrites JPEG files only";
        return DecodeStatus::NotAnImage;
    }
    try {
        return TranscodeInto(bytes, out, stripMetadata, limits, detail);
    } catch (const std::bad_alloc&) {
        out.clear();
        return DecodeStatus::OutOfMemory;
    }
}

}  // namespace tramblix
