// Lossless rewrites and stripped metadata.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/exif.h"

using namespace tramblix;
using namespace tramblix::test;

namespace {

Bytes Engine(const Bytes& input, bool lossless, bool strip, CompressStatus expected = CompressStatus::Ok)
{
    EngineOptions options;
    options.lossless = lossless;
    options.stripMetadata = strip;
    std::vector<std::uint8_t> output;
    std::string detail;
    EXPECT_EQ(CompressBuffer(input, 5, output, 0, options, &detail), expected) << detail;
    return output;
}

const Bytes kProfile = Profile(cmsCreate_sRGBProfile());

class LosslessRewrite : public ::testing::TestWithParam<JpegRecipe> {};

// Same pixels (CMYK decodes through its Adobe segment and profile), same profile, never larger.
TEST_P(LosslessRewrite, KeepsEveryPixel)
{
    const Bytes input = MakeJpeg(GetParam()), output = Engine(input, true, false);
    EXPECT_LE(output.size(), input.size());
    DecodedImage before, after;
    ASSERT_EQ(DecodeJpeg(input, before), DecodeStatus::Ok);
    ASSERT_EQ(DecodeJpeg(output, after), DecodeStatus::Ok);
    EXPECT_EQ(after.pixels.data, before.pixels.data);
    EXPECT_EQ(Inspect(output).icc, Inspect(input).icc);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LosslessRewrite,
    ::testing::Values(
        JpegRecipe{.width = 120, .height = 72, .icc = kProfile},
        JpegRecipe{.width = 97, .height = 61, .progressive = true, .quality = 40}, JpegRecipe{.arithmetic = true},
        JpegRecipe{.hSampling = 1, .vSampling = 1, .restartRows = 1},
        JpegRecipe{.input = JCS_GRAYSCALE, .coded = JCS_GRAYSCALE},
        JpegRecipe{
            .input = JCS_CMYK, .coded = JCS_CMYK, .hSampling = 1, .vSampling = 1, .adobeMarker = 1, .icc = kProfile},
        JpegRecipe{.input = JCS_CMYK, .coded = JCS_CMYK, .hSampling = 1, .vSampling = 1, .adobeMarker = 0},
        JpegRecipe{.input = JCS_CMYK, .coded = JCS_YCCK, .adobeMarker = 1},
        // The last scan left out: libjpeg smooths blocks whose coefficients stop short of their last bits.
        JpegRecipe{.width = 160, .height = 96, .progressive = true, .configure = [](auto& c) { --c.num_scans; }}));

// A damaged file is refused, never rewritten into a clean-looking one; other formats are no JPEG.
TEST(LosslessRewrite, RefusesWhatItCannotKeep)
{
    const Bytes whole = MakeJpeg(JpegRecipe{.width = 160, .height = 160});
    Engine(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)), true, false,
           CompressStatus::DamagedImage);
    // Arithmetic data cut in the first scan: libjpeg feeds zeros up to the early marker, silently.
    const Bytes sound = MakeJpeg(JpegRecipe{.width = 160, .height = 160, .progressive = true, .arithmetic = true});
    std::vector<std::ptrdiff_t> scans;
    for (std::size_t i = 0; i + 1 < sound.size(); ++i)
        if (sound[i] == 0xFF && sound[i + 1] == 0xDA)
            scans.push_back(static_cast<std::ptrdiff_t>(i));
    ASSERT_GE(scans.size(), 2u);
    Bytes cut(sound.begin(), sound.begin() + scans[0] + 20);
    cut.insert(cut.end(), sound.begin() + scans[1], sound.end());
    Engine(cut, true, false, CompressStatus::DamagedImage);
    Engine(ToBytes("\x89PNG\r\n\x1a\n not a jpeg"), true, false, CompressStatus::NotAnImage);
}

// EXIF (with a large thumbnail-like tail), XMP, IPTC and comments go, in both modes; the profile
// and a sideways orientation stay.
TEST(StripMetadata, KeepsProfileAndOrientation)
{
    for (const bool lossless : {false, true}) {
        for (const int orientation : {1, 6}) {
            Bytes exif = ExifWithOrientation(orientation, false);
            exif.resize(exif.size() + 20000, 0x55);
            const Bytes input = MakeJpeg(
                JpegRecipe{.markers = {{JPEG_APP0 + 1, exif},
                                       {JPEG_APP0 + 1, ToBytes(std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 34))},
                                       {JPEG_APP0 + 13, ToBytes(std::string("Photoshop 3.0\0 8BIM", 19))},
                                       {JPEG_COM, ToBytes("a comment")}},
                           .icc = kProfile});
            const Bytes output = Engine(input, lossless, true);
            EXPECT_LT(output.size() + 20000, input.size());
            EXPECT_EQ(Inspect(output).icc, kProfile);
            DecodedImage decoded;
            ASSERT_EQ(DecodeJpeg(output, decoded), DecodeStatus::Ok);
            ASSERT_EQ(decoded.markers.size(), orientation == 1 ? 0u : 1u) << lossless;
            if (orientation != 1) {
                EXPECT_EQ(ExifOrientationFromApp1(decoded.markers[0].bytes), orientation);
            }
        }
    }
}

// A profile in every mode: the one whole set of chunks, whatever chunks lie beside the profile
// libjpeg writes (`whole`), or none.
struct IccCase {
    const char* name;
    std::vector<std::pair<int, Bytes>> chunks;
    Bytes whole;
    bool kept;
};

void PrintTo(const IccCase& c, std::ostream* os)
{
    *os << c.name;
}

std::pair<int, Bytes> Chunk(char number, char count, const Bytes& piece)
{
    Bytes chunk = ToBytes(std::string("ICC_PROFILE\0", 12) + number + count);
    chunk.insert(chunk.end(), piece.begin(), piece.end());
    return {JPEG_APP0 + 2, chunk};
}

class IccChunks : public ::testing::TestWithParam<IccCase> {};

TEST_P(IccChunks, WholeProfileOrNone)
{
    const Bytes input = MakeJpeg(
        JpegRecipe{.width = 160, .height = 96, .quality = 100, .markers = GetParam().chunks, .icc = GetParam().whole});
    for (const bool lossless : {false, true})
        for (const bool strip : {false, true})
            EXPECT_EQ(Inspect(Engine(input, lossless, strip)).icc, GetParam().kept ? kProfile : Bytes());
    Bytes stripped;
    ASSERT_TRUE(StripJpegFile(input, stripped));
    EXPECT_EQ(Inspect(stripped).icc, GetParam().kept ? kProfile : Bytes());
}

INSTANTIATE_TEST_SUITE_P(
    Sets, IccChunks,
    ::testing::Values(IccCase{"StrayChunkOneOfTwo", {Chunk(1, 2, ToBytes("half"))}, kProfile, true},
                      IccCase{"DuplicateChunk", {Chunk(1, 1, kProfile)}, kProfile, true},
                      IccCase{"CutBy7", {}, Bytes(kProfile.begin(), kProfile.end() - 7), false},
                      IccCase{"CountZero", {Chunk(1, 0, kProfile)}, {}, false},
                      IccCase{"TwoProfiles", {Chunk(1, 1, Profile(cmsCreateLab4Profile(nullptr)))}, kProfile, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A JPEG kept as it is under --strip decodes without a warning: stray bytes between header
// segments, a JFIF version 2 and a sequential scan's spectral end of 0 are set right.
TEST(StripMetadata, CopyIsACleanJpeg)
{
    const Bytes sound = MakeJpeg(JpegRecipe{});
    Bytes stray = sound, jfif2 = sound, se0 = sound;
    stray.insert(stray.begin() + 20, {'h', 'e', 'l', 'l', 'o'});  // after JFIF, before the tables
    jfif2[11] = 2;
    const std::uint8_t sos[] = {0xFF, 0xDA};
    const auto scan = std::search(se0.begin(), se0.end(), std::begin(sos), std::end(sos));
    scan[6 + 2 * scan[4]] = 0;
    for (const Bytes& input : {stray, jfif2, se0}) {
        Bytes stripped;
        Pixels before, after;
        ASSERT_TRUE(StripJpegFile(input, stripped));
        ASSERT_TRUE(DecodeWithLibjpeg(input, before) && DecodeWithLibjpeg(stripped, after));
        EXPECT_EQ(after.warnings, 0);
        EXPECT_EQ(after.samples, before.samples);
    }
}

// When re-encoding saves nothing the output is the input's own coded data, still without its
// metadata: a Huffman rewrite of arithmetic coding is larger, and so is a level 5 encode of quality 10.
TEST(StripMetadata, AlsoWhenTheInputIsKept)
{
    for (const bool lossless : {false, true}) {
        const Bytes input = MakeJpeg(
            JpegRecipe{.width = 160,
                       .height = 96,
                       .arithmetic = lossless,
                       .quality = lossless ? 95 : 10,
                       .markers = {{JPEG_APP0 + 1, ExifWithOrientation(6, true)}, {JPEG_COM, ToBytes("a comment")}}});
        const Bytes output = Engine(input, lossless, true);
        EXPECT_LT(output.size(), input.size());
        DecodedImage before, after;
        ASSERT_EQ(DecodeJpeg(input, before), DecodeStatus::Ok);
        ASSERT_EQ(DecodeJpeg(output, after), DecodeStatus::Ok);
        EXPECT_EQ(after.pixels.data, before.pixels.data) << lossless;
        ASSERT_EQ(after.markers.size(), 1u) << lossless;
        EXPECT_EQ(ExifOrientationFromApp1(after.markers[0].bytes), 6);
    }
}

}  // namespace
