#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "engine/internal/scan_script.h"
#include "tests/support/jpeg_helpers.h"

namespace tramblix {
namespace {

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

// Our scan layout (`scripted`) or a plain sequential one, decoded again by libjpeg.
bool EncodeAndDecode(const std::vector<JSAMPLE>& pixels, int width, int height, int channels, int quality,
                     bool scripted, test::Pixels& decoded)
{
    test::JpegRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    if (channels == 1) {
        recipe.input = recipe.coded = JCS_GRAYSCALE;
        recipe.hSampling = recipe.vSampling = 1;
    }
    recipe.quality = quality;
    if (scripted)
        recipe.configure = [quality](jpeg_compress_struct& cinfo) { ConfigureScans(cinfo, quality); };
    const test::Bytes jpeg = test::MakeJpeg(recipe, pixels);
    return !jpeg.empty() && test::DecodeWithLibjpeg(jpeg, decoded);
}

struct ScanCase {
    int quality;
    int channels;
};

void PrintTo(const ScanCase& c, std::ostream* os)
{
    *os << "quality " << c.quality << ", " << c.channels << " channels";
}

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

    test::Pixels ours, plain;
    ASSERT_TRUE(EncodeAndDecode(pixels, width, height, channels, quality, true, ours));
    ASSERT_TRUE(EncodeAndDecode(pixels, width, height, channels, quality, false, plain));
    EXPECT_EQ(ours.samples, plain.samples);
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
