// Phone photos made from sound ones by overwriting a few bytes: their extras cannot be kept safely,
// so the main picture is written alone, with nothing left that would locate them, and the reason.

#include <algorithm>

#include "engine/multi_picture.h"
#include "tests/faults/fault_support.h"
#include "tests/support/multi_picture_files.h"

namespace tramblix::faults {
namespace {

struct Damaged {
    const char* name;
    bool motion;         // a motion photo located by MicroVideoOffset; else an Ultra HDR photo
    std::string anchor;  // the bytes are written this far after the first place this stands
    std::size_t skip;
    std::string bytes;
    const char* reason;
};

void PrintTo(const Damaged& c, std::ostream* os)
{
    *os << c.name;
}

// The MPF entries start 54 bytes after "MPF\0"; the gain map's size is at 20, its offset at 24.
const std::string kMpf("MPF\0", 4), kLength = "Item:Length=\"", kGainMapStart = "\xFF\xD9\xFF\xD8";
const Damaged kDamaged[] = {
    {"MpfOffsetPastTheEnd", false, kMpf, 78, "\x7F\xFF\xFF\xF0", "its index points outside the file"},
    {"MpfSizeGigantic", false, kMpf, 74, "\xFF\xFF\xFF\xFF", "its index points outside the file"},
    {"MpfEntryLoopsBackIntoTheIndex", false, kMpf, 78, std::string(4, '\0'), "its index points into the main picture"},
    {"MpfByteOrderUnknown", false, kMpf, 4, "X", "its index is damaged"},
    {"GainMapNotAJpeg", false, kGainMapStart, 3, std::string(1, '\0'), "it is not a JPEG"},
    {"ContainerLengthNotANumber", false, kLength, 13, "x", "its index is damaged"},
    // Its first digit 0: the Container's item lies inside the one MPF gives.
    {"ContainerOverlapsMpf", false, kLength, 13, "0", "its items overlap"},
    {"VideoOffsetPastTheEnd", true, "MicroVideoOffset=\"", 18, "99999", "its index points outside the file"},
};

class DamagedExtrasTest : public FaultTest, public ::testing::WithParamInterface<Damaged> {};

TEST_P(DamagedExtrasTest, MainPictureAloneAndTheReason)
{
    const Damaged& damaged = GetParam();
    const std::string primary = Photo(160, 120, 1), extra = Photo(40, 30, 2);
    Bytes file = damaged.motion
                     ? MakeMotionPhoto({primary.begin(), primary.end()}, FakeVideo(20000), true)
                     : MakeGainMapPhoto({primary.begin(), primary.end()}, {extra.begin(), extra.end()}, false);
    const Bytes anchor(damaged.anchor.begin(), damaged.anchor.end());
    const auto at = std::search(file.begin(), file.end(), anchor.begin(), anchor.end());
    ASSERT_NE(at, file.end());
    std::copy(damaged.bytes.begin(), damaged.bytes.end(), at + static_cast<std::ptrdiff_t>(damaged.skip));
    const fs::path input = root / "in" / "file.jpg", output = root / "out" / "file.jpg";
    Put(input, Text(file));
    fs::create_directories(root / "out");
    const Tree before = Snapshot(root / "in");

    const RunResult run = Execute(Tramblix({input.string(), output.string()}, root));

    ExpectNoHarm(before, root / "in", root / "out");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string line =
        std::string(damaged.motion ? ". motion video" : ". gain map") + " dropped: " + damaged.reason;
    EXPECT_NE(run.out.find(line + ".\n"), std::string::npos) << run.out;
    const std::string written = Slurp(output);
    const Bytes bytes(written.begin(), written.end());
    EXPECT_EQ(JpegLength(bytes), bytes.size());
    for (const char* locator : {"MPF", "Container:Directory", "MicroVideoOffset", "hdrgm:"})
        EXPECT_FALSE(Contains(bytes, locator)) << locator;

    // In place (no other copy) the file is left alone with the reason, unless only its main picture is wanted.
    const std::string what = damaged.motion ? "motion video" : "gain map";
    for (const bool primaryOnly : {false, true}) {
        Put(root / "in-place.jpg", Text(file));
        const RunResult inPlace = Execute(Tramblix(
            {"-i", "--report=json", primaryOnly ? "--primary-only" : "-q", (root / "in-place.jpg").string()}, root));
        EXPECT_EQ(Slurp(root / "in-place.jpg") == Text(file), !primaryOnly);
        const std::string reason = primaryOnly ? "\"compressed\",\"reason\":\"" + what + " dropped: "
                                               : "\"skipped\",\"reason\":\"its " + what + " would be dropped: ";
        EXPECT_NE(inPlace.out.find(reason + damaged.reason), std::string::npos) << inPlace.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedExtrasTest, ::testing::ValuesIn(kDamaged),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tramblix::faults
