#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "codec_test_support.h"
#include "engine/codec.h"

namespace fs = std::filesystem;

namespace tramblix {
namespace {

using test::Bytes;
using test::JpegRecipe;
using test::MakeJpeg;

double MeanDifference(const Image& image, const Bytes& samples)
{
    double sum = 0;
    for (int y = 0; y < image.height; ++y)
        for (std::size_t i = 0; i < image.rowBytes(); ++i)
            sum += std::abs(image.row(y)[i] - samples[y * image.rowBytes() + i]);
    return sum / (static_cast<double>(image.rowBytes()) * image.height);
}

void ExpectPixelNear(const Image& image, int x, int y, std::array<int, 3> rgb, int tolerance)
{
    const std::uint8_t* p = image.row(y) + x * image.channels;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(p[c], rgb[c], tolerance) << "pixel " << x << "," << y << " channel " << c;
}

Bytes ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// ---- hand-made files of other formats -------------------------------------------------------

void PutBe32(Bytes& b, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<std::uint8_t>(v >> shift));
}

void PutLe(Bytes& b, std::uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A zlib stream of one stored (uncompressed) deflate block.
Bytes Zlib(const Bytes& raw)
{
    Bytes zlib{0x78, 0x01, 0x01};
    PutLe(zlib, static_cast<std::uint32_t>(raw.size()), 2);
    PutLe(zlib, static_cast<std::uint32_t>(~raw.size()), 2);
    zlib.insert(zlib.end(), raw.begin(), raw.end());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    PutBe32(zlib, (b << 16) | a);
    return zlib;
}

// colourType 0: grey, 6: RGBA; with `icc`, an iCCP chunk holds it.
Bytes Png(int width, int height, int colourType, const Bytes& samples, const Bytes& icc = {})
{
    const std::size_t rowBytes = samples.size() / height;
    Bytes raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        raw.insert(raw.end(), samples.begin() + y * rowBytes, samples.begin() + (y + 1) * rowBytes);
    }
    Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&png](const char* type, const Bytes& data) {
        PutBe32(png, static_cast<std::uint32_t>(data.size()));
        Bytes body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        PutBe32(png, Crc32(body.data(), body.size()));
    };
    Bytes header;
    PutBe32(header, static_cast<std::uint32_t>(width));
    PutBe32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, static_cast<std::uint8_t>(colourType), 0, 0, 0});
    chunk("IHDR", header);
    if (!icc.empty()) {
        Bytes iccp{'g', 'r', 'e', 'y', 0, 0};
        const Bytes compressed = Zlib(icc);
        iccp.insert(iccp.end(), compressed.begin(), compressed.end());
        chunk("iCCP", iccp);
    }
    chunk("IDAT", Zlib(raw));
    chunk("IEND", {});
    return png;
}

Bytes Bmp(int width, int height)
{
    const std::uint32_t stride = (width * 3 + 3) & ~3u;
    Bytes bmp{'B', 'M'};
    for (std::uint32_t v : {54 + stride * height, 0u, 54u, 40u, std::uint32_t(width), std::uint32_t(height)})
        PutLe(bmp, v, 4);
    PutLe(bmp, 1, 2);
    PutLe(bmp, 24, 2);
    for (std::uint32_t v : {0u, stride * height, 2835u, 2835u, 0u, 0u})
        PutLe(bmp, v, 4);
    bmp.resize(bmp.size() + stride * height, 0x80);
    return bmp;
}

// 1 x 1, palette white and black, index 0 transparent.
const Bytes kGif{'G', 'I', 'F', '8', '9', 'a',  1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0,    0, 0x21, 0xF9, 4,
                 1,   0,   0,   0,   0,   0x2C, 0, 0, 0, 0, 1,    0, 1, 0,    0,    2,    2, 0x44, 1, 0,    0x3B};

// ---- hostile and unusual inputs --------------------------------------------------------------

Bytes Cut(Bytes bytes, std::size_t keep)
{
    bytes.resize(std::min(keep, bytes.size()));
    return bytes;
}

std::size_t FindMarker(const Bytes& jpeg, std::uint8_t first, std::uint8_t last)
{
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] >= first && jpeg[i + 1] <= last)
            return i;
    return jpeg.size();
}

Bytes WithSize(Bytes jpeg, int width, int height)
{
    const std::size_t sof = FindMarker(jpeg, 0xC0, 0xC2);
    jpeg[sof + 5] = static_cast<std::uint8_t>(height >> 8);
    jpeg[sof + 6] = static_cast<std::uint8_t>(height);
    jpeg[sof + 7] = static_cast<std::uint8_t>(width >> 8);
    jpeg[sof + 8] = static_cast<std::uint8_t>(width);
    return jpeg;
}

Bytes Insert(Bytes bytes, std::size_t at, const std::string& junk)
{
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
    return bytes;
}

Bytes Photo()
{
    return MakeJpeg({.width = 256, .height = 192});
}

struct StatusCase {
    const char* name;
    Bytes (*make)();
    DecodeStatus expected;
};

void PrintTo(const StatusCase& c, std::ostream* os)
{
    *os << c.name;
}

const StatusCase kStatusCases[] = {
    {"Empty", [] { return Bytes{}; }, DecodeStatus::NotAnImage},
    {"Garbage", [] { return test::ToBytes(std::string(600, 'x') + "no picture here"); }, DecodeStatus::NotAnImage},
    {"JpegCutInHalf", [] { return Cut(Photo(), Photo().size() / 2); }, DecodeStatus::Damaged},
    {"JpegWithoutEoi", [] { return Cut(Photo(), Photo().size() - 2); }, DecodeStatus::Damaged},
    {"JunkInsideScan", [] { return Insert(Photo(), Photo().size() - 2, "junk!!"); }, DecodeStatus::Damaged},
    {"JunkBetweenHeaderSegments", [] { return Insert(Photo(), FindMarker(Photo(), 0xDB, 0xDB), "hello"); },
     DecodeStatus::Ok},
    {"Header65535x65535", [] { return WithSize(Photo(), 65535, 65535); }, DecodeStatus::TooLarge},
    {"Header20000x14000", [] { return WithSize(Photo(), 20000, 14000); }, DecodeStatus::TooLarge},
    {"ProgressiveCmykAtPixelLimit",  // allowed pixel count, but its coefficients exceed the memory budget
     [] {
         return WithSize(
             MakeJpeg({.input = JCS_CMYK, .coded = JCS_CMYK, .hSampling = 1, .vSampling = 1, .progressive = true}),
             16384, 16384);
     },
     DecodeStatus::OverBudget},
    {"TwelveBit",
     [] {
         Bytes b = Photo();
         b[FindMarker(b, 0xC0, 0xC0) + 4] = 12;
         return b;
     },
     DecodeStatus::NotAnImage},
    {"Lossless",
     [] {
         Bytes b = Photo();
         b[FindMarker(b, 0xC0, 0xC0) + 1] = 0xC3;
         return b;
     },
     DecodeStatus::NotAnImage},
    {"Png",
     [] {
         return Png(2, 2, 0, {0, 64, 128, 255});
     },
     DecodeStatus::Ok},
    {"PngCut",
     [] {
         Bytes b = Png(64, 64, 0, Bytes(64 * 64, 9));
         return Cut(b, b.size() / 2);
     },
     DecodeStatus::Damaged},
    {"Bmp", [] { return Bmp(5, 4); }, DecodeStatus::Ok},
    {"BmpMissingRows", [] { return Cut(Bmp(5, 4), 54 + 16 * 2); }, DecodeStatus::Damaged},
    {"Gif", [] { return kGif; }, DecodeStatus::Ok},
    {"GifFrameCut", [] { return Cut(kGif, kGif.size() - 3); }, DecodeStatus::Damaged},
};

class DecodeStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(DecodeStatusTest, GivesExpectedVerdict)
{
    DecodedImage image;
    EXPECT_EQ(DecodeImage(GetParam().make(), image), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Inputs, DecodeStatusTest, ::testing::ValuesIn(kStatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- every kind of JPEG libjpeg reads -------------------------------------------------------

struct KindCase {
    const char* name;
    JpegRecipe recipe;
};

void PrintTo(const KindCase& c, std::ostream* os)
{
    *os << c.name;
}

const KindCase kKinds[] = {
    {"Baseline420", {}},
    {"Subsampled422", {.hSampling = 2, .vSampling = 1}},
    {"Full444", {.hSampling = 1, .vSampling = 1}},
    {"Progressive", {.progressive = true}},
    {"Arithmetic", {.arithmetic = true}},
    {"RestartMarkers", {.restartRows = 1}},
    {"Grey", {.input = JCS_GRAYSCALE, .coded = JCS_GRAYSCALE, .hSampling = 1, .vSampling = 1}},
    {"RgbCoded", {.coded = JCS_RGB, .hSampling = 1, .vSampling = 1}},
};

class JpegKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(JpegKindTest, DecodesToTheSamePixels)
{
    const JpegRecipe& recipe = GetParam().recipe;
    DecodedImage image;
    ASSERT_EQ(DecodeJpeg(MakeJpeg(recipe), image), DecodeStatus::Ok);
    EXPECT_EQ(image.pixels.width, recipe.width);
    EXPECT_EQ(image.pixels.height, recipe.height);
    ASSERT_EQ(image.pixels.channels, test::Components(recipe.input));  // grey stays grey
    EXPECT_LT(MeanDifference(image.pixels, test::Ramps(recipe.width, recipe.height, image.pixels.channels)), 1.5);
}

INSTANTIATE_TEST_SUITE_P(Kinds, JpegKindTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- CMYK and YCCK --------------------------------------------------------------------------

// Ink amounts (C, M, Y, K) of five 16 x 16 patches, left to right.
constexpr std::array<std::array<int, 4>, 5> kInks{
    {{0, 0, 0, 0}, {0, 0, 0, 255}, {255, 0, 0, 0}, {0, 255, 255, 0}, {0, 0, 0, 128}}};

Bytes InkPatches(bool inverted)
{
    Bytes samples;
    for (int y = 0; y < 16; ++y)
        for (const auto& ink : kInks)
            for (int x = 0; x < 16; ++x)
                for (int v : ink)
                    samples.push_back(static_cast<std::uint8_t>(inverted ? 255 - v : v));
    return samples;
}

Bytes CmykJpeg(J_COLOR_SPACE coded, bool adobe, const Bytes& icc = {})
{
    const JpegRecipe recipe{.width = 16 * static_cast<int>(kInks.size()),
                            .height = 16,
                            .input = JCS_CMYK,
                            .coded = coded,
                            .hSampling = 1,
                            .vSampling = 1,
                            .adobeMarker = adobe,
                            .quality = 100,
                            .icc = icc};
    return MakeJpeg(recipe, InkPatches(adobe));  // Adobe's convention: stored inverted
}

struct CmykCase {
    const char* name;
    J_COLOR_SPACE coded;
    bool adobe;
    Bytes icc;
};

void PrintTo(const CmykCase& c, std::ostream* os)
{
    *os << c.name;
}

class CmykTest : public ::testing::TestWithParam<CmykCase> {};

TEST_P(CmykTest, WithoutUsableProfileFollowsTheFormula)
{
    DecodedImage image;
    ASSERT_EQ(DecodeJpeg(CmykJpeg(GetParam().coded, GetParam().adobe, GetParam().icc), image), DecodeStatus::Ok);
    ASSERT_EQ(image.pixels.channels, 3);
    EXPECT_TRUE(image.icc.empty());  // the pixels are sRGB now
    for (std::size_t i = 0; i < kInks.size(); ++i) {
        const auto& ink = kInks[i];
        std::array<int, 3> rgb{};
        for (int c = 0; c < 3; ++c)
            rgb[c] = (255 - ink[c]) * (255 - ink[3]) / 255;
        ExpectPixelNear(image.pixels, static_cast<int>(i) * 16 + 8, 8, rgb, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CmykTest,
                         ::testing::Values(CmykCase{"AdobeYcck", JCS_YCCK, true, {}},
                                           CmykCase{"AdobeCmyk", JCS_CMYK, true, {}},
                                           CmykCase{"PlainCmyk", JCS_CMYK, false, {}},
                                           CmykCase{"BrokenProfile", JCS_YCCK, true, Bytes(600, 0x5A)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CmykProfileTest, EmbeddedProfileIsApplied)
{
    // A press (SWOP-like) profile as print files carry; Debian's libgs-common installs it.
    const Bytes swop = ReadFile(TRAMBLIX_CMYK_PROFILE);
    ASSERT_GT(swop.size(), 128u) << TRAMBLIX_CMYK_PROFILE;
    DecodedImage image;
    ASSERT_EQ(DecodeJpeg(CmykJpeg(JCS_YCCK, true, swop), image), DecodeStatus::Ok);
    ExpectPixelNear(image.pixels, 8, 8, {255, 255, 255}, 6);  // paper white, read the inverted way round
    const std::uint8_t* black = image.pixels.row(8) + (16 + 8) * 3;
    EXPECT_LT(*std::max_element(black, black + 3), 70);
    const std::uint8_t* cyan = image.pixels.row(8) + (32 + 8) * 3;
    EXPECT_LT(cyan[0], 90);
    EXPECT_LT(cyan[1], 200);  // printing cyan is no sRGB cyan: the formula would give 255
    EXPECT_GT(cyan[2], 170);
}

// ---- metadata and encoding ------------------------------------------------------------------

const Bytes kExif = test::ExifWithOrientation(6, true);
const Bytes kXmp = test::ToBytes(std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 41));
const Bytes kComment = test::ToBytes("made for a test");
const Bytes kIptc = test::ToBytes(std::string("Photoshop 3.0\0x", 15));

class MetadataTest : public ::testing::TestWithParam<J_COLOR_SPACE> {};

TEST_P(MetadataTest, SurvivesDecodeAndEncode)
{
    Bytes icc(150000);  // three APP2 chunks
    for (std::size_t i = 0; i < icc.size(); ++i)
        icc[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    icc = test::ShapedAsProfile(icc);
    const JpegRecipe recipe{.input = GetParam(),
                            .coded = GetParam() == JCS_RGB ? JCS_YCbCr : JCS_GRAYSCALE,
                            .markers = {{JPEG_APP0 + 1, kExif},
                                        {JPEG_APP0 + 13, kIptc},
                                        {JPEG_APP0 + 1, kXmp},
                                        {JPEG_APP0 + 2, test::ToBytes(std::string("MPF\0II*", 7))},
                                        {JPEG_COM, kComment}},
                            .icc = icc};
    const std::vector<Marker> expected{
        {JPEG_APP0 + 1, kExif}, {JPEG_APP0 + 13, kIptc}, {JPEG_APP0 + 1, kXmp}, {JPEG_COM, kComment}};

    DecodedImage first;
    ASSERT_EQ(DecodeJpeg(MakeJpeg(recipe), first), DecodeStatus::Ok);
    Bytes encoded;
    ASSERT_TRUE(EncodeJpeg(first, 80, encoded));
    DecodedImage second;
    ASSERT_EQ(DecodeJpeg(encoded, second), DecodeStatus::Ok);
    for (const DecodedImage* image : {&first, &second}) {
        EXPECT_EQ(image->pixels.channels, test::Components(GetParam()));
        EXPECT_EQ(image->icc, icc);
        ASSERT_EQ(image->markers.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(image->markers[i].code, expected[i].code);
            EXPECT_EQ(image->markers[i].bytes, expected[i].bytes);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ColourAndGrey, MetadataTest, ::testing::Values(JCS_RGB, JCS_GRAYSCALE));

class EncodeTest : public ::testing::TestWithParam<int> {};

TEST_P(EncodeTest, WritesStandardLayoutAndKeepsThePicture)
{
    const int channels = GetParam();
    DecodedImage image;
    image.pixels = Image(61, 37, channels);
    image.pixels.data = test::Ramps(61, 37, channels);
    Bytes encoded;
    ASSERT_TRUE(EncodeJpeg(image, 90, encoded));
    const test::HeaderFacts facts = test::Inspect(encoded);
    ASSERT_TRUE(facts.ok);
    EXPECT_EQ(facts.components, channels);
    EXPECT_EQ(facts.space, channels == 1 ? JCS_GRAYSCALE : JCS_YCbCr);
    EXPECT_EQ(facts.hSampling, channels == 1 ? 1 : 2);
    EXPECT_EQ(facts.vSampling, channels == 1 ? 1 : 2);
    DecodedImage decoded;
    ASSERT_EQ(DecodeJpeg(encoded, decoded), DecodeStatus::Ok);
    EXPECT_LT(MeanDifference(decoded.pixels, image.pixels.data), 2.0);
}

INSTANTIATE_TEST_SUITE_P(GreyAndColour, EncodeTest, ::testing::Values(1, 3));

TEST(EncodeMarkersTest, SegmentsThatWouldBreakTheFileAreSkipped)
{
    DecodedImage image;
    image.pixels = Image(16, 16, 3);
    image.markers = {{JPEG_APP0 + 1, Bytes(70000, 1)},
                     {JPEG_APP0, test::ToBytes(std::string("JFIF\0\1\2", 7))},
                     {JPEG_APP0 + 14, test::ToBytes("Adobe\0\0\0\0\0\0")},
                     {0xC0, Bytes(12, 0)},
                     {JPEG_COM, kComment}};
    Bytes encoded;
    ASSERT_TRUE(EncodeJpeg(image, 75, encoded));
    DecodedImage decoded;
    ASSERT_EQ(DecodeJpeg(encoded, decoded), DecodeStatus::Ok);
    ASSERT_EQ(decoded.markers.size(), 1u);
    EXPECT_EQ(decoded.markers[0].bytes, kComment);
}

TEST(EncodeMarkersTest, UnusableImagesAreRefused)
{
    std::vector<DecodedImage> images(3);
    images[0].pixels = Image(8, 8, 4);
    images[1].pixels = Image(8, 8, 3);
    images[1].pixels.data.resize(100);
    for (const DecodedImage& image : images) {
        Bytes out{1, 2, 3};
        EXPECT_FALSE(EncodeJpeg(image, 75, out));
        EXPECT_TRUE(out.empty());
    }
}

// ---- other formats --------------------------------------------------------------------------

TEST(ImageReaderTest, TransparencyIsCompositedOntoWhite)
{
    DecodedImage image;
    ASSERT_EQ(DecodeImage(Png(3, 1, 6, {255, 0, 0, 0, 0, 0, 0, 128, 0, 0, 255, 255}), image), DecodeStatus::Ok);
    ASSERT_EQ(image.pixels.channels, 3);
    ExpectPixelNear(image.pixels, 0, 0, {255, 255, 255}, 0);
    ExpectPixelNear(image.pixels, 1, 0, {127, 127, 127}, 1);
    ExpectPixelNear(image.pixels, 2, 0, {0, 0, 255}, 0);
    EXPECT_TRUE(image.markers.empty());
}

TEST(ImageReaderTest, GreyPngKeepsItsProfile)
{
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    const Bytes icc = test::Profile(cmsCreateGrayProfile(cmsD50_xyY(), gamma));
    cmsFreeToneCurve(gamma);
    DecodedImage image;
    ASSERT_EQ(DecodeImage(Png(2, 2, 0, {0, 64, 128, 255}, icc), image), DecodeStatus::Ok);
    EXPECT_EQ(image.pixels.channels, 1);
    EXPECT_EQ(image.icc, icc);
}

TEST(ImageReaderTest, SeveralThreadsDecodeAtOnce)
{
    const std::vector<Bytes> inputs{Png(40, 30, 6, Bytes(40 * 30 * 4, 77)), Bmp(33, 17), kGif, Photo()};
    std::vector<DecodedImage> reference(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        ASSERT_EQ(DecodeImage(inputs[i], reference[i]), DecodeStatus::Ok);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 10; ++round)
                for (std::size_t i = 0; i < inputs.size(); ++i) {
                    DecodedImage image;
                    if (DecodeImage(inputs[i], image) != DecodeStatus::Ok ||
                        image.pixels.data != reference[i].pixels.data)
                        ++mismatches;
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// ---- a small corpus of every kind --------------------------------------------------------------

// Every file of the tables above, odd sizes, print colours and profiles: each gets its verdict,
// and each that decodes is encoded again.
TEST(CorpusTest, EveryFileGetsItsVerdictAndOkFilesReencode)
{
    std::vector<std::pair<std::string, std::pair<Bytes, DecodeStatus>>> files;
    for (const StatusCase& c : kStatusCases)
        files.push_back({c.name, {c.make(), c.expected}});
    for (const KindCase& c : kKinds)
        files.push_back({c.name, {MakeJpeg(c.recipe), DecodeStatus::Ok}});
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 3}, {1, 300}, {17, 9}})
        files.push_back({std::to_string(w) + "x" + std::to_string(h), {MakeJpeg({.width = w, .height = h}), {}}});
    files.push_back({"Ycck", {CmykJpeg(JCS_YCCK, true), DecodeStatus::Ok}});
    files.push_back({"CmykWithProfile", {CmykJpeg(JCS_CMYK, true, ReadFile(TRAMBLIX_CMYK_PROFILE)), {}}});
    files.push_back({"BigProfile", {MakeJpeg({.icc = test::ShapedAsProfile(Bytes(150000, 7))}), {}}});
    files.push_back(
        {"SixteenBitTables",
         {MakeJpeg({.configure = [](jpeg_compress_struct& cinfo) { jpeg_set_quality(&cinfo, 1, FALSE); }}), {}}});
    for (const auto& [name, file] : files) {
        DecodedImage image;
        EXPECT_EQ(DecodeImage(file.first, image), file.second) << name;
        Bytes encoded;
        if (file.second == DecodeStatus::Ok) {
            EXPECT_TRUE(EncodeJpeg(image, 50, encoded)) << name;
        }
    }
}

}  // namespace
}  // namespace tramblix
