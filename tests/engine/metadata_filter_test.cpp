// --keep and --strip-gps at the level of segments, EXIF, XMP, IPTC and a video's boxes: location
// goes however it is written, wiped, not only unlinked; everything else stays.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "engine/exif.h"
#include "engine/file_io.h"
#include "engine/file_modes.h"
#include "engine/metadata_filter.h"
#include "engine/xmp.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/location_files.h"
#include "tests/support/multi_picture_files.h"
#include "tests/support/scratch_dir.h"

using namespace tramblix;
using namespace tramblix::test;

namespace {

Bytes B(const std::string& s)
{
    return {s.begin(), s.end()};
}

struct FileCase {
    const char* name;
    Segments segments;
    bool keptStays = true;  // "kept" survives
    std::string note = "";  // what went beyond location
};

const XmpPropertyTest IsLocation = [](auto uri, auto local, bool) { return IsLocationProperty(uri, local); };
const std::string kXmpSignature("http://ns.adobe.com/xap/1.0/\0", 29), kGuid(32, 'A');
const std::string kGps = XmpPayload("exif:GPSLatitude='48,51N'");
const std::vector<std::string> kChunks = ExtendedXmp(kGps.substr(29), kGuid, 200);

Segments App1(const std::string& payload)
{
    return {{0xE1, payload}};
}

const FileCase kFiles[] = {
    // EXIF: every GPS link goes and its directory is zeroed, nothing moves, IFD0 (its make "kept") stays.
    {"ExifGpsInExifIfd", App1(ExifPayload("ExifIfd", false))},
    {"ExifGpsInInterop", App1(ExifPayload("Interop", true))},
    {"ExifGpsInIfd1", App1(ExifPayload("Ifd1", false))},
    {"ExifTwoGpsPointers", App1(ExifPayload("TwoPointers", true))},
    {"ExifPointerLoop", App1(ExifPayload("Loop", false))},
    {"ExifPointerLoopLittleEndian", App1(ExifPayload("Loop", true))},
    {"ExifNoNextLink", App1(ExifPayload("NoNextLink", false))},
    {"ExifNoNextLinkLittleEndian", App1(ExifPayload("NoNextLink", true))},
    {"ExifTruncated", App1(ExifPayload("Truncated", true))},
    {"ExifXmpInside", App1(ExifPayload("XmpInside", false))},
    {"ExifIptcInside", App1(ExifPayload("IptcInside", true))},
    {"XmpSpaced", App1(XmpPayload("exif:GPSLatitude =\t'48,51N' dc:format='kept'"))},
    {"XmpOtherPrefix", App1(XmpPayload("xmlns:e='http://ns.adobe.com/exif/1.0/' e:GPSLongitude='2,17E' e:A='kept'"))},
    {"XmpDefaultNamespace", App1(XmpPayload("", "<GPSAltitude xmlns='http://ns.adobe.com/exif/1.0/'>1</GPSAltitude>")),
     false},
    {"XmpCdataAndEntities",
     App1(XmpPayload("exif:GPSLatitude='48&#44;51N'", "<exif:GPSLongitude><![CDATA[2,17E]]></exif:GPSLongitude>")),
     false},
    {"XmpNestedDescription",
     App1(XmpPayload("", "<exif:Flash><rdf:Description exif:Fired='kept' exif:GPSLatitude='1N'/></exif:Flash>"))},
    {"XmpSeqAndBag",
     App1(XmpPayload("",
                     "<xmp:T><rdf:Seq><rdf:li exif:GPSLatitude='48,51N'/></rdf:Seq></xmp:T><I:LocationShown "
                     "xmlns:I='http://iptc.org/std/Iptc4xmpExt/2008-02-29/'><rdf:Bag><rdf:li "
                     "rdf:parseType='Resource'><I:City>Paris</I:City></rdf:li></rdf:Bag></I:LocationShown>")),
     false},
    {"XmpDrone",
     App1(XmpPayload("xmlns:d='http://www.dji.com/drone-dji/1.0/' d:GpsLatitude='48.85' d:AbsoluteAltitude='1' "
                     "d:RelativeAltitude='kept'"))},
    {"XmpPhotoshop",
     App1(XmpPayload(
         "xmlns:p='http://ns.adobe.com/photoshop/1.0/' p:City='Paris' p:Country='France' p:Headline='kept'"))},
    {"XmpSecondPacketAfterTheRoot",
     {{0xE1, XmpPayload("dc:format='kept'") +
                 "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/"
                 "1999/02/22-rdf-syntax-ns#'><rdf:Description xmlns:exif='http://ns.adobe.com/"
                 "exif/1.0/' exif:GPSLatitude='48,51N'/></rdf:RDF></x:xmpmeta>"}}},
    {"XmpDoctype",
     {{0xE1, kXmpSignature + "<!DOCTYPE x [<!ENTITY g '48,51N'>]><x exif:GPSLatitude='&g;' dc:format='kept'/>"}},
     false,
     "XMP dropped: it cannot be read as XML"},
    {"XmpNotXml",
     {{0xE1, kGps.substr(0, kGps.find("</rdf:Description>"))}},
     false,
     "XMP dropped: it cannot be read as XML"},
    {"XmpNotXmlNamingNoPlace", {{0xE1, kGps.substr(0, kGps.find("exif:GPS")) + "dc:format='kept'"}}},
    {"XmpWithoutSignature", {{0xE1, "XMP" + kGps.substr(28)}}, false, "XMP without its standard signature dropped"},
    {"ExtendedXmp",
     {{0xE1, XmpPayload("xmlns:n='http://ns.adobe.com/xmp/note/' n:HasExtendedXMP='" + kGuid + "' dc:format='kept'")},
      {0xE1, kChunks[0]},
      {0xE1, kChunks[1]},
      {0xE1, kChunks[2]}},
     true,
     "ExtendedXMP dropped: it holds location"},
    {"ExtendedXmpChunkMissing", {{0xE1, kChunks[1]}}, false, "ExtendedXMP dropped: it is incomplete"},
    {"Iptc", {{0xED, PhotoshopPayload(Iim())}}},
    {"IptcExtendedLength", {{0xED, PhotoshopPayload(Iim(true))}}},
    {"IptcSplitOverTwoSegments",
     {{0xED, PhotoshopPayload(Iim()).substr(0, 60)},
      {0xED, std::string("Photoshop 3.0\0", 14) + PhotoshopPayload(Iim()).substr(60)}},
     false,
     "IPTC dropped: it cannot be read"},
    {"ExifSplitOverTwoSegments",
     {{0xE1, ExifPayload("ExifIfd", false).substr(0, 40)},
      {0xE1, std::string("Exif\0\0", 6) + ExifPayload("ExifIfd", false).substr(40)}},
     false,
     "EXIF dropped: it cannot be read"},
    {"JfifVersionTwo", {{0xE0, std::string("JFIF\0\2\0\0\0\1\0\1\0\0", 14)}}, false},
    {"StrayBytesBetweenSegments",
     {{0xE1, ExifPayload("ExifIfd", true)}, {-1, std::string("\0\0junk", 6)}, {0xFE, "kept"}}},
};

class FileLocation : public ::testing::TestWithParam<FileCase> {};

// Location goes however it is written: XMP by namespace, staying readable XML; IPTC loses its
// location datasets and its digest; a block that cannot be read goes and the note says so;
// stray bytes are passed over. Everything else stays, the picture's own bytes too.
TEST_P(FileLocation, NoPlaceLeftAndWhatElseWentIsSaid)
{
    const FileCase& c = GetParam();
    const Bytes plain = MakeJpeg(JpegRecipe{});
    const std::string junk = "junk after EOI", two("JFIF\0\2", 6);
    const Bytes jpeg = B(WithSegments({plain.begin(), plain.end()}, c.segments) + junk);
    for (const unsigned keep : {unsigned{kAllMetadata}, unsigned{kAllMetadata & ~kMetadataIcc}}) {
        Bytes filtered = jpeg;
        std::string notes;
        ASSERT_TRUE(FilterJpegMetadata(filtered, EngineOptions{.keepMetadata = keep, .stripGps = true}, &notes));
        for (const std::string place : {"48,51", "48.85", "2,17E", "Paris", "France", "Ile-de", "Champ", "Europe",
                                        "GPS", "Gps", "\xAB\xAB\xAB\xAB"})
            EXPECT_FALSE(Contains(filtered, place)) << c.name << ": " << place;  // nothing of the place
        EXPECT_EQ(notes, c.note);
        EXPECT_EQ(Contains(filtered, "kept"), c.keptStays) << c.name;
        // Only dropping a kind cleans the file, as --strip does: no stray bytes, nothing after EOI, JFIF 1.x.
        EXPECT_EQ(Contains(filtered, "junk"), keep == kAllMetadata);
        EXPECT_EQ(Contains(filtered, two), keep == kAllMetadata && Contains(jpeg, two));
        EXPECT_FALSE(Contains(filtered, std::string(16, '\x11')));  // the stale IPTC digest
        DecodedImage after;
        ASSERT_EQ(DecodeImage(filtered, after), DecodeStatus::Ok);
        EXPECT_TRUE(Contains(filtered, std::string(plain.end() - 100, plain.end())));  // the scan as it was
        // Rewritten XMP is XML; a packet that cannot be read stays only as it was.
        for (const Marker& marker : after.markers) {
            const std::string text(marker.bytes.begin(), marker.bytes.end());
            EXPECT_TRUE(!text.starts_with(kXmpSignature) || EditXmp(text.substr(29), IsLocation).readable ||
                        std::any_of(c.segments.begin(), c.segments.end(), [&](auto& s) { return s.second == text; }));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, FileLocation, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MetadataFilter, KeepDropsOtherKindsTheOrientationAndGainMapXmpSurvive)
{
    DecodedImage image;
    image.pixels = Image(16, 16, 3);
    const std::string gainMap =
        XmpPayload("xmlns:hdrgm='http://ns.adobe.com/hdr-gain-map/1.0/' hdrgm:Version='1.0' exif:GPSLatitude='48,51N'");
    image.markers = {{0xE1, B(ExifPayload("ExifIfd", false))}, {0xFE, {'h', 'i'}}, {0xE1, B(gainMap)}};
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
    ASSERT_EQ(after.markers.size(), 2u);  // the decoder leaves out XMP that describes a gain map
    EXPECT_EQ(after.markers[0].bytes, OrientationOnlyExif(6));
    EXPECT_EQ(after.markers[1].code, 0xFE);
    // It locates a gain map: it stays, with that alone.
    EXPECT_TRUE(Contains(filtered, "hdrgm:Version='1.0'"));
    EXPECT_FALSE(Contains(filtered, "Trip") || Contains(filtered, "GPS"));

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
    const std::string exif = ExifPayload("NoNextLink", false);
    const std::vector<std::uint8_t> jpeg = test::MakeJpeg(
        {.hSampling = 1, .vSampling = 1, .quality = 20, .markers = {{0xE1, Bytes(exif.begin(), exif.end())}}}, samples);
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
