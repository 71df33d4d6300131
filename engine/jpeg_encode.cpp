#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <jerror.h>
#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/internal/jpeg_common.h"
#include "engine/internal/jpeg_encode_parts.h"
#include "engine/internal/scan_script.h"

namespace tramblix {

namespace {

using jpeg::Compressor;

// One encode, as plain pointers into what the caller owns.
struct EncodeJob {
    const Image* pixels;
    int quality;
    JSAMPARRAY rows;
    std::span<const Marker> markers;
    std::span<const std::uint8_t> icc;
    Density density;
    jpeg::OutputBlock* output;
};

bool Compress(Compressor& c, const EncodeJob& job)
{
    jpeg_compress_struct& cinfo = c.cinfo;
    if (setjmp(c.err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg::CreateFor(cinfo, *job.pixels, *job.output);
    jpeg_set_quality(&cinfo, job.quality, TRUE);
    jpeg::SetLayout(cinfo, job.density, job.quality);
    jpeg_start_compress(&cinfo, TRUE);
    jpeg::WriteSegments(cinfo, job.markers, job.icc);
    while (cinfo.next_scanline < cinfo.image_height)
        jpeg_write_scanlines(&cinfo, job.rows + cinfo.next_scanline, cinfo.image_height - cinfo.next_scanline);
    jpeg_finish_compress(&cinfo);
    return true;
}

}  // namespace

std::uint64_t PipelineBytes(std::uint64_t inputSize, std::uint64_t width, std::uint64_t height, int channels)
{
    const std::uint64_t pixels = width * height * static_cast<std::uint64_t>(channels);
    // Coefficients of the output: grey in 8 x 8 MCUs; colour at 4:2:0, 16 x 16 MCUs holding six blocks.
    const std::uint64_t mcu = channels == 1 ? 8 : 16;
    const std::uint64_t mcus = (width + mcu - 1) / mcu * ((height + mcu - 1) / mcu);
    const std::uint64_t coefficients = mcus * (channels == 1 ? 1 : 6) * DCTSIZE2 * sizeof(JCOEF);
    return inputSize + pixels + coefficients + pixels;
}

bool EncodeJpeg(const DecodedImage& image, int quality, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (!jpeg::Encodable(image))
        return false;
    try {
        const Image& pixels = image.pixels;
        std::vector<JSAMPROW> rows(static_cast<std::size_t>(pixels.height));
        for (int y = 0; y < pixels.height; ++y)
            rows[static_cast<std::size_t>(y)] = const_cast<JSAMPROW>(pixels.row(y));  // libjpeg only reads them

        jpeg::OutputBlock output(jpeg::EncodeBufferBound(image));
        Compressor compressor;
        const EncodeJob job{&pixels, std::clamp(quality, 1, 100), rows.data(), image.markers, image.icc, image.density,
                            &output};
        return output.HandBack(Compress(compressor, job), compressor.err, out);
    } catch (const std::bad_alloc&) {
        out.clear();
        throw;
    }
}

}  // namespace tramblix

namespace tramblix::jpeg {

namespace {

constexpr std::size_t kMaxMarkerPayload = 65533;              // 65535 minus the length field itself
constexpr std::size_t kIccChunkPayload = 65519;               // per APP2, after "ICC_PROFILE\0", index and count
constexpr std::size_t kMaxIccBytes = 255 * kIccChunkPayload;  // the chunk count is one byte

bool StartsWith(const std::vector<std::uint8_t>& bytes, const char* prefix, std::size_t length)
{
    return bytes.size() >= length && std::memcmp(bytes.data(), prefix, length) == 0;
}

}  // namespace

bool WritableMarker(const Marker& marker)
{
    if (marker.bytes.size() > kMaxMarkerPayload)
        return false;
    if (marker.code == JPEG_COM)
        return true;
    if (marker.code < JPEG_APP0 || marker.code > JPEG_APP0 + 15)
        return false;
    if (marker.code == JPEG_APP0)
        return !StartsWith(marker.bytes, "JFIF", 5) && !StartsWith(marker.bytes, "JFXX", 5);
    if (marker.code == JPEG_APP0 + 2)
        return !StartsWith(marker.bytes, "ICC_PROFILE", 12);
    if (marker.code == JPEG_APP0 + 14)
        return !StartsWith(marker.bytes, "Adobe", 5);
    return true;
}

bool Encodable(const DecodedImage& image)
{
    const Image& pixels = image.pixels;
    if (pixels.empty() || (pixels.channels != 1 && pixels.channels != 3) || pixels.width > JPEG_MAX_DIMENSION ||
        pixels.height > JPEG_MAX_DIMENSION || pixels.stride < static_cast<std::ptrdiff_t>(pixels.rowBytes()) ||
        pixels.data.size() < static_cast<std::size_t>(pixels.stride) * (pixels.height - 1) + pixels.rowBytes())
        return false;
    return image.icc.size() <= kMaxIccBytes;
}

// libjpeg-turbo's bound (3 bytes a pixel at 4:2:0, 2 for grey, over whole MCUs) plus every
// segment. With this much, libjpeg never has to enlarge the buffer; were it to, the caller-owned
// block would still be valid on every path.
std::size_t EncodeBufferBound(const DecodedImage& image)
{
    const Image& pixels = image.pixels;
    const std::size_t mcu = pixels.channels == 1 ? 8 : 16;
    const std::size_t paddedWidth = (static_cast<std::size_t>(pixels.width) + mcu - 1) / mcu * mcu;
    const std::size_t paddedHeight = (static_cast<std::size_t>(pixels.height) + mcu - 1) / mcu * mcu;
    std::size_t bound = paddedWidth * paddedHeight * (pixels.channels == 1 ? 2 : 3) + 2048;
    for (const Marker& marker : image.markers)
        bound += marker.bytes.size() + 4;
    bound += image.icc.size() + (image.icc.size() / kIccChunkPayload + 1) * 18;
    return bound;
}

OutputBlock::OutputBlock(std::size_t capacity)
    : block_(static_cast<unsigned char*>(std::malloc(capacity))),
      buffer_(block_),
      size_(static_cast<unsigned long>(capacity))
{
    if (block_ == nullptr)
        throw std::bad_alloc();
}

OutputBlock::~OutputBlock()
{
    if (buffer_ != block_)
        std::free(buffer_);
    std::free(block_);
}

bool OutputBlock::HandBack(bool done, const ErrorManager& err, std::vector<std::uint8_t>& out) const
{
    if (!done && err.errorCode == JERR_OUT_OF_MEMORY)
        throw std::bad_alloc();
    if (!done)
        return false;
    out.assign(buffer_, buffer_ + size_);
    return true;
}

void CreateFor(jpeg_compress_struct& cinfo, const Image& pixels, OutputBlock& output)
{
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, output.buffer(), output.size());
    cinfo.image_width = static_cast<JDIMENSION>(pixels.width);
    cinfo.image_height = static_cast<JDIMENSION>(pixels.height);
    const bool grey = pixels.channels == 1;
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
}

void SetLayout(jpeg_compress_struct& cinfo, const Density& density, int quality)
{
    if (cinfo.in_color_space != JCS_GRAYSCALE) {
        jpeg_set_colorspace(&cinfo, JCS_YCbCr);
        cinfo.comp_info[0].h_samp_factor = 2;  // 4:2:0
        cinfo.comp_info[0].v_samp_factor = 2;
        for (int i = 1; i < 3; ++i) {
            cinfo.comp_info[i].h_samp_factor = 1;
            cinfo.comp_info[i].v_samp_factor = 1;
        }
    }
    cinfo.density_unit = density.unit;
    cinfo.X_density = density.x;
    cinfo.Y_density = density.y;
    cinfo.dct_method = JDCT_ISLOW;
    ConfigureScans(cinfo, quality);
}

void WriteSegments(jpeg_compress_struct& cinfo, std::span<const Marker> markers, std::span<const std::uint8_t> icc)
{
    for (const Marker& marker : markers) {
        if (WritableMarker(marker))
            jpeg_write_marker(&cinfo, marker.code, marker.bytes.data(), static_cast<unsigned>(marker.bytes.size()));
    }
    if (!icc.empty())
        jpeg_write_icc_profile(&cinfo, icc.data(), static_cast<unsigned>(icc.size()));
}

}  // namespace tramblix::jpeg
