#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "codec_test_support.h"
#include "engine/codec.h"
#include "engine/preview.h"

namespace tramblix {
namespace {

using test::Bytes;

using Rgb = std::array<int, 3>;
constexpr Rgb kRed{220, 30, 30}, kGreen{30, 200, 30}, kBlue{30, 30, 220}, kWhite{240, 240, 240};

// A JPEG of four flat quadrants (top-left, top-right, bottom-left, bottom-right), optionally with
// an EXIF orientation.
Bytes Quadrants(int width, int height, std::array<Rgb, 4> colours, int orientation = 0, bool bigEndian = true)
{
    DecodedImage image;
    image.pixels = Image(width, height, 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Rgb& colour = colours[(y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1)];
            for (int c = 0; c < 3; ++c)
                image.pixels.row(y)[x * 3 + c] = static_cast<std::uint8_t>(colour[c]);
        }
    if (orientation > 0)
        image.markers.push_back({JPEG_APP0 + 1, test::ExifWithOrientation(orientation, bigEndian)});
    Bytes jpeg;
    EXPECT_TRUE(EncodeJpeg(image, 95, jpeg));
    return jpeg;
}

// How a camera stores the upright picture "red green / blue white" (32 x 16) under each
// orientation: worked out by hand from the EXIF definitions, not from the code under test.
struct OrientationCase {
    int orientation;
    int width;
    int height;
    std::array<Rgb, 4> stored;
};

void PrintTo(const OrientationCase& c, std::ostream* os)
{
    *os << "orientation " << c.orientation;
}

class OrientationTest : public ::testing::TestWithParam<OrientationCase> {};

TEST_P(OrientationTest, DisplaysUpright)
{
    const OrientationCase& c = GetParam();
    const Bytes jpeg = Quadrants(c.width, c.height, c.stored, c.orientation, c.orientation % 2 == 0);
    EXPECT_EQ(JpegExifOrientation(jpeg), c.orientation);
    Image shown;
    ASSERT_TRUE(DecodeJpegForDisplay(jpeg, shown));
    ASSERT_EQ(shown.width, 32);
    ASSERT_EQ(shown.height, 16);
    ASSERT_EQ(shown.channels, 3);
    const std::array<std::array<int, 2>, 4> centres{{{8, 4}, {24, 4}, {8, 12}, {24, 12}}};
    const std::array<Rgb, 4> upright{kRed, kGreen, kBlue, kWhite};
    for (std::size_t q = 0; q < 4; ++q)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(shown.row(centres[q][1])[centres[q][0] * 3 + c], upright[q][c], 25) << "quadrant " << q;
}

INSTANTIATE_TEST_SUITE_P(AllEight, OrientationTest,
                         ::testing::Values(OrientationCase{1, 32, 16, {kRed, kGreen, kBlue, kWhite}},
                                           OrientationCase{2, 32, 16, {kGreen, kRed, kWhite, kBlue}},
                                           OrientationCase{3, 32, 16, {kWhite, kBlue, kGreen, kRed}},
                                           OrientationCase{4, 32, 16, {kBlue, kWhite, kRed, kGreen}},
                                           OrientationCase{5, 16, 32, {kRed, kBlue, kGreen, kWhite}},
                                           OrientationCase{6, 16, 32, {kGreen, kWhite, kRed, kBlue}},
                                           OrientationCase{7, 16, 32, {kWhite, kGreen, kBlue, kRed}},
                                           OrientationCase{8, 16, 32, {kBlue, kRed, kWhite, kGreen}}),
                         [](const auto& info) { return std::to_string(info.param.orientation); });

struct ScaleCase {
    int orientation;
    int boxWidth;
    int boxHeight;
    int width;  // of the picture shown, from a 400 x 300 file
    int height;
};

void PrintTo(const ScaleCase& c, std::ostream* os)
{
    *os << "orientation " << c.orientation << " in " << c.boxWidth << "x" << c.boxHeight;
}

class ScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleTest, SmallestScaleThatCoversTheBox)
{
    const ScaleCase& c = GetParam();
    Image shown;
    ASSERT_TRUE(DecodeJpegForDisplay(Quadrants(400, 300, {kRed, kGreen, kBlue, kWhite}, c.orientation), shown,
                                     c.boxWidth, c.boxHeight));
    EXPECT_EQ(shown.width, c.width);
    EXPECT_EQ(shown.height, c.height);
}

INSTANTIATE_TEST_SUITE_P(Boxes, ScaleTest,
                         ::testing::Values(ScaleCase{1, 0, 0, 400, 300},        // full size
                                           ScaleCase{1, 100, 100, 150, 113},    // 3/8: 2/8 is 75 high
                                           ScaleCase{1, 50, 30, 50, 38},        // 1/8
                                           ScaleCase{1, 51, 0, 100, 75},        // only the width counts
                                           ScaleCase{1, 399, 1, 400, 300},      // 7/8 is 350 wide
                                           ScaleCase{1, 1000, 1000, 400, 300},  // never enlarged
                                           ScaleCase{6, 100, 200, 150, 200}),   // turned: 4/8, not 6/8
                         [](const auto& info) { return std::to_string(info.index); });

struct ExifCase {
    const char* name;
    Bytes app1;
    int expected;
};

void PrintTo(const ExifCase& c, std::ostream* os)
{
    *os << c.name;
}

Bytes Patched(Bytes bytes, std::size_t at, std::uint8_t value)
{
    bytes[at] = value;
    return bytes;
}

class ExifOrientationTest : public ::testing::TestWithParam<ExifCase> {};

TEST_P(ExifOrientationTest, ReadsOnlyWellFormedTags)
{
    DecodedImage image;
    image.pixels = Image(8, 8, 3);
    image.markers.push_back({JPEG_APP0 + 1, GetParam().app1});
    Bytes jpeg;
    ASSERT_TRUE(EncodeJpeg(image, 75, jpeg));
    EXPECT_EQ(JpegExifOrientation(jpeg), GetParam().expected);
}

const Bytes kExif6 = test::ExifWithOrientation(6, true);

INSTANTIATE_TEST_SUITE_P(Payloads, ExifOrientationTest,
                         ::testing::Values(ExifCase{"BigEndian", kExif6, 6},
                                           ExifCase{"LittleEndian", test::ExifWithOrientation(3, false), 3},
                                           ExifCase{"Zero", test::ExifWithOrientation(0, true), 1},
                                           ExifCase{"Nine", test::ExifWithOrientation(9, false), 1},
                                           ExifCase{"CutInsideEntry", Bytes(kExif6.begin(), kExif6.begin() + 22), 1},
                                           ExifCase{"IfdOutside", Patched(kExif6, 12, 0x7F), 1},
                                           ExifCase{"WrongType", Patched(kExif6, 19, 2), 1},
                                           ExifCase{"NotExif", test::ToBytes("http://ns.adobe.com/xap/1.0/"), 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DisplayDecodeTest, GreyComesOutAsRgb)
{
    Image shown;
    ASSERT_TRUE(DecodeJpegForDisplay(test::MakeJpeg({.input = JCS_GRAYSCALE, .coded = JCS_GRAYSCALE}), shown));
    ASSERT_EQ(shown.channels, 3);
    EXPECT_EQ(shown.row(5)[30], shown.row(5)[31]);
    EXPECT_EQ(shown.row(5)[30], shown.row(5)[32]);
}

TEST(DisplayDecodeTest, RefusalsLeaveTheImageAlone)
{
    Bytes huge = Quadrants(16, 16, {kRed, kGreen, kBlue, kWhite});
    for (std::size_t i = 2; i + 8 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] >= 0xC0 && huge[i + 1] <= 0xC2) {  // the frame header
            for (std::size_t k = 5; k < 9; ++k)
                huge[i + k] = 0xFF;
            break;
        }
    for (const Bytes& bytes : {Bytes{}, test::ToBytes("\x89PNG\r\n\x1A\n"), huge}) {
        Image shown(3, 2, 3);
        EXPECT_FALSE(DecodeJpegForDisplay(bytes, shown, 10, 10));
        EXPECT_EQ(shown.width, 3);
    }
}

// A photo stored turned or mirrored as a camera would store it, orientation 0 (not a valid value)
// and 1 to 8, each with the EXIF orientation that undoes it: all shown alike.
Bytes StoredForOrientation(const Image& shown, int orientation)
{
    const int w = shown.width, h = shown.height;
    const bool turned = orientation >= 5;
    DecodedImage stored;
    stored.pixels = Image(turned ? h : w, turned ? w : h, 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            // Where the displayed pixel (x, y) lies in the stored picture.
            const std::array<std::array<int, 2>, 9> at{{{x, y},
                                                        {x, y},
                                                        {w - 1 - x, y},
                                                        {w - 1 - x, h - 1 - y},
                                                        {x, h - 1 - y},
                                                        {y, x},
                                                        {y, w - 1 - x},
                                                        {h - 1 - y, w - 1 - x},
                                                        {h - 1 - y, x}}};
            const auto [sx, sy] = at[static_cast<std::size_t>(orientation)];
            std::copy_n(shown.row(y) + x * 3, 3, stored.pixels.row(sy) + sx * 3);
        }
    stored.markers.push_back({JPEG_APP0 + 1, test::ExifWithOrientation(orientation, orientation % 2 == 0)});
    Bytes jpeg;
    EXPECT_TRUE(EncodeJpeg(stored, 90, jpeg));
    return jpeg;
}

TEST(DisplayDecodeTest, EveryOrientationLooksAlike)
{
    Image photo(450, 300, 3);
    const Bytes ramps = test::Ramps(450, 300, 3);
    std::copy(ramps.begin(), ramps.end(), photo.data.begin());
    for (int y = 40; y < 120; ++y)  // a dark block near the top left, so that no turn looks the same
        std::fill_n(photo.row(y) + 60 * 3, 100 * 3, std::uint8_t{20});
    auto load = [&photo](int n) {
        Image shown;
        EXPECT_TRUE(DecodeJpegForDisplay(StoredForOrientation(photo, n), shown, 180, 120));
        return shown;
    };
    const Image reference = load(1);
    ASSERT_EQ(reference.width, 225);  // scaled by libjpeg to the nearest size at or above the box
    for (int n = 0; n <= 8; ++n) {
        const Image shown = load(n);
        ASSERT_EQ(shown.width, reference.width) << n;
        ASSERT_EQ(shown.height, reference.height) << n;
        double difference = 0;
        for (std::size_t i = 0; i < shown.data.size(); ++i)
            difference += std::abs(shown.data[i] - reference.data[i]);
        EXPECT_LT(difference / static_cast<double>(shown.data.size()), 6.0) << "orientation " << n;
    }
}

}  // namespace
}  // namespace tramblix
