#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "engine/scan_script.h"

namespace tramblix {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void JumpOnError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// A picture with smooth gradients, edges and noise, so every band of every scan carries data.
std::vector<JSAMPLE> TestPicture(int width, int height, int channels)
{
    std::vector<JSAMPLE> pixels(static_cast<std::size_t>(width) * height * channels);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1103515245u + 12345u;
                const int edge = ((x / 7 + y / 5) % 2) * 60;
                const int value = (x * (c + 1) * 3 + y * 2) % 160 + edge + static_cast<int>((noise >> 16) % 32);
                pixels[(static_cast<std::size_t>(y) * width + x) * channels + c] = static_cast<JSAMPLE>(value);
            }
    return pixels;
}

// Encodes with our layout (`scripted`) or a plain sequential one; *buffer is malloc'd.
bool Encode(const std::vector<JSAMPLE>& pixels, int width, int height, int channels, int quality, bool scripted,
            unsigned char** buffer, unsigned long* size)
{
    jpeg_compress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JumpOnError;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, buffer, size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = channels;
    cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (scripted)
        ConfigureScans(cinfo, quality);
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(pixels.data()) + rowBytes * cinfo.next_scanline;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bool Decode(const unsigned char* data, unsigned long size, std::vector<JSAMPLE>& pixels)
{
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JumpOnError;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const std::size_t rowBytes = static_cast<std::size_t>(cinfo.output_width) * cinfo.output_components;
    pixels.resize(rowBytes * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels.data() + rowBytes * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

struct ScanCase {
    int quality;
    int channels;
};

class ScanScriptTest : public ::testing::TestWithParam<ScanCase> {};

// The scan layout decides only how the coefficients are ordered and coded, never their values:
// our file must decode to exactly the pixels of a sequential encode at the same quality, with
// no lost refinement bit and no band left out. Odd sizes leave partial blocks and MCUs.
TEST_P(ScanScriptTest, DecodesToTheSequentialPixels)
{
    const auto [quality, channels] = GetParam();
    const int width = 75;
    const int height = 43;
    const auto pixels = TestPicture(width, height, channels);

    unsigned char* ours = nullptr;
    unsigned long oursSize = 0;
    unsigned char* plain = nullptr;
    unsigned long plainSize = 0;
    const bool oursOk = Encode(pixels, width, height, channels, quality, true, &ours, &oursSize);
    const bool plainOk = Encode(pixels, width, height, channels, quality, false, &plain, &plainSize);
    std::vector<JSAMPLE> oursPixels, plainPixels;
    const bool decoded = oursOk && plainOk && Decode(ours, oursSize, oursPixels) && Decode(plain, plainSize, plainPixels);
    std::free(ours);
    std::free(plain);
    ASSERT_TRUE(oursOk);
    ASSERT_TRUE(plainOk);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(oursPixels, plainPixels);
}

INSTANTIATE_TEST_SUITE_P(EveryLevelQuality, ScanScriptTest,
                         ::testing::Values(ScanCase{90, 3}, ScanCase{80, 3}, ScanCase{75, 3}, ScanCase{70, 3},
                                           ScanCase{60, 3}, ScanCase{50, 3}, ScanCase{40, 3}, ScanCase{30, 3},
                                           ScanCase{25, 3}, ScanCase{20, 3}, ScanCase{15, 3}, ScanCase{90, 1},
                                           ScanCase{50, 1}, ScanCase{15, 1}),
                         [](const ::testing::TestParamInfo<ScanCase>& info) {
                             return "q" + std::to_string(info.param.quality) +
                                    (info.param.channels == 1 ? "_grey" : "_colour");
                         });

}  // namespace
}  // namespace tramblix
