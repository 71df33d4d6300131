#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/compress.h"
#include "engine/multi_picture.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/multi_picture_files.h"

using namespace tramblix;
using namespace tramblix::test;

namespace {

const Bytes kPrimary = MakeJpeg(JpegRecipe{.width = 160, .height = 120, .quality = 97});
const Bytes kGreyGainMap = MakeJpeg(JpegRecipe{
    .width = 40, .height = 30, .input = JCS_GRAYSCALE, .coded = JCS_GRAYSCALE, .hSampling = 1, .vSampling = 1});
const std::string kIso("urn:iso:std:iso:ts:21496:-1\0", 28);

struct Mode {
    const char* name;
    int level;
    Encoder encoder;
    bool lossless, strip, littleEndian;
};

void PrintTo(const Mode& c, std::ostream* os)
{
    *os << c.name;
}

const auto PrimaryText = [](const Bytes& file) {
    return std::string(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(JpegLength(file)));
};

std::string Compress(const Bytes& input, int level, const EngineOptions& options, Bytes& output)
{
    std::string note;
    EXPECT_EQ(CompressBuffer(input, level, output, 0, options, nullptr, nullptr, &note), CompressStatus::Ok);
    return note;
}

class GainMapKept : public ::testing::TestWithParam<Mode> {};

// The index, the Container length and the gain map's own segments all describe the bytes
// written, and the gain map is still a clean grey JPEG, in every mode.
TEST_P(GainMapKept, EveryOffsetPointsAtTheRightBytes)
{
    const Mode mode = GetParam();
    const Bytes input = MakeGainMapPhoto(kPrimary, kGreyGainMap, mode.littleEndian);
    EngineOptions options{.encoder = mode.encoder, .lossless = mode.lossless, .stripMetadata = mode.strip};
    Bytes output;
    EXPECT_EQ(Compress(input, mode.level, options, output), "HDR gain map kept");
    EXPECT_LT(output.size(), input.size());

    std::vector<Bytes> images;
    ASSERT_EQ(CheckMpfIndex(output, &images), "");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(output.size(), JpegLength(output) + images[0].size());
    Pixels gainMap;
    ASSERT_TRUE(DecodeWithLibjpeg(images[0], gainMap));
    EXPECT_TRUE(gainMap.components == 1 && gainMap.warnings == 0);
    EXPECT_TRUE(Contains(images[0], "hdrgm:GainMapMax=\"2.5\"") && Contains(images[0], kIso));

    const std::string primary = PrimaryText(output);
    for (const std::string& kept :
         {"Item:Length=\"" + std::to_string(images[0].size()) + "\"", kIso, std::string("hdrgm:Version=\"1.0\"")})
        EXPECT_NE(primary.find(kept), std::string::npos) << kept;
    EXPECT_EQ(primary.find("xmp:Rating=\"5\"") == std::string::npos, mode.strip);
}

INSTANTIATE_TEST_SUITE_P(Modes, GainMapKept,
                         ::testing::Values(Mode{"Level1", 1, Encoder::Standard, false, false, false},
                                           Mode{"Level10Efficient", 10, Encoder::Efficient, false, false, true},
                                           Mode{"Level5Strip", 5, Encoder::Standard, false, true, false},
                                           Mode{"Lossless", 5, Encoder::Standard, true, false, true},
                                           Mode{"LosslessStrip", 5, Encoder::Standard, true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --strip-gps leaves no location in the main XMP (which the index is written into) nor in the gain
// map, also when the photo cannot be made smaller and the input is kept; --keep=none leaves the
// main picture only what locates the gain map.
TEST(GainMapPhoto, NoLocationLeftWhenAskedAnywhere)
{
    const Bytes input = MakeGainMapPhoto(kPrimary, kGreyGainMap, false,
                                         "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:GPSLatitude=\"48,51.5N\"");
    for (const EngineOptions& options :
         {EngineOptions{.stripGps = true}, EngineOptions{.stripGps = true, .minSaving = 0.99},
          EngineOptions{.keepMetadata = 0}}) {
        Bytes output;
        EXPECT_EQ(Compress(input, 5, options, output), "HDR gain map kept");
        EXPECT_EQ(PrimaryText(output).find("GPSLatitude"), std::string::npos);
        EXPECT_FALSE(options.stripGps && Contains(output, "GPSLatitude"));
        EXPECT_EQ(CheckMpfIndex(output), "");
        EXPECT_EQ(PrimaryText(output).find("xmp:Rating=\"5\"") != std::string::npos, options.stripGps);
    }
}

// A motion photo's video comes back byte for byte where the output's XMP says, stripped or not;
// --primary-only leaves the main picture alone, with nothing that would locate what is gone.
TEST(MotionVideo, KeptWhereItsXmpSaysOrDroppedOnPurpose)
{
    const Bytes video = FakeVideo(20000);
    for (const bool microVideo : {false, true}) {
        const Bytes input = MakeMotionPhoto(kPrimary, video, microVideo);
        for (const bool strip : {false, true}) {
            Bytes output;
            EXPECT_EQ(Compress(input, 5, EngineOptions{.stripMetadata = strip}, output), "motion video kept");
            const std::string field = microVideo ? "GCamera:MicroVideoOffset=\"" : "Item:Length=\"";
            const std::string primary = PrimaryText(output);
            ASSERT_NE(primary.rfind(field), std::string::npos) << primary;
            EXPECT_EQ(std::stoul(primary.substr(primary.rfind(field) + field.size())), video.size());
            EXPECT_EQ(primary.size() + video.size(), output.size());
            EXPECT_TRUE(std::equal(video.begin(), video.end(), output.begin() + std::ssize(primary)));
        }
        Bytes output;
        EXPECT_EQ(Compress(input, 5, EngineOptions{.primaryOnly = true}, output), "motion video dropped");
        EXPECT_EQ(JpegLength(output), output.size());
        EXPECT_FALSE(Contains(output, "Container:Directory") || Contains(output, "MicroVideoOffset"));
    }
}

}  // namespace
