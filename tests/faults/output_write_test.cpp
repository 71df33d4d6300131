// Outputs that are links, and the temporary files that killed runs leave beside outputs.

#include <sys/file.h>

#include "engine/file_io.h"
#include "tests/faults/fault_support.h"

using namespace tramblix;
using namespace tramblix::faults;

namespace {

FileId IdOf(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// The link out.jpg leads to `target` ("FD": /proc/self/fd of an open sub/old.jpg); `error` empty:
// the bytes replace sub/old.jpg.
using LinkCase = std::pair<const char*, const char*>;
class LinkedOutputTest : public ::testing::TestWithParam<LinkCase> {};

}  // namespace

TEST_P(LinkedOutputTest, IsWrittenThroughOrRefusedButNeverReplaced)
{
    const auto [target, expected] = GetParam();
    const tramblix::test::ScratchDir scratch("linked-output");
    const fs::path dir = scratch.path();
    for (const char* name : {"sub/old.jpg", "sub/input.jpg", "in/x.jpg"})
        Put(dir / name, "old");
    ::mkfifo((dir / "sub/pipe").c_str(), 0644);
    fs::create_symlink(dir / "sub/../sub/old.jpg", dir / "hop.jpg");
    const int fd = ::open((dir / "sub/old.jpg").c_str(), O_RDONLY | O_CLOEXEC);
    fs::create_symlink(target == std::string("FD") ? "/proc/self/fd/" + std::to_string(fd) : target, dir / "out.jpg");
    InputSet inputs;
    inputs.AddDirectory(IdOf(dir / "in"));
    inputs.AddFile(IdOf(dir / "sub/input.jpg"));
    inputs.AddFile(IdOf(dir / "sub"));  // the number of an input file removed meanwhile, given to sub
    const WriteRules rules{&inputs};

    std::error_code error;
    WriteWholeFile(dir / "out.jpg", Bytes{'n', 'e', 'w'}, rules, &error);
    EXPECT_EQ(error ? error.message() : "", expected);
    RemoveOutputFile(dir / "out.jpg", rules);  // a failed run's cleanup leaves link and file alike
    EXPECT_EQ(Slurp(dir / "sub/old.jpg"), *expected ? "old" : "new");
    EXPECT_TRUE(fs::is_symlink(dir / "out.jpg"));
    EXPECT_EQ(Slurp(dir / "sub/input.jpg") + Slurp(dir / "in/x.jpg"), "oldold");
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        EXPECT_FALSE(IsTemporary(entry.path().string())) << entry.path();
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedOutputTest,
                         ::testing::Values(LinkCase{"sub/old.jpg", ""}, LinkCase{"hop.jpg", ""},
                                           LinkCase{"/dev/null", "not a regular file"},
                                           LinkCase{"sub/pipe", "not a regular file"},
                                           LinkCase{"FD", "not a regular file"}, LinkCase{"sub", "Is a directory"},
                                           LinkCase{"no/none.jpg", "dangling link"},
                                           LinkCase{"out.jpg", "Too many levels of symbolic links"},
                                           LinkCase{"in/x.jpg", "its directory is part of the input tree"},
                                           LinkCase{"sub/input.jpg", "it would replace an input file"}));

// Beside the output it writes, a run removes only its own temporary names that no live run
// holds (one here is locked as another process would), and follows no link.
TEST(LeftoverTemporaries, OnlyAbandonedOnesOfOurNameAreRemoved)
{
    const std::pair<const char*, bool> leftovers[] = {
        {".a.jpg.tramblix-12-3.tmp", false}, {".an older, longer name.jpg.tramblix-999999-0.tmp", false},
        {".a.jpg.tramblix-12-4.tmp", true},  {".a.jpg.tramblix-1x-4.tmp", true},
        {"a.jpg.tramblix-1-2.tmp", true},    {".a.jpg.tramblix-1-2.tmp~", true},
        {".b.jpg.tramblix-5-6.tmp", true},   {".c.jpg.tramblix-7-8.tmp", true},
    };
    const tramblix::test::ScratchDir scratch("leftovers");
    const fs::path dir = scratch.path() / "out", keep = scratch.path() / "keep.jpg";
    Put(keep, "keep");
    for (const auto& [name, kept] : leftovers)
        Put(dir / name, "partial");
    fs::remove(dir / leftovers[6].first);
    fs::create_symlink(keep, dir / leftovers[6].first);
    fs::remove(dir / leftovers[7].first);
    fs::create_hard_link(keep, dir / leftovers[7].first);
    const int held = ::open((dir / leftovers[2].first).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    ASSERT_EQ(WriteWholeFile(dir / "a.jpg", Bytes{1, 2}), WriteStatus::Ok);
    for (const auto& [name, kept] : leftovers)
        EXPECT_EQ(fs::exists(fs::symlink_status(dir / name)), kept) << name;
    EXPECT_EQ(Slurp(keep), "keep");
    ::close(held);
}

// In place, a file is replaced only while it is the file read, unchanged: one still being
// written says so (a re-run may pass), one swapped for another file is refused as replaced.
TEST(InPlaceReplacement, RefusesAFileThatChangedSinceItWasRead)
{
    const tramblix::test::ScratchDir scratch("in-place-changed");
    const fs::path file = scratch.path() / "a.jpg";
    for (const bool swapped : {false, true}) {
        Put(file, "old");
        Bytes read;
        FileFacts facts;
        ASSERT_EQ(ReadWholeFile(file, read, &facts), ReadStatus::Ok);
        if (swapped) {
            Put(scratch.path() / "b.jpg", "old");
            fs::rename(scratch.path() / "b.jpg", file);
        } else {
            std::ofstream(file, std::ios::app) << "more";
        }
        WriteRules rules;
        rules.replaces = &facts;
        std::error_code error;
        EXPECT_NE(WriteWholeFile(file, Bytes{'n'}, rules, &error), WriteStatus::Ok);
        EXPECT_EQ(error, swapped ? FileError::ChangedMeanwhile : FileError::ChangedWhileRead);
        EXPECT_NE(Slurp(file), "n");
    }
}
