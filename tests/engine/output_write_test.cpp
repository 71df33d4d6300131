// Outputs that are links, and the temporary files that killed runs leave beside outputs.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/file_io.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

const std::vector<std::uint8_t> kBytes = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9};

void Put(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool AnyTemporary(const fs::path& dir)
{
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.path().filename().string().find(".tramblix-") != std::string::npos)
            return true;
    return false;
}

// `out.jpg` in the scratch directory is made a link; `sub/target.jpg` holds "old", `in/` is a
// directory the run reads.
struct LinkCase {
    const char* name;
    std::function<void(const fs::path& dir, InputSet& inputs, int openFile)> link;
    std::error_code expected;  // none: the bytes go to sub/target.jpg
};

void PrintTo(const LinkCase& c, std::ostream* os)
{
    *os << c.name;
}

FileId IdOf(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

const LinkCase kLinks[] = {
    {"ToAFileInAnotherDirectory",
     [](const fs::path& d, InputSet&, int) { fs::create_symlink("sub/target.jpg", d / "out.jpg"); },
     {}},
    {"ThroughAChain",
     [](const fs::path& d, InputSet&, int) {
         fs::create_symlink(d / "hop.jpg", d / "out.jpg");
         fs::create_symlink("sub/../sub/target.jpg", d / "hop.jpg");
     },
     {}},
    {"ToTheNullDevice", [](const fs::path& d, InputSet&, int) { fs::create_symlink("/dev/null", d / "out.jpg"); },
     FileError::NotRegularFile},
    {"ToAPipe",
     [](const fs::path& d, InputSet&, int) {
         ::mkfifo((d / "sub/pipe").c_str(), 0644);
         fs::create_symlink("sub/pipe", d / "out.jpg");
     },
     FileError::NotRegularFile},
    {"ToAnOpenFileInProc",
     [](const fs::path& d, InputSet&, int fd) {
         fs::create_symlink("/proc/self/fd/" + std::to_string(fd), d / "out.jpg");
     },
     FileError::NotRegularFile},
    {"ToADirectory", [](const fs::path& d, InputSet&, int) { fs::create_symlink("sub", d / "out.jpg"); },
     std::make_error_code(std::errc::is_a_directory)},
    {"ToNothing", [](const fs::path& d, InputSet&, int) { fs::create_symlink("sub/none.jpg", d / "out.jpg"); },
     FileError::DanglingLink},
    {"IntoNoDirectory", [](const fs::path& d, InputSet&, int) { fs::create_symlink("no/none.jpg", d / "out.jpg"); },
     FileError::DanglingLink},
    {"ToItself", [](const fs::path& d, InputSet&, int) { fs::create_symlink("out.jpg", d / "out.jpg"); },
     std::make_error_code(std::errc::too_many_symbolic_link_levels)},
    {"IntoTheInputTree",
     [](const fs::path& d, InputSet& inputs, int) {
         fs::create_symlink("in/x.jpg", d / "out.jpg");
         inputs.Add(IdOf(d / "in"));
     },
     FileError::InsideInputTree},
    {"ToAnInput",
     [](const fs::path& d, InputSet& inputs, int) {
         fs::create_symlink("sub/target.jpg", d / "out.jpg");
         inputs.Add(IdOf(d / "sub/target.jpg"));
     },
     FileError::ReplacesInput},
};

class LinkedOutputTest : public ::testing::TestWithParam<LinkCase> {
protected:
    tramblix::test::ScratchDir scratch_{"linked-output"};
    fs::path dir = scratch_.path();
};

}  // namespace

TEST_P(LinkedOutputTest, IsWrittenThroughOrRefusedButNeverReplaced)
{
    fs::create_directories(dir / "sub");
    fs::create_directories(dir / "in");
    Put(dir / "sub/target.jpg", "old");
    Put(dir / "in/x.jpg", "input");
    const int openFile = ::open((dir / "sub/target.jpg").c_str(), O_RDONLY | O_CLOEXEC);
    InputSet inputs;
    GetParam().link(dir, inputs, openFile);
    const fs::path linkText = fs::read_symlink(dir / "out.jpg");
    WriteRules rules;
    rules.inputs = &inputs;

    std::error_code error;
    const WriteStatus status = WriteWholeFile(dir / "out.jpg", kBytes, rules, &error);
    EXPECT_EQ(error.message(), GetParam().expected.message());
    EXPECT_EQ(status == WriteStatus::Ok, !GetParam().expected);
    const std::string written(kBytes.begin(), kBytes.end());
    EXPECT_EQ(Slurp(dir / "sub/target.jpg"), GetParam().expected ? "old" : written);
    // A failed run's cleanup leaves the link and what it leads to alike.
    RemoveOutputFile(dir / "out.jpg", rules);
    EXPECT_EQ(Slurp(dir / "sub/target.jpg"), GetParam().expected ? "old" : written);

    EXPECT_EQ(fs::read_symlink(dir / "out.jpg"), linkText);
    EXPECT_EQ(Slurp(dir / "in/x.jpg"), "input");
    EXPECT_FALSE(AnyTemporary(dir));
    ::close(openFile);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedOutputTest, ::testing::ValuesIn(kLinks),
                         [](const auto& info) { return std::string(info.param.name); });

// What a run finds beside the output it writes: only its own temporary names that no live run
// holds go, and no link is followed.
TEST(LeftoverTemporaries, OnlyAbandonedOnesOfOurNameAreRemoved)
{
    enum Kind { Plain, Locked, Link, SecondName, Directory };
    struct Leftover {
        const char* name;
        Kind kind;
        bool kept;
    };
    const Leftover leftovers[] = {
        {".a.jpg.tramblix-12-3.tmp", Plain, false},
        {".a name from an older run, cut at 64 bytes.jpg.tramblix-999999-0.tmp", Plain, false},
        {".a.jpg.tramblix-12-4.tmp", Locked, true},
        {".a.jpg.tramblix-1x-4.tmp", Plain, true},
        {".a.jpg.tramblix--4.tmp", Plain, true},
        {"a.jpg.tramblix-1-2.tmp", Plain, true},
        {".a.jpg.tramblix-1-2.tmp~", Plain, true},
        {".tramblix-1-2.tmp", Plain, true},
        {".b.jpg.tramblix-5-6.tmp", Link, true},
        {".c.jpg.tramblix-7-8.tmp", SecondName, true},
        {".d.jpg.tramblix-7-9.tmp", Directory, true},
    };
    tramblix::test::ScratchDir scratch("leftovers");
    const fs::path dir = scratch.path() / "out";
    fs::create_directories(dir);
    Put(scratch.path() / "keep.jpg", "keep");
    std::vector<int> held;
    for (const Leftover& leftover : leftovers) {
        const fs::path path = dir / leftover.name;
        switch (leftover.kind) {
        case Link: fs::create_symlink(scratch.path() / "keep.jpg", path); break;
        case SecondName: fs::create_hard_link(scratch.path() / "keep.jpg", path); break;
        case Directory: fs::create_directory(path); break;
        default: Put(path, "partial");
        }
        if (leftover.kind == Locked) {  // a live run in another process holds its file so
            held.push_back(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(held.back(), LOCK_EX), 0);
        }
    }

    ASSERT_EQ(WriteWholeFile(dir / "a.jpg", kBytes), WriteStatus::Ok);

    for (const Leftover& leftover : leftovers)
        EXPECT_EQ(fs::exists(fs::symlink_status(dir / leftover.name)), leftover.kept) << leftover.name;
    EXPECT_EQ(Slurp(scratch.path() / "keep.jpg"), "keep");
    for (const int fd : held)
        ::close(fd);
}
