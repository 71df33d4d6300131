// Damaged, hostile and unusual files get the verdict and reason users see; sound ones keep their metadata.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/preview.h"

namespace tramblix {
namespace {

using test::Bytes;

std::size_t Find(const Bytes& b, std::uint8_t marker)
{
    for (std::size_t i = 2; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == marker)
            return i;
    return b.size();
}

// Noisy ramps, big enough that libjpeg-turbo's fast Huffman path would take most MCUs, with one
// bit flipped where it makes an invalid code: that path decodes it silently as zero.
Bytes NoisyWithBadHuffmanCode()
{
    Bytes samples = test::Ramps(256, 256, 3);
    unsigned seed = 1;
    for (auto& v : samples) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(v / 2 + (seed >> 25));
    }
    Bytes b = test::MakeJpeg({.width = 256, .height = 256}, samples);
    const std::size_t sos = Find(b, 0xDA);
    b[sos + 2 + (b[sos + 2] << 8 | b[sos + 3]) + 12995] ^= 0x10;
    return b;
}

// Top half ramps, bottom half black: an arithmetic encoder drops the zero bytes coding the black.
Bytes FlatBottom(bool progressive)
{
    Bytes samples = test::Ramps(64, 128, 3);
    std::fill(samples.begin() + 64 * 64 * 3, samples.end(), 0);
    return test::MakeJpeg({.width = 64, .height = 128, .progressive = progressive, .arithmetic = true}, samples);
}

// The payload length of the segment at `at` (its marker) set to `length`.
void SetSegmentLength(Bytes& b, std::size_t at, std::size_t length)
{
    b[at + 2] = static_cast<std::uint8_t>(length >> 8);
    b[at + 3] = static_cast<std::uint8_t>(length & 0xFF);
}

// The frame header's height and width.
void SetFrameSize(Bytes& b, int width, int height)
{
    std::size_t sof = Find(b, 0xC0);
    for (const std::uint8_t marker : {0xC2, 0xC9, 0xCA})
        sof = std::min(sof, Find(b, marker));
    b[sof + 5] = static_cast<std::uint8_t>(height >> 8);
    b[sof + 6] = static_cast<std::uint8_t>(height & 0xFF);
    b[sof + 7] = static_cast<std::uint8_t>(width >> 8);
    b[sof + 8] = static_cast<std::uint8_t>(width & 0xFF);
}

Bytes AdobeJpeg(J_COLOR_SPACE coded)
{
    return test::MakeJpeg({.input = JCS_CMYK, .coded = coded, .adobeMarker = 1});
}

// The Adobe segment cut from 14 bytes to 7: its transform flag falls outside.
Bytes AdobeSegmentCut(J_COLOR_SPACE coded)
{
    Bytes b = AdobeJpeg(coded);
    SetSegmentLength(b, Find(b, 0xEE), 7);
    return b;
}

// An XMP segment before the Adobe one whose length runs 7 bytes into it, as an editor that
// miscounted would write it.
Bytes YcckAdobeSwallowed()
{
    const Bytes b = AdobeJpeg(JCS_YCCK);
    const std::size_t adobe = Find(b, 0xEE);
    const std::string packet = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x:xmpmeta/>";
    Bytes xmp{0xFF, 0xE1, 0, 0};
    xmp.insert(xmp.end(), packet.begin(), packet.end());
    SetSegmentLength(xmp, 0, packet.size() + 2 + 7);
    Bytes out(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(adobe));
    out.insert(out.end(), xmp.begin(), xmp.end());
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(adobe), b.end());
    return out;
}

// Arithmetic-coded rows for a frame taller than the data.
Bytes ArithmeticHeightRaised()
{
    Bytes b = test::MakeJpeg({.width = 48, .height = 149, .arithmetic = true});
    SetFrameSize(b, 48, 213);
    return b;
}

Bytes ArithmeticTinyDataHugeFrame()
{
    Bytes b =
        test::MakeJpeg({.width = 8, .height = 8, .input = JCS_GRAYSCALE, .coded = JCS_GRAYSCALE, .arithmetic = true});
    SetFrameSize(b, 16384, 16384);
    return b;
}

// A grey progressive JPEG of 499 scans (each AC coefficient sent alone, in eight passes of
// successive approximation) whose frame claims 16384 x 16384.
Bytes Progressive499ScansHugeFrame()
{
    static std::vector<jpeg_scan_info> scans = [] {
        std::vector<jpeg_scan_info> list{{1, {0}, 0, 0, 0, 0}};
        for (int k = 1; k <= 62; ++k) {
            list.push_back({1, {0}, k, k, 0, 7});
            for (int al = 6; al >= 0; --al)
                list.push_back({1, {0}, k, k, al + 1, al});
        }
        list.push_back({1, {0}, 63, 63, 0, 1});
        list.push_back({1, {0}, 63, 63, 1, 0});
        return list;
    }();
    Bytes b = test::MakeJpeg({.width = 64,
                              .height = 64,
                              .input = JCS_GRAYSCALE,
                              .coded = JCS_GRAYSCALE,
                              .configure = [](jpeg_compress_struct& cinfo) {
                                  cinfo.scan_info = scans.data();
                                  cinfo.num_scans = static_cast<int>(scans.size());
                              }});
    SetFrameSize(b, 16384, 16384);
    return b;
}

Bytes ExtraIccChunkOneOfTwo()
{
    test::JpegRecipe recipe{.icc = test::Profile(cmsCreate_sRGBProfile())};
    recipe.markers.push_back({JPEG_APP0 + 2, test::ToBytes(std::string("ICC_PROFILE\0\1\2", 14) + "half")});
    return test::MakeJpeg(recipe);
}

struct FaultCase {
    const char* name;
    Bytes (*make)();
    CompressStatus expected;
    const char* reason;  // the start of ReasonText
    std::uint64_t workBudget = kDefaultWorkBudget;
};

void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << c.name;
}

const FaultCase kFaults[] = {
    {"YcckClean", [] { return AdobeJpeg(JCS_YCCK); }, CompressStatus::Ok, "done"},
    {"YcckAdobeSegmentSwallowed", YcckAdobeSwallowed, CompressStatus::DamagedImage,
     "damaged image data (a segment's length runs into the next segment)"},
    {"CmykAdobeSegmentCut", [] { return AdobeSegmentCut(JCS_CMYK); }, CompressStatus::DamagedImage,
     "damaged image data (the Adobe segment is too short for its colour transform)"},
    {"YcckAdobeSegmentCut", [] { return AdobeSegmentCut(JCS_YCCK); }, CompressStatus::DamagedImage,
     "damaged image data (the Adobe segment is too short for its colour transform)"},
    {"ArithmeticHeightRaised", ArithmeticHeightRaised, CompressStatus::DamagedImage,
     "damaged image data (arithmetic-coded data end before the last row)"},
    {"ArithmeticTinyDataHugeFrame", ArithmeticTinyDataHugeFrame, CompressStatus::OverMemoryBudget,
     "image too large for the memory budget (needs "},
    {"Progressive499ScansHugeFrame", Progressive499ScansHugeFrame, CompressStatus::OverMemoryBudget,
     "image too large for the memory budget"},
    {"ProgressiveTooManyScanBlocks",
     [] {
         return test::MakeJpeg({.width = 64,
                                .height = 64,
                                .input = JCS_GRAYSCALE,
                                .coded = JCS_GRAYSCALE,
                                .hSampling = 1,
                                .vSampling = 1,
                                .progressive = true});
     },
     CompressStatus::ImageTooLarge, "image too large (too many scans for its size)", 64 * 2},
    {"CutInHalf",
     [] {
         Bytes b = test::MakeJpeg({});
         b.resize(b.size() / 2);
         return b;
     },
     CompressStatus::DamagedImage, "damaged image data (Premature end of JPEG file)"},
    {"FlippedBitMakesBadHuffmanCode", NoisyWithBadHuffmanCode, CompressStatus::DamagedImage,
     "damaged image data (Corrupt JPEG data: bad Huffman code)"},
    {"ArithmeticFlatBottom", [] { return FlatBottom(false); }, CompressStatus::Ok, "done"},
    {"ArithmeticProgressiveFlatBottom", [] { return FlatBottom(true); }, CompressStatus::Ok, "done"},
    {"SequentialScanEndingAtZero",  // Se = 0 where 63 belongs: libjpeg decodes all 64 coefficients anyway
     [] {
         Bytes b = test::MakeJpeg({});
         const std::size_t sos = Find(b, 0xDA);
         b[sos + 6 + 2 * b[sos + 4]] = 0;
         return b;
     },
     CompressStatus::Ok, "done"},
    {"GifOn16000x16000Screen",
     [] {
         return Bytes{'G',  'I',  'F', '8', '9', 'a', 0x80, 0x3E, 0x80, 0x3E, 0x80, 0, 0, 0,    0, 0, 0xFF, 0xFF,
                      0xFF, 0x2C, 0,   0,   0,   0,   1,    0,    1,    0,    0,    2, 2, 0x44, 1, 0, 0x3B};
     },
     CompressStatus::OverMemoryBudget, "image too large for the memory budget"},
};

class DecodeFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DecodeFaultTest, GivesVerdictAndReason)
{
    const Bytes input = GetParam().make();
    ASSERT_FALSE(input.empty());
    EngineOptions options;
    options.workBudget = GetParam().workBudget;
    CompressOutcome outcome;
    Bytes output;
    outcome.status = CompressBuffer(input, 5, output, 5, options, &outcome.detail);
    EXPECT_EQ(outcome.status, GetParam().expected);
    EXPECT_EQ(ReasonText(outcome).rfind(GetParam().reason, 0), 0u) << ReasonText(outcome);
    EXPECT_EQ(output.empty(), outcome.status != CompressStatus::Ok);
}

INSTANTIATE_TEST_SUITE_P(Files, DecodeFaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// Cut to any length short of its transform flag, in every mode and in the display, also on
// CMYK, where libjpeg would take the colours as not inverted.
TEST(DecodeFaults, AdobeSegmentTooShortForItsTransform)
{
    for (const J_COLOR_SPACE coded : {JCS_YCCK, JCS_CMYK}) {
        const Bytes whole = test::MakeJpeg({.input = JCS_CMYK, .coded = coded, .adobeMarker = 1});
        for (std::uint8_t length = 2; length <= 14; ++length) {
            Bytes cut = whole;
            cut[Find(whole, 0xEE) + 3] = length;
            Bytes output;
            Image shown;
            EXPECT_EQ(CompressBuffer(cut, 5, output, 0) == CompressStatus::Ok, length == 14);
            EXPECT_EQ(CompressBuffer(cut, 5, output, 0, {.lossless = true}) == CompressStatus::Ok, length == 14);
            EXPECT_EQ(DecodeJpegForDisplay(cut, shown, 0, 0), length == 14) << int{length};
        }
    }
}

TEST(DecodeMetadata, KeepsDensityAndGreyProfilesDropsGainMapXmpAndStrayIccChunks)
{
    Bytes dpi300 = test::MakeJpeg({.quality = 100}), output;
    const Bytes density{1, 0x01, 0x2C, 0x01, 0x2C};  // dots per inch, 300 x 300
    std::copy(density.begin(), density.end(), dpi300.begin() + 13);
    DecodedImage image;
    ASSERT_EQ(CompressBuffer(dpi300, 10, output, 0), CompressStatus::Ok);
    ASSERT_EQ(DecodeJpeg(output, image), DecodeStatus::Ok);
    EXPECT_TRUE(image.density.unit == 1 && image.density.x == 300 && image.density.y == 300);

    test::JpegRecipe hdr;
    hdr.markers = {
        {JPEG_APP0 + 1, test::ToBytes(std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta xmlns:hdrgm=", 52) +
                                      "\"http://ns.adobe.com/hdr-gain-map/1.0/\"/>")},
        {JPEG_APP0 + 2, test::ToBytes(std::string("MPF\0MM", 6))}};
    ASSERT_EQ(DecodeJpeg(test::MakeJpeg(hdr), image), DecodeStatus::Ok);
    EXPECT_TRUE(image.markers.empty());

    ASSERT_EQ(DecodeJpeg(ExtraIccChunkOneOfTwo(), image), DecodeStatus::Ok);
    EXPECT_EQ(image.icc, test::Profile(cmsCreate_sRGBProfile()));
}

TEST(DecodeForDisplay, DecodesAScaledDownPictureOfAFrameOverThePixelLimit)
{
    Bytes huge = test::MakeJpeg({.width = 64, .height = 64});
    const std::size_t sof = Find(huge, 0xC0);
    const Bytes size{0x36, 0xB0, 0x4E, 0x20};  // 14000 high, 20000 wide
    std::copy(size.begin(), size.end(), huge.begin() + static_cast<std::ptrdiff_t>(sof) + 5);
    Image preview;
    ASSERT_TRUE(DecodeJpegForDisplay(huge, preview, 300, 200));
    EXPECT_TRUE(preview.width == 2500 && preview.height == 1750);
    Bytes output;
    EXPECT_EQ(CompressBuffer(huge, 5, output, 0), CompressStatus::ImageTooLarge);
}

}  // namespace
}  // namespace tramblix
