#include "tests/support/jpeg_helpers.h"

#include <csetjmp>
#include <cstdlib>

namespace tramblix::test {
namespace {

struct ErrorJump {
    jpeg_error_mgr pub;  // first member: libjpeg hands us a pointer to it
    std::jmp_buf jump;
    int warnings = 0;
};

[[noreturn]] void JumpOnError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}

// Warnings are counted, not printed: tests feed damaged files on purpose.
void CountWarning(j_common_ptr cinfo, int level)
{
    if (level < 0)
        ++reinterpret_cast<ErrorJump*>(cinfo->err)->warnings;
}

jpeg_error_mgr* Install(ErrorJump& err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = JumpOnError;
    err.pub.emit_message = CountWarning;
    return &err.pub;
}

bool Encode(jpeg_compress_struct* cinfo, ErrorJump* err, const JpegRecipe& recipe, const std::uint8_t* samples,
            unsigned char** buffer, unsigned long* size)
{
    if (setjmp(err->jump)) {
        jpeg_destroy_compress(cinfo);
        return false;
    }
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, buffer, size);
    cinfo->image_width = static_cast<JDIMENSION>(recipe.width);
    cinfo->image_height = static_cast<JDIMENSION>(recipe.height);
    cinfo->input_components = Components(recipe.input);
    cinfo->in_color_space = recipe.input;
    jpeg_set_defaults(cinfo);
    jpeg_set_colorspace(cinfo, recipe.coded);
    jpeg_set_quality(cinfo, recipe.quality, TRUE);
    cinfo->comp_info[0].h_samp_factor = recipe.hSampling;
    cinfo->comp_info[0].v_samp_factor = recipe.vSampling;
    cinfo->dct_method = JDCT_ISLOW;
    cinfo->arith_code = recipe.arithmetic ? TRUE : FALSE;
    cinfo->optimize_coding = recipe.optimise ? TRUE : FALSE;
    cinfo->restart_in_rows = recipe.restartRows;
    if (recipe.adobeMarker >= 0)
        cinfo->write_Adobe_marker = recipe.adobeMarker ? TRUE : FALSE;
    if (recipe.progressive)
        jpeg_simple_progression(cinfo);
    if (recipe.configure)
        recipe.configure(*cinfo);
    jpeg_start_compress(cinfo, TRUE);
    for (const auto& [code, bytes] : recipe.markers)
        jpeg_write_marker(cinfo, code, bytes.data(), static_cast<unsigned>(bytes.size()));
    if (!recipe.icc.empty())
        jpeg_write_icc_profile(cinfo, recipe.icc.data(), static_cast<unsigned>(recipe.icc.size()));
    const std::size_t stride = static_cast<std::size_t>(recipe.width) * cinfo->input_components;
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples + cinfo->next_scanline * stride);
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    jpeg_destroy_compress(cinfo);
    return true;
}

bool Decode(jpeg_decompress_struct* cinfo, ErrorJump* err, const std::uint8_t* data, std::size_t size,
            J_COLOR_SPACE output, Pixels* pixels)
{
    if (setjmp(err->jump)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(cinfo, TRUE);
    if (output != JCS_UNKNOWN)
        cinfo->out_color_space = output;
    cinfo->dct_method = JDCT_ISLOW;
    jpeg_start_decompress(cinfo);
    pixels->width = static_cast<int>(cinfo->output_width);
    pixels->height = static_cast<int>(cinfo->output_height);
    pixels->components = cinfo->output_components;
    const std::size_t rowBytes = static_cast<std::size_t>(cinfo->output_width) * cinfo->output_components;
    pixels->samples.resize(rowBytes * cinfo->output_height);
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = pixels->samples.data() + rowBytes * cinfo->output_scanline;
        jpeg_read_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
    return true;
}

bool ReadHeader(jpeg_decompress_struct* cinfo, ErrorJump* err, const std::uint8_t* data, std::size_t size,
                HeaderFacts* facts, JOCTET** icc, unsigned* iccLength)
{
    if (setjmp(err->jump)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(cinfo, TRUE);
    facts->space = cinfo->jpeg_color_space;
    facts->components = cinfo->num_components;
    facts->hSampling = cinfo->comp_info[0].h_samp_factor;
    facts->vSampling = cinfo->comp_info[0].v_samp_factor;
    jpeg_read_icc_profile(cinfo, icc, iccLength);
    jpeg_destroy_decompress(cinfo);
    return true;
}

}  // namespace

Bytes Ramps(int width, int height, int channels)
{
    Bytes samples(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                samples[(static_cast<std::size_t>(y) * width + x) * channels + c] =
                    static_cast<std::uint8_t>(c % 2 ? 40 + 160 * y / height : 30 + 180 * x / width);
    return samples;
}

Bytes PhotoLike(int width, int height, unsigned seed)
{
    Bytes samples(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) {
            seed = seed * 1103515245u + 12345u;
            samples[static_cast<std::size_t>(y) * width * 3 + x] =
                static_cast<std::uint8_t>((x * 3 + y * 2) % 180 + (seed >> 16) % 60);
        }
    return MakeJpeg({.width = width, .height = height, .quality = 95}, samples);
}

Bytes TinyFlatJpeg()
{
    const Bytes grey(9, 128);
    return MakeJpeg({.width = 3,
                     .height = 3,
                     .input = JCS_GRAYSCALE,
                     .coded = JCS_GRAYSCALE,
                     .hSampling = 1,
                     .vSampling = 1,
                     .optimise = true},
                    grey);
}

Bytes WithoutScans(Bytes jpeg)
{
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            jpeg.resize(i);
            jpeg.insert(jpeg.end(), {0xFF, 0xD9});
            break;
        }
    return jpeg;
}

Bytes MakeJpeg(const JpegRecipe& recipe, std::span<const std::uint8_t> samples)
{
    jpeg_compress_struct cinfo;
    ErrorJump err;
    cinfo.err = Install(err);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    // After a failure the buffer may have been replaced inside libjpeg: it is left, not freed.
    if (!Encode(&cinfo, &err, recipe, samples.data(), &buffer, &size))
        return {};
    Bytes jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

Bytes MakeJpeg(const JpegRecipe& recipe)
{
    return MakeJpeg(recipe, Ramps(recipe.width, recipe.height, Components(recipe.input)));
}

bool DecodeWithLibjpeg(std::span<const std::uint8_t> jpeg, Pixels& pixels, J_COLOR_SPACE output)
{
    jpeg_decompress_struct cinfo;
    ErrorJump err;
    cinfo.err = Install(err);
    const bool ok = Decode(&cinfo, &err, jpeg.data(), jpeg.size(), output, &pixels);
    pixels.warnings = err.warnings;
    return ok;
}

HeaderFacts Inspect(std::span<const std::uint8_t> jpeg)
{
    jpeg_decompress_struct cinfo;
    ErrorJump err;
    cinfo.err = Install(err);
    HeaderFacts facts;
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;
    facts.ok = ReadHeader(&cinfo, &err, jpeg.data(), jpeg.size(), &facts, &icc, &iccLength);
    if (icc != nullptr)
        facts.icc.assign(icc, icc + iccLength);
    std::free(icc);
    return facts;
}

void PrintTo(const JpegRecipe& recipe, std::ostream* os)
{
    *os << recipe.width << "x" << recipe.height << " space " << recipe.input << "->" << recipe.coded << " "
        << recipe.hSampling << "x" << recipe.vSampling << " q" << recipe.quality
        << (recipe.progressive ? " progressive" : "") << (recipe.arithmetic ? " arithmetic" : "")
        << (recipe.restartRows ? " restarts" : "") << " adobe " << recipe.adobeMarker
        << (recipe.icc.empty() ? "" : " icc") << (recipe.configure ? " configured" : "");
}

}  // namespace tramblix::test
