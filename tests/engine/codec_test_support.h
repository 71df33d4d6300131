#pragma once

// Test JPEGs made with libjpeg directly, so the decoder is checked against files it did not write.

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <lcms2.h>

namespace tramblix::test {

using Bytes = std::vector<std::uint8_t>;

struct JpegRecipe {
    int width = 48;
    int height = 32;
    J_COLOR_SPACE input = JCS_RGB;   // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK samples
    J_COLOR_SPACE coded = JCS_YCbCr;  // colour space inside the file
    int hSampling = 2;                // of the first component
    int vSampling = 2;
    bool progressive = false;
    bool arithmetic = false;
    int restartRows = 0;
    int adobeMarker = -1;  // -1: libjpeg's choice
    int quality = 95;
    std::vector<std::pair<int, Bytes>> markers{};
    Bytes icc{};
};

inline int Components(J_COLOR_SPACE space)
{
    return space == JCS_GRAYSCALE ? 1 : space == JCS_CMYK ? 4 : 3;
}

// Smooth ramps, one direction per channel: survives JPEG almost unchanged.
inline Bytes Ramps(int width, int height, int channels)
{
    Bytes samples(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                samples[(static_cast<std::size_t>(y) * width + x) * channels + c] =
                    static_cast<std::uint8_t>(c % 2 ? 40 + 160 * y / height : 30 + 180 * x / width);
    return samples;
}

struct TestErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] inline void TestJump(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<TestErrorManager*>(cinfo->err)->jump, 1);
}

inline bool EncodeWithLibjpeg(const JpegRecipe& recipe, const std::uint8_t* samples, unsigned char** buffer,
                              unsigned long* size)
{
    jpeg_compress_struct cinfo;
    TestErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = TestJump;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, buffer, size);
    cinfo.image_width = static_cast<JDIMENSION>(recipe.width);
    cinfo.image_height = static_cast<JDIMENSION>(recipe.height);
    cinfo.input_components = Components(recipe.input);
    cinfo.in_color_space = recipe.input;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, recipe.coded);
    jpeg_set_quality(&cinfo, recipe.quality, TRUE);
    cinfo.comp_info[0].h_samp_factor = recipe.hSampling;
    cinfo.comp_info[0].v_samp_factor = recipe.vSampling;
    cinfo.arith_code = recipe.arithmetic ? TRUE : FALSE;
    cinfo.restart_in_rows = recipe.restartRows;
    if (recipe.adobeMarker >= 0)
        cinfo.write_Adobe_marker = recipe.adobeMarker ? TRUE : FALSE;
    if (recipe.progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    for (const auto& [code, bytes] : recipe.markers)
        jpeg_write_marker(&cinfo, code, bytes.data(), static_cast<unsigned>(bytes.size()));
    if (!recipe.icc.empty())
        jpeg_write_icc_profile(&cinfo, recipe.icc.data(), static_cast<unsigned>(recipe.icc.size()));
    const std::size_t stride = static_cast<std::size_t>(recipe.width) * cinfo.input_components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

inline Bytes MakeJpeg(const JpegRecipe& recipe, const Bytes& samples)
{
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (!EncodeWithLibjpeg(recipe, samples.data(), &buffer, &size))
        return {};
    Bytes jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

inline Bytes MakeJpeg(const JpegRecipe& recipe)
{
    return MakeJpeg(recipe, Ramps(recipe.width, recipe.height, Components(recipe.input)));
}

// What libjpeg itself reads from a file's header.
struct HeaderFacts {
    bool ok = false;
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
    int hSampling = 0;  // of the first component
    int vSampling = 0;
    Bytes icc;
};

inline bool InspectWithLibjpeg(const Bytes& jpeg, HeaderFacts& facts, JOCTET** icc, unsigned* iccLength)
{
    jpeg_decompress_struct cinfo;
    TestErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = TestJump;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    facts.space = cinfo.jpeg_color_space;
    facts.components = cinfo.num_components;
    facts.hSampling = cinfo.comp_info[0].h_samp_factor;
    facts.vSampling = cinfo.comp_info[0].v_samp_factor;
    jpeg_read_icc_profile(&cinfo, icc, iccLength);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

inline HeaderFacts Inspect(const Bytes& jpeg)
{
    HeaderFacts facts;
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;
    facts.ok = InspectWithLibjpeg(jpeg, facts, &icc, &iccLength);
    if (icc != nullptr)
        facts.icc.assign(icc, icc + iccLength);
    std::free(icc);
    return facts;
}

// An APP1 EXIF payload holding only an orientation tag (one IFD entry, type SHORT).
inline Bytes ExifWithOrientation(int orientation, bool bigEndian)
{
    const auto v = static_cast<std::uint8_t>(orientation);
    if (bigEndian)
        return {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, v, 0, 0, 0, 0, 0, 0};
    return {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
            0x12, 0x01, 3, 0, 1, 0, 0, 0, v, 0, 0, 0, 0, 0, 0, 0};
}

// The bytes of an lcms2 profile, which is closed.
inline Bytes Profile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

inline Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

}  // namespace tramblix::test
