// --keep and --strip-gps at the level of segments: what goes, what stays, and that location data
// is wiped, not only unlinked.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "engine/exif.h"
#include "engine/file_io.h"
#include "engine/file_modes.h"
#include "engine/metadata_filter.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/scratch_dir.h"

using namespace tramblix;

namespace {

// Big-endian EXIF: IFD0 with the orientation 6, a GPS link and Make "NIKON"; the GPS directory
// holds one latitude (3 rationals) whose bytes are 0xAB.
std::vector<std::uint8_t> ExifWithGps()
{
    std::vector<std::uint8_t> tiff = {'M',  'M',  0,   42,  0,   0, 0, 8, 0, 3,         // 3 entries
                                      0x01, 0x12, 0,   3,   0,   0, 0, 1, 0, 6, 0, 0,   // orientation
                                      0x88, 0x25, 0,   4,   0,   0, 0, 1, 0, 0, 0, 56,  // GPS at 56
                                      0x01, 0x0F, 0,   2,   0,   0, 0, 6, 0, 0, 0, 50,  // Make at 50
                                      0,    0,    0,   0,                               // no next IFD
                                      'N',  'I',  'K', 'O', 'N', 0,                     // 50
                                      0,    1,                                          // 56: 1 entry
                                      0,    2,    0,   5,   0,   0, 0, 3, 0, 0, 0, 74,  // latitude at 74
                                      0,    0,    0,   0};                              // 70
    tiff.resize(74, 0);
    tiff.insert(tiff.end(), 24, 0xAB);
    std::vector<std::uint8_t> payload(6 + tiff.size(), 0);
    std::copy_n("Exif", 4, payload.begin());
    std::copy(tiff.begin(), tiff.end(), payload.begin() + 6);
    return payload;
}

TEST(MetadataFilter, GpsIsWipedAndUnlinkedTheRestStays)
{
    std::vector<std::uint8_t> payload = ExifWithGps();
    const std::size_t size = payload.size();
    WipeExifGps(payload);
    EXPECT_EQ(payload.size(), size);
    EXPECT_EQ(std::count(payload.begin(), payload.end(), 0xAB), 0);
    EXPECT_EQ(payload[6 + 9], 2);  // two entries left in IFD0
    EXPECT_EQ(ExifOrientationFromApp1(payload), 6);
    const std::string text(payload.begin(), payload.end());
    EXPECT_NE(text.find("NIKON"), std::string::npos);
    EXPECT_EQ(text.find("\x88\x25"), std::string::npos);
}

TEST(MetadataFilter, XmpLosesLocationAsAttributeAndElement)
{
    const std::string head = std::string("http://ns.adobe.com/xap/1.0/") + '\0';
    const std::string xml =
        "<rdf:Description dc:format=\"image/jpeg\" exif:GPSLatitude=\"1,2N\"\n photoshop:City='Paris'>"
        "<exif:GPSLongitude>3,4E</exif:GPSLongitude><Iptc4xmpExt:LocationShown><rdf:Bag/></Iptc4xmpExt:LocationShown>"
        "<exif:GPSAltitude/><dc:title>Trip</dc:title></rdf:Description>";
    std::vector<std::uint8_t> payload(head.begin(), head.end());
    payload.insert(payload.end(), xml.begin(), xml.end());
    RemoveXmpLocation(payload);
    EXPECT_EQ(std::string(payload.begin() + static_cast<std::ptrdiff_t>(head.size()), payload.end()),
              "<rdf:Description dc:format=\"image/jpeg\"\n>"
              "<dc:title>Trip</dc:title></rdf:Description>");
}

TEST(MetadataFilter, KeepDropsOtherKindsTheOrientationAndGainMapXmpSurvive)
{
    DecodedImage image;
    image.pixels = Image(16, 16, 3);
    const std::string gainMap = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x hdrgm:Version=\"1.0\"/>";
    image.markers = {{0xE1, ExifWithGps()}, {0xFE, {'h', 'i'}}, {0xE1, {gainMap.begin(), gainMap.end()}}};
    std::vector<std::uint8_t> jpeg;
    ASSERT_TRUE(EncodeJpeg(image, 90, jpeg));
    std::vector<std::uint8_t> filtered = jpeg;
    EngineOptions options;
    options.keepMetadata = kMetadataComment | kMetadataIcc;
    ASSERT_TRUE(FilterJpegMetadata(filtered, options));
    DecodedImage before, after;
    ASSERT_EQ(DecodeImage(jpeg, before), DecodeStatus::Ok);
    ASSERT_EQ(DecodeImage(filtered, after), DecodeStatus::Ok);
    EXPECT_EQ(after.pixels.data, before.pixels.data);
    ASSERT_EQ(after.markers.size(), 3u);
    EXPECT_EQ(after.markers[0].bytes, OrientationOnlyExif(6));
    EXPECT_EQ(after.markers[1].code, 0xFE);
    EXPECT_EQ(after.markers[2].bytes.size(), gainMap.size());  // it locates a gain map: not descriptive

    std::vector<std::uint8_t> cut(jpeg.begin(), jpeg.begin() + 30);
    EXPECT_FALSE(FilterJpegMetadata(cut, options));
}

// The keep-smaller rule and --skip-below-quality never cancel a removal asked for: a file kept or
// left alone still loses its location (its coded data as it was) in every mode; a file with
// nothing left to remove is not touched again.
TEST(MetadataFilter, KeptAndSkippedFilesStillLoseTheirLocation)
{
    std::vector<std::uint8_t> samples(48 * 32 * 3);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint8_t>(i * i % 251);
    // Full colour at quality 20, as no encoder of ours writes it: level 1 cannot make it smaller.
    const std::vector<std::uint8_t> jpeg =
        test::MakeJpeg({.hSampling = 1, .vSampling = 1, .quality = 20, .markers = {{0xE1, ExifWithGps()}}}, samples);
    ASSERT_FALSE(jpeg.empty());
    const std::vector<std::uint8_t> latitude(24, 0xAB), sos{0xFF, 0xDA};
    const auto codedData = [&](const std::vector<std::uint8_t>& b) {
        return std::vector<std::uint8_t>(std::search(b.begin(), b.end(), sos.begin(), sos.end()), b.end());
    };
    for (const FileMode& mode : {FileMode{}, FileMode{.inPlace = true}, FileMode{.skipAtOrBelowQuality = 30},
                                 FileMode{.inPlace = true, .skipAtOrBelowQuality = 30}}) {
        const test::ScratchDir scratch("kept-gps");
        const std::filesystem::path input = scratch.path() / "in.jpg", output = scratch.path() / "out.jpg";
        ASSERT_EQ(WriteWholeFile(input, jpeg), WriteStatus::Ok);
        for (int run = 0; run < 2; ++run) {
            const CompressOutcome outcome = CompressFileAs(input, output, 1, 0, {.stripGps = true}, mode);
            const bool skipped = mode.skipAtOrBelowQuality > 0;
            ASSERT_EQ(outcome.status, CompressStatus::Ok) << skipped << ReasonText(outcome);
            EXPECT_EQ(outcome.kept, skipped ? KeepReason::None : KeepReason::NotSmaller);
            EXPECT_EQ(outcome.written, run == 0 || !mode.inPlace) << mode.inPlace << skipped << " run " << run;
            std::vector<std::uint8_t> result;
            ASSERT_EQ(ReadWholeFile(mode.inPlace ? input : output, result), ReadStatus::Ok);
            EXPECT_EQ(std::search(result.begin(), result.end(), latitude.begin(), latitude.end()), result.end());
            EXPECT_EQ(codedData(result), codedData(jpeg));
        }
    }
}

}  // namespace
