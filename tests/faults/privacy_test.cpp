// Location written as phones, drones and editors write it: after --strip-gps (one file, -o, -i),
// --strip or --keep=none, exiftool finds none of it, neither in the photo nor in its video.

#include <cstdio>

#include "engine/multi_picture.h"
#include "tests/faults/fault_support.h"
#include "tests/support/location_files.h"
#include "tests/support/multi_picture_files.h"

namespace tramblix::faults {
namespace {

// What exiftool says of the file's location (of all its tags with `tags` empty); empty when it finds none.
std::string LocationFound(const fs::path& file, const std::string& tags = "-gps:all -xmp:all -iptc:all")
{
    std::string said;
    if (FILE* pipe = ::popen(("exiftool -a -G1 -ee " + tags + " '" + file.string() + "'").c_str(), "r")) {
        for (char buffer[4096]; std::fgets(buffer, sizeof buffer, pipe) != nullptr;)
            said += buffer;
        ::pclose(pipe);
    }
    std::string found;
    for (const std::string place : {"GPS", "City", "Country", "Province", "Sub-location", "Location", "Paris"})
        if (said.find(place) != std::string::npos)
            found += said;
    return found;
}

class PrivacyTest : public FaultTest {
protected:
    void SetUp() override
    {
        if (std::system("exiftool -ver >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "exiftool is not installed (make test installs it)";
        const std::string photo = Photo(160, 120), guid(32, 'F');
        Segments extended = {
            {0xE1, XmpPayload("xmlns:n='http://ns.adobe.com/xmp/note/' n:HasExtendedXMP='" + guid + "'")}};
        for (const std::string& chunk : ExtendedXmp(XmpPayload("exif:GPSLatitude='48,51N'").substr(29), guid, 300))
            extended.push_back({0xE1, chunk});
        const std::string motion = WithSegments(photo, {{0xE1, ExifPayload("ExifIfd", false)}}), video = Mp4("Udta");
        const Bytes file = MakeMotionPhoto({motion.begin(), motion.end()}, {video.begin(), video.end()}, false);
        const std::string drone =
            "xmlns:d='http://www.dji.com/drone-dji/1.0/' d:GpsLatitude='48.85' d:AbsoluteAltitude='1'";
        files_ = {{"exif-ifd.jpg", motion},
                  {"iptc.jpg", WithSegments(photo, {{0xED, PhotoshopPayload(Iim())}})},
                  {"drone.jpg", WithSegments(photo, {{0xE1, XmpPayload(drone)}})},
                  {"extended.jpg", WithSegments(photo, extended)},
                  {"motion.jpg", Text(file)}};
        for (const auto& [name, bytes] : files_)
            Put(root / "in" / name, bytes);
        for (const char* output : {"one", "strip", "keep=none"})
            fs::create_directories(root / output);
    }

    // No location in `file` nor in the video after its main picture.
    void ExpectNone(const fs::path& file)
    {
        EXPECT_EQ(LocationFound(file), "") << file;
        const std::string bytes = Slurp(file);
        const std::size_t end = JpegLength({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        if (end == 0 || end == bytes.size())
            return;
        Put(root / "video.mp4", bytes.substr(end));
        EXPECT_EQ(LocationFound(root / "video.mp4", ""), "") << file << "'s video";
    }

    std::vector<std::pair<std::string, std::string>> files_;
};

// --strip-gps one file at a time, with -o and with -i; --strip and --keep=none on the motion photo.
TEST_F(PrivacyTest, NoLocationLeftInAnyMode)
{
    std::vector<std::string> all = {"--strip-gps"}, inPlace = {"-i", "--strip-gps"};
    for (const auto& [name, bytes] : files_) {
        ASSERT_NE(LocationFound(root / "in" / name), "") << name;  // each carries a place
        all.push_back((root / "in" / name).string());
        EXPECT_EQ(Execute(Tramblix({"--strip-gps", all.back(), (root / "one" / name).string()}, root)).exitCode, 0);
        Put(root / "ip" / name, bytes);
        inPlace.push_back((root / "ip" / name).string());
    }
    all.insert(all.end(), {"-o", (root / "dir").string()});
    EXPECT_EQ(Execute(Tramblix(all, root)).exitCode, 0);
    EXPECT_EQ(Execute(Tramblix(inPlace, root)).exitCode, 0);
    for (const auto& [name, bytes] : files_)
        for (const char* mode : {"one", "dir", "ip"})
            ExpectNone(root / mode / name);
    for (const std::string option : {"--strip", "--keep=none"}) {
        const fs::path output = root / option.substr(2) / "motion.jpg";
        const RunResult run = Execute(Tramblix({option, (root / "in" / "motion.jpg").string(), output.string()}, root));
        EXPECT_NE(run.out.find("motion video kept"), std::string::npos) << run.out << run.err;
        ExpectNone(output);
    }
}

}  // namespace
}  // namespace tramblix::faults
