#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/compress.h"
#include "engine/multi_picture.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/location_files.h"
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
// map's XMP or EXIF, also when the photo cannot be made smaller and the input is kept; --keep=none
// and --strip leave the main picture only what locates the gain map, and the gain map no location.
TEST(GainMapPhoto, NoLocationLeftWhenAskedAnywhere)
{
    const std::string exif = ExifPayload("ExifIfd", false);  // its own GPS
    const Bytes gainMap = MakeJpeg({.width = 40, .height = 30, .markers = {{0xE1, {exif.begin(), exif.end()}}}});
    const Bytes input = MakeGainMapPhoto(kPrimary, gainMap, false,
                                         "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:GPSLatitude=\"48,51.5N\"");
    for (const EngineOptions& options :
         {EngineOptions{.stripGps = true}, EngineOptions{.stripGps = true, .minSaving = 0.99},
          EngineOptions{.keepMetadata = 0}, EngineOptions{.stripMetadata = true, .minSaving = 0.99}}) {
        Bytes output;
        EXPECT_EQ(Compress(input, 5, options, output), "HDR gain map kept");
        EXPECT_FALSE(Contains(output, "GPSLatitude") || Contains(output, std::string(8, '\xAB')));
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
        EXPECT_TRUE(Contains(output, "xmp:Rating=\"5\""));  // the rest of the XMP stays
    }
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
const auto First = [](const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + std::ptrdiff_t(n)); };
const auto Last = [](const Bytes& b, std::size_t n) { return Bytes(b.end() - std::ptrdiff_t(n), b.end()); };
const auto Le32 = [](std::size_t v) { return Bytes{std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), 0}; };

// A Samsung-style trailer holding `video`: its record, the SEFH directory, its size and SEFT.
Bytes SefTrailer(const Bytes& video)
{
    const std::string name = "MotionPhoto_Data";
    const Bytes kind{0, 0, 0x30, 0x0A}, record = Cat({kind, Le32(name.size()), {name.begin(), name.end()}, video});
    const Bytes directory =
        Cat({{'S', 'E', 'F', 'H'}, Le32(106), Le32(1), kind, Le32(record.size()), Le32(record.size())});
    return Cat({record, directory, Le32(directory.size()), {'S', 'E', 'F', 'T'}});
}

// Extras a little away from where their index says are kept byte for byte and stated right in the
// output; farther or ambiguous ones are not, nor unindexed junk; trailers and unindexed media are.
TEST(PictureExtrasFound, WithinReachOfTheirIndexOrNotAtAll)
{
    const Bytes video = FakeVideo(20000), trailer = SefTrailer(video),
                hdr = MakeGainMapPhoto(kPrimary, kGreyGainMap, true);
    const std::size_t map = hdr.size() - JpegLength(hdr);
    const std::string dropped = "motion video dropped: ", kept = "motion video kept";
    const struct {
        const char* name;
        Bytes file;
        std::string note;
        std::size_t kept;  // the input's last bytes the output ends with, its index stating them exactly
    } tails[] = {
        {"LengthOneLong", MakeMotionPhoto(kPrimary, video, false, 1), kept, video.size()},
        {"LengthAtTheReach", MakeMotionPhoto(kPrimary, video, false, 1024), kept, video.size()},
        {"LengthPastTheReach", MakeMotionPhoto(kPrimary, video, false, 1025),
         dropped + "its index points into the main picture", 0},
        {"OffsetThreeShort", MakeMotionPhoto(kPrimary, video, true, -3), kept, video.size()},
        {"TwoVideosWithinReach", MakeMotionPhoto(kPrimary, Cat({FakeVideo(24), video}), false, -23),
         dropped + "its index matches more than one place", 0},
        {"GainMapPastASegment", Cat({First(hdr, hdr.size() - map), Bytes(100, 0), Last(hdr, map)}), "HDR gain map kept",
         map},
        {"SamsungTrailer", Cat({kPrimary, trailer}), kept, trailer.size()},
        {"TruncatedTrailer", Cat({kPrimary, First(trailer, trailer.size() - 5)}), kept, trailer.size() - 5},
        {"UnindexedVideo", Cat({kPrimary, video}), kept, video.size()},
        {"Junk", Cat({kPrimary, Bytes(5000, 0)}), "", 0},
        {"GainMapThenTrailer", Cat({hdr, trailer}), "gain map and motion video dropped: it is not a JPEG", 0},
    };
    for (const auto& tail : tails) {
        Bytes output;
        EXPECT_EQ(Compress(tail.file, 5, {}, output), tail.note) << tail.name;
        EXPECT_TRUE(Last(output, tail.kept) == Last(tail.file, tail.kept)) << tail.name;
        const std::vector<ExtraItem> found = FindPictureExtras(output).items;
        EXPECT_TRUE(found.empty() ? tail.kept == 0 : found.back().size == tail.kept && !found.back().moved)
            << tail.name;
    }
}

// A motion video's own location goes with --strip-gps, --strip and --keep=none, blanked where it
// lies however the video writes it (nothing moves); a --keep with EXIF keeps it; a video that
// cannot be walked fails the file rather than keep it.
TEST(MotionVideo, LosesItsLocationInPlaceWhenAsked)
{
    for (const std::string how :
         {"Udta", "Track", "Loci", "Keys", "ItunesMeta", "Xmp", "LargeMdat", "InTrailer", "Clean"}) {
        const std::string mp4 = Mp4(how);
        const Bytes video(mp4.begin(), mp4.end()), input = MakeMotionPhoto(kPrimary, video, how == "Xmp");
        for (const EngineOptions& options :
             {EngineOptions{.stripGps = true}, EngineOptions{.stripMetadata = true}, EngineOptions{.keepMetadata = 0},
              EngineOptions{.keepMetadata = kMetadataExif}}) {
            Bytes output;
            EXPECT_EQ(Compress(input, 5, options, output), "motion video kept");
            EXPECT_EQ(Contains(output, "+48.8584") || Contains(output, "48,51N") || Contains(output, "Paris"),
                      options.keepMetadata == kMetadataExif && how != "Clean")
                << how;
            EXPECT_EQ(Contains(output, "kept"), Contains(video, "kept")) << how;
            EXPECT_EQ(output.size() - JpegLength(output), video.size());
        }
    }
    const std::string cut = Mp4("Broken");
    Bytes output;
    std::string detail;
    EXPECT_EQ(CompressBuffer(MakeMotionPhoto(kPrimary, {cut.begin(), cut.end()}, true), 5, output, 0,
                             EngineOptions{.stripGps = true}, &detail),
              CompressStatus::DamagedImage);
    EXPECT_EQ(detail, "its motion video cannot be read to remove its location");
}

}  // namespace
