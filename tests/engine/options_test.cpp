// Lossless rewrites, stripped metadata and kept file dates.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/exif.h"
#include "engine/file_io.h"

namespace fs = std::filesystem;
using namespace tramblix;
using namespace tramblix::test;

namespace {

// Every quantised DCT coefficient of every component, plus the quantisation tables they use and
// whether libjpeg saw an Adobe segment (which decides how CMYK is read).
struct Coefficients {
    bool ok = false;
    bool adobe = false;
    std::vector<JCOEF> values;
    std::vector<UINT16> tables;
};

bool ReadAllCoefficients(const Bytes& jpeg, Coefficients& out)
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
    jpeg_read_header(&cinfo, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
    out.adobe = cinfo.saw_Adobe_marker;
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info& component = cinfo.comp_info[c];
        const JQUANT_TBL* table = cinfo.quant_tbl_ptrs[component.quant_tbl_no];
        out.tables.insert(out.tables.end(), table->quantval, table->quantval + DCTSIZE2);
        for (JDIMENSION row = 0; row < component.height_in_blocks; ++row) {
            JBLOCKARRAY blocks = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                                  arrays[c], row, 1, FALSE);
            for (JDIMENSION col = 0; col < component.width_in_blocks; ++col)
                out.values.insert(out.values.end(), blocks[0][col], blocks[0][col] + DCTSIZE2);
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

Coefficients CoefficientsOf(const Bytes& jpeg)
{
    Coefficients result;
    result.ok = ReadAllCoefficients(jpeg, result);
    return result;
}

// The APPn and COM segments of a JPEG before its first scan: code and payload.
std::vector<std::pair<int, Bytes>> Segments(const Bytes& jpeg)
{
    std::vector<std::pair<int, Bytes>> segments;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const int code = jpeg[at + 1];
        const std::size_t length = static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if ((code >= 0xE0 && code <= 0xEF) || code == 0xFE)
            segments.emplace_back(code, Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                              jpeg.begin() + static_cast<std::ptrdiff_t>(at + 2 + length)));
        at += 2 + length;
    }
    return segments;
}

Bytes Noise(int width, int height, int channels)
{
    Bytes samples = Ramps(width, height, channels);
    std::uint32_t state = 12345;
    for (std::uint8_t& sample : samples) {
        state = state * 1103515245u + 12345u;
        sample = static_cast<std::uint8_t>(std::clamp(sample + static_cast<int>(state >> 27) - 16, 0, 255));
    }
    return samples;
}

Bytes Lossless(const Bytes& input, CompressStatus expected = CompressStatus::Ok, bool strip = false)
{
    EngineOptions options;
    options.lossless = true;
    options.stripMetadata = strip;
    std::vector<std::uint8_t> output;
    std::string detail;
    EXPECT_EQ(CompressBuffer(input, 5, output, 0, options, &detail), expected) << detail;
    return output;
}

struct LosslessCase {
    const char* name;
    JpegRecipe recipe;
};

class LosslessRewrite : public ::testing::TestWithParam<LosslessCase> {};

// The coefficients, tables, colour space, Adobe segment and profile stay; the file never grows.
TEST_P(LosslessRewrite, KeepsEveryCoefficient)
{
    JpegRecipe recipe = GetParam().recipe;
    const Bytes input =
        MakeJpeg(recipe, Noise(recipe.width, recipe.height, Components(recipe.input)));
    ASSERT_FALSE(input.empty());
    const Bytes output = Lossless(input);
    EXPECT_LE(output.size(), input.size());
    const Coefficients before = CoefficientsOf(input), after = CoefficientsOf(output);
    ASSERT_TRUE(before.ok && after.ok);
    EXPECT_EQ(after.values, before.values);
    EXPECT_EQ(after.tables, before.tables);
    EXPECT_EQ(after.adobe, before.adobe);
    const HeaderFacts in = Inspect(input), out = Inspect(output);
    EXPECT_EQ(out.space, in.space);
    EXPECT_EQ(out.hSampling, in.hSampling);
    EXPECT_EQ(out.icc, in.icc);
}

Bytes SomeProfile()
{
    return Profile(cmsCreate_sRGBProfile());
}

INSTANTIATE_TEST_SUITE_P(
    Files, LosslessRewrite,
    ::testing::Values(
        LosslessCase{"Baseline420", {.width = 120, .height = 72, .quality = 95, .icc = SomeProfile()}},
        LosslessCase{"ProgressiveLowQuality", {.width = 97, .height = 61, .progressive = true, .quality = 40}},
        LosslessCase{"Arithmetic", {.width = 64, .height = 48, .arithmetic = true}},
        LosslessCase{"RestartsAnd444", {.width = 80, .height = 40, .hSampling = 1, .vSampling = 1, .restartRows = 1}},
        LosslessCase{"Grey", {.width = 50, .height = 50, .input = JCS_GRAYSCALE, .coded = JCS_GRAYSCALE}},
        LosslessCase{"AdobeCmyk",
                     {.input = JCS_CMYK, .coded = JCS_CMYK, .hSampling = 1, .vSampling = 1, .adobeMarker = 1,
                      .icc = SomeProfile()}},
        LosslessCase{"CmykWithoutAdobe",
                     {.input = JCS_CMYK, .coded = JCS_CMYK, .hSampling = 1, .vSampling = 1, .adobeMarker = 0}},
        LosslessCase{"Ycck", {.input = JCS_CMYK, .coded = JCS_YCCK, .adobeMarker = 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// Real photos: every coefficient kept, the sum of the outputs no larger than the inputs.
TEST(LosslessRewrite, CorpusPhotos)
{
    const fs::path photos = fs::path(TRAMBLIX_CORPUS_DIR) / "photos";
    if (!fs::is_directory(photos))
        GTEST_SKIP() << "no corpus at " << photos;
    for (const auto& entry : fs::directory_iterator(photos)) {
        std::vector<std::uint8_t> input;
        ASSERT_EQ(ReadWholeFile(entry.path(), input), ReadStatus::Ok);
        const Bytes output = Lossless(input);
        EXPECT_LE(output.size(), input.size()) << entry.path();
        EXPECT_EQ(CoefficientsOf(output).values, CoefficientsOf(input).values) << entry.path();
    }
}

// A damaged file is refused, never rewritten into a clean-looking one; other formats are not JPEG.
TEST(LosslessRewrite, RefusesWhatItCannotKeep)
{
    const JpegRecipe noisy{.width = 160, .height = 160, .quality = 95};
    const Bytes whole = MakeJpeg(noisy, Noise(160, 160, 3));
    Lossless(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)),
             CompressStatus::DamagedImage);

    // Arithmetic data cut short inside the first scan: the next scan's marker comes early and
    // libjpeg feeds zeros without a warning.
    const JpegRecipe arithmetic{.width = 160, .height = 160, .progressive = true, .arithmetic = true, .quality = 95};
    const Bytes sound = MakeJpeg(arithmetic, Noise(160, 160, 3));
    std::vector<std::size_t> scans;
    for (std::size_t i = 0; i + 1 < sound.size(); ++i)
        if (sound[i] == 0xFF && sound[i + 1] == 0xDA)
            scans.push_back(i);
    ASSERT_GE(scans.size(), 2u);
    Bytes cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(scans[0] + 20));
    cut.insert(cut.end(), sound.begin() + static_cast<std::ptrdiff_t>(scans[1]), sound.end());
    Lossless(cut, CompressStatus::DamagedImage);

    Lossless(ToBytes("\x89PNG\r\n\x1a\n not a jpeg at all"), CompressStatus::NotAnImage);
}

struct StripCase {
    bool lossless;
    int orientation;
};

class StripMetadataTest : public ::testing::TestWithParam<StripCase> {};

// EXIF (with a large thumbnail-like tail), XMP, IPTC and comments go; the profile and a
// sideways orientation stay.
TEST_P(StripMetadataTest, KeepsProfileAndOrientation)
{
    const auto [lossless, orientation] = GetParam();
    Bytes exif = ExifWithOrientation(orientation, false);
    exif.resize(exif.size() + 20000, 0x55);
    const Bytes icc = SomeProfile();
    const JpegRecipe recipe{.width = 64,
                            .height = 48,
                            .markers = {{JPEG_APP0 + 1, exif},
                                        {JPEG_APP0 + 1, ToBytes(std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 34))},
                                        {JPEG_APP0 + 13, ToBytes(std::string("Photoshop 3.0\0 8BIM", 19))},
                                        {JPEG_COM, ToBytes("a comment")}},
                            .icc = icc};
    const Bytes input = MakeJpeg(recipe);
    EngineOptions options;
    options.lossless = lossless;
    options.stripMetadata = true;
    std::vector<std::uint8_t> output;
    ASSERT_EQ(CompressBuffer(input, 5, output, 0, options), CompressStatus::Ok);
    EXPECT_LT(output.size() + 20000, input.size());
    EXPECT_EQ(Inspect(output).icc, icc);
    int exifSegments = 0;
    for (const auto& [code, payload] : Segments(output)) {
        EXPECT_NE(code, JPEG_COM);
        EXPECT_NE(code, JPEG_APP0 + 13);
        if (code == JPEG_APP0 + 1) {
            ++exifSegments;
            EXPECT_EQ(ExifOrientationFromApp1(payload), orientation);
        }
    }
    EXPECT_EQ(exifSegments, orientation == 1 ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, StripMetadataTest,
                         ::testing::Values(StripCase{false, 1}, StripCase{false, 6}, StripCase{true, 1},
                                           StripCase{true, 8}));

// The output gets the input's times only when asked.
TEST(KeepFileDates, OutputTakesTheInputsTimes)
{
    const fs::path dir = fs::temp_directory_path() / ("tramblix-dates-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Bytes input = MakeJpeg(JpegRecipe{.width = 64, .height = 64});
    std::ofstream(dir / "in.jpg", std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    const timespec old[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    for (const bool keep : {false, true}) {
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "in.jpg").c_str(), old, 0), 0);  // a read may move atime
        EngineOptions options;
        options.keepFileDates = keep;
        ASSERT_EQ(CompressFile(dir / "in.jpg", dir / "out.jpg", 5, 0, options).status, CompressStatus::Ok);
        FileTimes times;
        ASSERT_TRUE(FileTimesOf(dir / "out.jpg", times));
        EXPECT_EQ(times.modifySeconds == 1100000000 && times.modifyNanoseconds == 987654321, keep);
        EXPECT_EQ(times.accessSeconds == 1000000000 && times.accessNanoseconds == 123456789, keep);
    }
    fs::remove_all(dir);
}

}  // namespace
