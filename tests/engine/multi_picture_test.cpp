#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/compress.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/multi_picture_files.h"

using namespace tramblix;
using namespace tramblix::test;

namespace {

Bytes Primary()
{
    return MakeJpeg(JpegRecipe{.width = 160, .height = 120, .quality = 97});
}

Bytes GreyGainMap()
{
    return MakeJpeg(JpegRecipe{.width = 40,
                               .height = 30,
                               .input = JCS_GRAYSCALE,
                               .coded = JCS_GRAYSCALE,
                               .hSampling = 1,
                               .vSampling = 1,
                               .quality = 98});
}

struct Mode {
    const char* name;
    int level;
    Encoder encoder;
    bool lossless;
    bool strip;
    bool littleEndian;
};

void PrintTo(const Mode& mode, std::ostream* os)
{
    *os << mode.name;
}

class GainMapKept : public ::testing::TestWithParam<Mode> {};

// The index, the Container length and the gain map's own XMP all describe the bytes written,
// and the gain map is still a clean grey JPEG, in every mode that keeps it.
TEST_P(GainMapKept, EveryOffsetPointsAtTheRightBytes)
{
    const Mode mode = GetParam();
    const Bytes input = MakeGainMapPhoto(Primary(), GreyGainMap(), mode.littleEndian).bytes;
    EngineOptions options;
    options.encoder = mode.encoder;
    options.lossless = mode.lossless;
    options.stripMetadata = mode.strip;
    Bytes output;
    std::string note;
    ASSERT_EQ(CompressBuffer(input, mode.level, output, 0, options, nullptr, nullptr, &note), CompressStatus::Ok);
    EXPECT_LT(output.size(), input.size());
    EXPECT_EQ(note, "HDR gain map kept");

    std::vector<Bytes> images;
    ASSERT_EQ(CheckMpfIndex(output, &images), "");
    ASSERT_EQ(images.size(), 1u);
    Pixels gainMap;
    ASSERT_TRUE(DecodeWithLibjpeg(images[0], gainMap));
    EXPECT_EQ(gainMap.components, 1);
    EXPECT_EQ(gainMap.warnings, 0);
    EXPECT_EQ(output.size(), FirstJpegLength(output) + images[0].size());
    EXPECT_TRUE(Contains(images[0], "hdrgm:GainMapMax=\"2.5\""));

    const std::string xmp = MainXmp(output);
    EXPECT_NE(xmp.find("Item:Length=\"" + std::to_string(images[0].size()) + "\""), std::string::npos) << xmp;
    EXPECT_NE(xmp.find("hdrgm:Version=\"1.0\""), std::string::npos);
    EXPECT_EQ(xmp.find("xmp:Rating"), mode.strip ? std::string::npos : xmp.find("xmp:Rating=\"5\"")) << xmp;
}

INSTANTIATE_TEST_SUITE_P(Modes, GainMapKept,
                         ::testing::Values(Mode{"Level1", 1, Encoder::Standard, false, false, false},
                                           Mode{"Level10Efficient", 10, Encoder::Efficient, false, false, true},
                                           Mode{"Level5Strip", 5, Encoder::Standard, false, true, false},
                                           Mode{"Lossless", 5, Encoder::Standard, true, false, true},
                                           Mode{"LosslessStrip", 5, Encoder::Standard, true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

class MotionVideoKept : public ::testing::TestWithParam<bool> {};

// The video comes back byte for byte where the XMP of the output says it is.
TEST_P(MotionVideoKept, AtThePlaceItsXmpGives)
{
    const bool microVideo = GetParam();
    const Bytes video = FakeVideo(20000);
    const Bytes input = MakeMotionPhoto(Primary(), video, microVideo).bytes;
    for (const bool strip : {false, true}) {
        EngineOptions options;
        options.stripMetadata = strip;
        Bytes output;
        std::string note;
        ASSERT_EQ(CompressBuffer(input, 5, output, 0, options, nullptr, nullptr, &note), CompressStatus::Ok);
        EXPECT_LT(output.size(), input.size());
        EXPECT_EQ(note, "motion video kept");
        const std::string xmp = MainXmp(output);
        const std::string field = microVideo ? "GCamera:MicroVideoOffset=\"" : "Item:Length=\"";
        const std::size_t at = xmp.rfind(field);
        ASSERT_NE(at, std::string::npos) << xmp;
        const std::size_t size = std::stoul(xmp.substr(at + field.size()));
        ASSERT_EQ(size, video.size());
        EXPECT_TRUE(std::equal(video.begin(), video.end(), output.end() - static_cast<std::ptrdiff_t>(size)));
        EXPECT_EQ(FirstJpegLength(output), output.size() - size);
    }
}

INSTANTIATE_TEST_SUITE_P(Locators, MotionVideoKept, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MicroVideoOffset" : "ContainerItem"; });

// On purpose: the main picture alone, with no XMP left that would locate what is gone.
TEST(PrimaryOnly, DropsTheExtrasAndWhatLocatesThem)
{
    for (const PhonePhoto& photo :
         {MakeGainMapPhoto(Primary(), GreyGainMap(), false), MakeMotionPhoto(Primary(), FakeVideo(5000), true)}) {
        EngineOptions options;
        options.primaryOnly = true;
        Bytes output;
        std::string note;
        ASSERT_EQ(CompressBuffer(photo.bytes, 5, output, 0, options, nullptr, nullptr, &note), CompressStatus::Ok);
        EXPECT_EQ(FirstJpegLength(output), output.size());
        EXPECT_FALSE(Contains(output, std::string("MPF\0", 4)));
        EXPECT_FALSE(Contains(output, "Container:Directory"));
        EXPECT_FALSE(Contains(output, "MicroVideoOffset"));
        EXPECT_TRUE(note.ends_with(" dropped")) << note;
    }
}

}  // namespace
