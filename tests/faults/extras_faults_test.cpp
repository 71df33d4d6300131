// Phone photos whose extras cannot be kept safely, each built from a sound one: the main picture
// is compressed alone, nothing that locates the extras is left in it, and the line says why.

#include <algorithm>

#include "tests/faults/fault_support.h"
#include "tests/support/multi_picture_files.h"

namespace tramblix::faults {
namespace {

Bytes Picture(int width, int height, unsigned seed)
{
    const std::string jpeg = Photo(width, height, seed);
    return {jpeg.begin(), jpeg.end()};
}

PhonePhoto GainMapPhoto()
{
    return MakeGainMapPhoto(Picture(160, 120, 1), Picture(40, 30, 2), false);
}

// Rewrites the first digit of the gain map's Container length, keeping the file's layout.
Bytes WithLength(PhonePhoto photo, char digit)
{
    const std::string field = "Item:Length=\"";
    auto at = std::search(photo.bytes.begin(), photo.bytes.end(), field.begin(), field.end()) + 13;
    *at = static_cast<std::uint8_t>(digit);
    return photo.bytes;
}

struct Damaged {
    const char* name;
    Bytes (*make)();
    const char* reason;
};

const Damaged kDamaged[] = {
    {"MpfOffsetPastTheEnd",
     [] {
         PhonePhoto p = GainMapPhoto();
         PutU32(p.bytes, p.entriesAt + 24, 0x7FFFFFF0, p.little);
         return p.bytes;
     },
     "gain map dropped: its index points outside the file"},
    {"MpfSizeGigantic",
     [] {
         PhonePhoto p = GainMapPhoto();
         PutU32(p.bytes, p.entriesAt + 20, 0xFFFFFFFF, p.little);
         return p.bytes;
     },
     "gain map dropped: its index points outside the file"},
    {"MpfEntryLoopsBackIntoTheIndex",
     [] {
         PhonePhoto p = GainMapPhoto();
         PutU32(p.bytes, p.entriesAt + 24, 0, p.little);
         return p.bytes;
     },
     "gain map dropped: its index points into the main picture"},
    {"MpfByteOrderUnknown",
     [] {
         PhonePhoto p = GainMapPhoto();
         p.bytes[p.entriesAt - 50] = 'X';
         return p.bytes;
     },
     "gain map dropped: its index is damaged"},
    {"GainMapNotAJpeg",
     [] {
         PhonePhoto p = GainMapPhoto();
         p.bytes[p.extraAt + 1] = 0;
         return p.bytes;
     },
     "gain map dropped: it is not a JPEG"},
    {"ContainerLengthNotANumber", [] { return WithLength(GainMapPhoto(), 'x'); },
     "gain map dropped: its index is damaged"},
    // A length one digit smaller puts the Container's item inside the one MPF gives.
    {"ContainerOverlapsMpf",
     [] {
         PhonePhoto p = GainMapPhoto();
         const std::string length = std::to_string(p.bytes.size() - p.extraAt);
         return WithLength(p, static_cast<char>(length[0] - 1));
     },
     "gain map dropped: its items overlap"},
    {"VideoOffsetPastTheEnd",
     [] {
         PhonePhoto p = MakeMotionPhoto(Picture(160, 120, 3), FakeVideo(20000), true);
         const std::string field = "MicroVideoOffset=\"20000";
         auto at = std::search(p.bytes.begin(), p.bytes.end(), field.begin(), field.end()) + 18;
         std::fill(at, at + 5, '9');
         return p.bytes;
     },
     "motion video dropped: its index points outside the file"},
};

void PrintTo(const Damaged& damaged, std::ostream* os)
{
    *os << damaged.name;
}

class DamagedExtrasTest : public FaultTest, public ::testing::WithParamInterface<Damaged> {};

TEST_P(DamagedExtrasTest, MainPictureAloneAndTheReason)
{
    const Damaged& damaged = GetParam();
    const fs::path input = root / "in" / "file.jpg";
    Put(input, Text(damaged.make()));
    fs::create_directories(root / "out");
    const Tree before = Snapshot(root / "in");

    const RunResult run = Execute(Tramblix({input.string(), (root / "out" / "file.jpg").string()}, root));

    ExpectNoHarm(before, root / "in", root / "out");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(std::string(". ") + damaged.reason + ".\n"), std::string::npos) << run.out;
    const std::string output = Slurp(root / "out" / "file.jpg");
    const Bytes bytes(output.begin(), output.end());
    EXPECT_EQ(FirstJpegLength(bytes), bytes.size());
    for (const char* locator : {"MPF", "Container:Directory", "MicroVideoOffset", "hdrgm:"})
        EXPECT_FALSE(Contains(bytes, locator)) << locator;
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedExtrasTest, ::testing::ValuesIn(kDamaged),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tramblix::faults
