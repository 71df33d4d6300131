// The command-line tool's directory mode, run as a program.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "engine/file_io.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/run_tool.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace tramblix;
using test::RunResult;

namespace {

class DirectoryModeTest : public ::testing::Test {
protected:
    test::ScratchDir scratch_{"directory-mode"};
    fs::path root = scratch_.path();

    std::string Path(const std::string& relative) const { return (root / relative).string(); }
    std::string Slurp(const std::string& name) const { return test::Slurp(root / name); }
    RunResult Tramblix(const std::vector<std::string>& args) const { return Execute(test::Tramblix(args, root)); }

    // A photo, a tiny file no re-encode makes smaller, a JPEG without its scans.
    enum class Kind { Photo, Tiny, Broken };
    void Put(Kind kind, const std::string& relative)
    {
        fs::create_directories((root / relative).parent_path());
        const test::Bytes bytes = kind == Kind::Photo  ? test::PhotoLike(640, 480)
                                  : kind == Kind::Tiny ? test::TinyFlatJpeg()
                                                       : test::WithoutScans(test::PhotoLike(64, 48));
        std::ofstream(root / relative, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
};

TEST_F(DirectoryModeTest, RefusedDirectoriesGiveTheMessagesAndStatusTwo)
{
    fs::create_directories(root / "in");
    const RunResult missing = Tramblix({Path("in"), ""});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("Please select an input and output directory"), std::string::npos);
    const RunResult same = Tramblix({Path("in"), Path("in") + "/"});
    EXPECT_EQ(same.exitCode, 2);
    EXPECT_NE(same.err.find("Please select a unique output directory"), std::string::npos);
    EXPECT_TRUE(same.out.empty());
}

TEST_F(DirectoryModeTest, LogIsTheSameWithOneOrTwoJobsAndFailuresCount)
{
    Put(Kind::Tiny, "in/sub/small.jpg");
    Put(Kind::Photo, "in/P.JPG");
    Put(Kind::Broken, "in/broken.jpg");
    const RunResult one = Tramblix({"--jobs", "1", "--level", "7", Path("in"), Path("out1")});
    const RunResult two = Tramblix({"-j2", "-l7", Path("in"), Path("out2")});
    EXPECT_EQ(one.exitCode, 1);
    EXPECT_EQ(two.exitCode, 1);
    const std::string expected = "Start Processing...\n Converting file: " + Path("in/sub/small.jpg") +
                                 " To: " + Path("out1/sub/small.jpg") + " Reduced by: ";
    EXPECT_EQ(one.out.rfind(expected, 0), 0u) << one.out;
    EXPECT_NE(
        one.out.find(" Converting file: " + Path("in/broken.jpg") + " To: " + Path("out1/broken.jpg") + " Failed: "),
        std::string::npos);
    std::string renamed = two.out;
    for (std::size_t at; (at = renamed.find("out2/")) != std::string::npos;)
        renamed.replace(at, 5, "out1/");
    EXPECT_EQ(renamed, one.out);
    EXPECT_NE(one.err.find("2 files done (1 compressed, 1 kept), 1 failed"), std::string::npos) << one.err;
    EXPECT_FALSE(fs::exists(root / "out1" / "broken.jpg"));

    const RunResult quiet = Tramblix({"--quiet", "--no-recurse", Path("in"), Path("out3")});
    EXPECT_EQ(quiet.out, "");
    EXPECT_NE(quiet.err.find("Failed: "), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "out3" / "sub"));
}

// The exit status tells whether running again can help; a re-run over the same tree says the
// same. Quiet runs that succeed print nothing.
struct StatusCase {
    const char* name;
    std::vector<std::pair<int, rlim_t>> limits;
    std::vector<std::string> options;
    const char* list;  // when set, the --files-from list
    bool closedPipe;   // standard output a pipe nobody reads
    int status;
    const char* err;  // in standard error; "": nothing printed
};

void PrintTo(const StatusCase& c, std::ostream* os)
{
    *os << c.name;
}

class ExitStatusTest : public DirectoryModeTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatusTest, SaysWhetherARerunMayHelp)
{
    const StatusCase& c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    for (const auto& limit : c.limits)
        if (limit.first == RLIMIT_AS)
            GTEST_SKIP() << "sanitizers reserve more address space than the limit";
#endif
    Put(Kind::Photo, "in/a.jpg");
    Put(Kind::Tiny, "in/sub/b.jpg");
    if (c.status == 1)
        Put(Kind::Broken, "in/broken.jpg");
    for (const char* copy : {"in/a.jpg", "in/sub/b.jpg"})  // outputs get these rights, and are replaced
        fs::permissions(root / copy, fs::perms::owner_write, fs::perm_options::add);
    test::Launch launch = test::Tramblix(c.options, root);
    if (c.list) {
        std::ofstream(root / "list", std::ios::binary) << c.list;
        launch.args.push_back("--files-from=" + Path("list"));
    }
    launch.args.insert(launch.args.end(), {Path("in"), Path("out")});
    launch.limits = c.limits;
    for (int run = 0; run < 2; ++run) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        ::close(pipeFds[0]);  // nobody reads
        launch.stdoutFd = c.closedPipe ? pipeFds[1] : -1;
        const RunResult result = Execute(launch);
        ::close(pipeFds[1]);
        EXPECT_EQ(result.exitCode, c.status) << run << ": " << result.signal << result.err;
        if (*c.err == '\0')
            EXPECT_EQ(result.err + result.out, "") << run;
        else
            EXPECT_NE(result.err.find(c.err), std::string::npos) << run << ": " << result.err;
    }
    EXPECT_EQ(fs::exists(root / "out/a.jpg"), c.status < 2) << "a stopped run starts no file";
}

constexpr rlim_t kKilobyte = 1024;

INSTANTIATE_TEST_SUITE_P(
    Runs, ExitStatusTest,
    ::testing::Values(
        StatusCase{"QuietSuccess", {}, {"-q", "--skip-existing"}, nullptr, false, 0, ""},
        StatusCase{"OnlyDamagedInputs", {}, {"-q", "--skip-existing"}, nullptr, false, 1, "1 failed,"},
        StatusCase{"CrlfList", {}, {"-q"}, "a.jpg\r\nsub/b.jpg\r\n", false, 0, ""},
        StatusCase{"WriteErrors", {{RLIMIT_FSIZE, 1 * kKilobyte}}, {"-q"}, nullptr, false, 3, "(File too large)"},
        StatusCase{"BrokenPipe", {}, {}, nullptr, true, 3, "tramblix: write error: Broken pipe\n"},
        StatusCase{"NoThreadCanStart",
                   {{RLIMIT_AS, 4000000 * kKilobyte}, {RLIMIT_STACK, 6000000 * kKilobyte}},
                   {"-j2"},
                   nullptr,
                   false,
                   0,
                   "warning: Ctrl-C will stop at once"}),
    [](const auto& info) { return std::string(info.param.name); });

// -p keeps the times, and a NUL-separated list on standard input picks the files; a list that
// cannot be read is a usage error.
TEST_F(DirectoryModeTest, KeepsDatesAndReadsAListFromStandardInput)
{
    std::vector<std::uint8_t> photo;
    ASSERT_TRUE(EncodeJpeg(DecodedImage{Image(32, 32, 3), {}, {}, {}, {}}, 95, photo));
    for (const char* name : {"in/a.jpg", "in/b.jpg"}) {
        fs::create_directories(root / "in");
        std::ofstream(root / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(photo.data()), static_cast<std::streamsize>(photo.size()));
    }
    EXPECT_EQ(Tramblix({"--files-from=nowhere", Path("in"), Path("out")}).exitCode, 2);
    const timespec old[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path("in/a.jpg").c_str(), old, 0), 0);
    std::ofstream(root / "list", std::ios::binary) << std::string("a.jpg\0", 6);
    test::Launch launch = test::Tramblix({"--lossless", "-p", "--files-from=-", "-0", Path("in"), Path("out")}, root);
    launch.stdinPath = root / "list";
    EXPECT_EQ(Execute(launch).exitCode, 0);
    EXPECT_FALSE(fs::exists(root / "out/b.jpg"));
    FileTimes times;
    ASSERT_TRUE(FileTimesOf(Path("out/a.jpg"), times));
    EXPECT_EQ(times.modifySeconds, 1100000000);
}

}  // namespace
