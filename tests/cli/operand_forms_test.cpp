// The forms beyond INPUT OUTPUT, run as a program: several operands, in place, streams, reports.

#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "tests/support/run_tool.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace tramblix;
using test::RunResult;
using test::Slurp;

namespace {

std::vector<std::uint8_t> Bytes(const fs::path& path)
{
    const std::string text = Slurp(path);
    return {text.begin(), text.end()};
}

void WritePhoto(const fs::path& path, int width, int height, int quality)
{
    DecodedImage image;
    image.pixels = Image(width, height, 3);
    std::mt19937 random(7);
    for (auto& sample : image.pixels.data)
        sample = static_cast<std::uint8_t>(random() % 256);
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(EncodeJpeg(image, quality, bytes));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// hi.jpg shrinks, lo.jpg (quality 20) cannot; link.jpg leads to tree/c.jpg; hard.jpg has a second
// name; junk.jpg is a JPEG cut after its start, text.jpg no picture at all; mixed/ holds one of
// each; linked/ a link to hi.jpg.
class NewFormsTest : public ::testing::Test {
protected:
    test::ScratchDir scratch_{"new-forms"};
    fs::path dir = scratch_.path();
    std::string hi, lo;

    void SetUp() override
    {
        WritePhoto(dir / "hi.jpg", 96, 64, 98);
        WritePhoto(dir / "lo.jpg", 96, 64, 20);
        fs::permissions(dir / "hi.jpg", fs::perms(0640));
        fs::create_directories(dir / "sub");
        fs::copy_file(dir / "hi.jpg", dir / "sub/hi.jpg");
        fs::create_directories(dir / "tree");
        fs::copy_file(dir / "hi.jpg", dir / "tree/c.jpg");
        fs::create_symlink("tree/c.jpg", dir / "link.jpg");
        fs::copy_file(dir / "hi.jpg", dir / "hard.jpg");
        fs::create_hard_link(dir / "hard.jpg", dir / "hard2.jpg");
        std::ofstream(dir / "junk.jpg") << "\xFF\xD8 cut";
        std::ofstream(dir / "text.jpg") << "not a picture";
        fs::create_directories(dir / "linked");
        fs::create_symlink("../hi.jpg", dir / "linked/l.jpg");
        fs::create_directories(dir / "mixed");
        fs::copy_file(dir / "hi.jpg", dir / "mixed/a.jpg");
        fs::copy_file(dir / "text.jpg", dir / "mixed/b.jpg");
        hi = Slurp(dir / "hi.jpg");
        lo = Slurp(dir / "lo.jpg");
    }

    // "{d}" in an argument stands for the scratch directory.
    RunResult Run(std::vector<std::string> args, const char* standardInput = nullptr)
    {
        for (std::string& arg : args)
            if (const std::size_t at = arg.find("{d}"); at != std::string::npos)
                arg.replace(at, 3, dir.string() + "/");
        test::Launch launch = test::Tramblix(args, dir);
        if (standardInput)
            launch.stdinPath = dir / standardInput;
        return Execute(launch);
    }
};

struct FormCase {
    const char* name;
    std::vector<std::string> args;
    const char* standardInput;
    int status;
    std::function<void(const fs::path& dir, const RunResult& run, const std::string& hi, const std::string& lo)> check;
};

void PrintTo(const FormCase& c, std::ostream* os)
{
    *os << c.name;
}

class FormTest : public NewFormsTest, public ::testing::WithParamInterface<FormCase> {};

TEST_P(FormTest, DoesWhatTheFormSays)
{
    const FormCase& c = GetParam();
    const RunResult run = Run(c.args, c.standardInput);
    EXPECT_EQ(run.exitCode, c.status) << "signal " << run.signal << "\n" << run.out << run.err;
    c.check(dir, run, hi, lo);
    if (std::string(c.name).find("InPlace") == std::string::npos) {
        EXPECT_EQ(Slurp(dir / "hi.jpg"), hi);  // inputs are never modified outside --in-place
    }
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, FormTest, ::testing::Values(
    FormCase{"SeveralOperandsIntoDirectory", {"-o", "{d}out", "{d}hi.jpg", "{d}lo.jpg", "{d}tree/"}, nullptr, 0,
        [](const fs::path& d, const RunResult& run, const std::string& hi, const std::string& lo) {
            EXPECT_LT(fs::file_size(d / "out/hi.jpg"), hi.size());
            EXPECT_EQ(Slurp(d / "out/lo.jpg"), lo);
            EXPECT_TRUE(IsCompleteJpeg(Bytes(d / "out/tree/c.jpg")));
            EXPECT_TRUE(Has(run.out, " Converting file: " + (d / "hi.jpg").string() + " To: " +
                                         (d / "out/hi.jpg").string() + " Reduced by: ")) << run.out;
            EXPECT_TRUE(Has(run.err, "3 files done (2 compressed, 1 kept), 0 failed")) << run.err;
        }},
    FormCase{"SameOutputRefused", {"-o", "{d}out", "{d}hi.jpg", "{d}sub/hi.jpg"}, nullptr, 2,
        [](const fs::path& d, const RunResult& run, const std::string&, const std::string&) {
            EXPECT_FALSE(fs::exists(d / "out"));
            EXPECT_TRUE(Has(run.err, "would both be written to '" + (d / "out/hi.jpg").string() + "'")) << run.err;
        }},
    FormCase{"InPlaceReplacesOnlyWhatShrinks", {"-i", "{d}hi.jpg", "{d}lo.jpg", "{d}link.jpg", "{d}hard.jpg"}, nullptr, 0,
        [](const fs::path& d, const RunResult& run, const std::string& hi, const std::string& lo) {
            EXPECT_LT(fs::file_size(d / "hi.jpg"), hi.size());
            EXPECT_TRUE(IsCompleteJpeg(Bytes(d / "hi.jpg")));
            EXPECT_EQ(fs::status(d / "hi.jpg").permissions(), fs::perms(0640));
            EXPECT_EQ(Slurp(d / "lo.jpg"), lo);
            EXPECT_TRUE(fs::is_symlink(d / "link.jpg"));
            EXPECT_LT(fs::file_size(d / "tree/c.jpg"), hi.size());
            EXPECT_EQ(Slurp(d / "hard.jpg"), hi);
            EXPECT_EQ(fs::hard_link_count(d / "hard.jpg"), 2u);
            EXPECT_TRUE(Has(run.out, "Skipped: it has 2 hard links")) << run.out;
            EXPECT_TRUE(Has(run.out, "Skipped: already compressed by this program at the same or a coarser level (quality 20)"))
                << run.out;
            EXPECT_TRUE(Has(run.err, "2 files done (2 compressed, 0 kept), 0 failed")) << run.err;
            EXPECT_TRUE(Has(run.err, "saved, 2 files skipped")) << run.err;
        }},
    FormCase{"InPlaceLeavesANonJpegAlone", {"-i", "{d}text.jpg"}, nullptr, 0,
        [](const fs::path& d, const RunResult& run, const std::string&, const std::string&) {
            EXPECT_EQ(Slurp(d / "text.jpg"), "not a picture");
            EXPECT_TRUE(Has(run.out, "Skipped: not a JPEG file")) << run.out;
        }},
    FormCase{"InPlaceLeavesLinksInADirectoryAlone", {"-i", "{d}linked"}, nullptr, 0,
        [](const fs::path& d, const RunResult& run, const std::string& hi, const std::string&) {
            EXPECT_EQ(Slurp(d / "hi.jpg"), hi);
            EXPECT_TRUE(Has(run.out, "Skipped: a link")) << run.out;
        }},
    FormCase{"InPlaceTwiceInOneRunRefused", {"-i", "{d}tree/c.jpg", "{d}tree"}, nullptr, 2,
        [](const fs::path& d, const RunResult& run, const std::string& hi, const std::string&) {
            EXPECT_EQ(Slurp(d / "tree/c.jpg"), hi);
            EXPECT_TRUE(Has(run.err, "lies inside")) << run.err;
        }},
    FormCase{"PipeToPipe", {"-", "-"}, "hi.jpg", 0,
        [](const fs::path&, const RunResult& run, const std::string& hi, const std::string&) {
            EXPECT_LT(run.out.size(), hi.size());
            EXPECT_TRUE(IsCompleteJpeg(std::vector<std::uint8_t>(run.out.begin(), run.out.end())));
            EXPECT_TRUE(Has(run.err, "Image Compressed by ")) << run.err;
        }},
    FormCase{"FileToStandardOutput", {"--stdout", "-l", "9", "{d}hi.jpg"}, nullptr, 0,
        [](const fs::path&, const RunResult& run, const std::string& hi, const std::string&) {
            EXPECT_LT(run.out.size(), hi.size());
            EXPECT_TRUE(Has(run.err, "at Compression Level 9")) << run.err;
        }},
    FormCase{"DirectoryToStreamRefused", {"{d}tree", "-"}, nullptr, 2,
        [](const fs::path&, const RunResult& run, const std::string&, const std::string&) {
            EXPECT_TRUE(run.out.empty());
        }},
    FormCase{"DryRunJsonReport", {"-n", "--report=json", "-o", "{d}out", "{d}hi.jpg", "{d}junk.jpg"}, nullptr, 1,
        [](const fs::path& d, const RunResult& run, const std::string& hi, const std::string&) {
            EXPECT_FALSE(fs::exists(d / "out"));
            const std::string first = run.out.substr(0, run.out.find('\n') + 1);
            EXPECT_EQ(first.rfind("{\"input\":\"" + (d / "hi.jpg").string() + "\",\"output\":\"" +
                                  (d / "out/hi.jpg").string() + "\",\"status\":\"compressed\",\"reason\":\"\","
                                  "\"bytes_in\":" + std::to_string(hi.size()) + ",\"bytes_out\":", 0), 0u) << first;
            EXPECT_TRUE(Has(first, ",\"level\":5,\"encoder\":\"standard\",\"options\":[],\"target_distance\":null,"
                                   "\"quality\":50,\"distance\":null}\n")) << first;
            EXPECT_TRUE(Has(run.out.substr(first.size()), "\"status\":\"failed\",\"reason\":\"damaged image data"))
                << run.out;
            EXPECT_TRUE(Has(run.err, "Start Processing...")) << run.err;
        }},
    // Kept and failed records give the sizes on disk and the reason, as their lines do.
    FormCase{"JsonReportOfKeptAndFailed", {"--report=json", "-l", "1", "-o", "{d}out", "{d}lo.jpg", "{d}junk.jpg"},
             nullptr, 1, [](const fs::path&, const RunResult& run, const std::string&, const std::string& lo) {
            const std::string size = std::to_string(lo.size());
            EXPECT_TRUE(Has(run.out, "\"status\":\"kept\",\"reason\":\"already compressed by this program at the same or a coarser level\",\"bytes_in\":" +
                                         size + ",\"bytes_out\":" + size + ",")) << run.out;
            EXPECT_TRUE(Has(run.out, "\"quality\":90,")) << run.out;
            EXPECT_TRUE(Has(run.out, "\"status\":\"failed\",\"reason\":\"damaged image data")) << run.out;
            EXPECT_TRUE(Has(run.out, "\"bytes_in\":6,\"bytes_out\":0,")) << run.out;
        }},
    // A name is bytes, JSON is UTF-8: a byte outside UTF-8 once made the record unreadable.
    FormCase{"JsonReportOfANameNotInUtf8", {"-n", "--report=json", "{d}hi.jpg", "{d}\xFF\"\xC3\xA9.jpg"}, nullptr, 0,
        [](const fs::path& d, const RunResult& run, const std::string&, const std::string&) {
            EXPECT_TRUE(Has(run.out, ",\"output\":\"" + d.string() + "/\\udcff\\\"\xC3\xA9.jpg\",")) << run.out;
            EXPECT_FALSE(fs::exists(d / "\xFF\"\xC3\xA9.jpg"));
        }},
    FormCase{"CsvReportOfASkip", {"--report=csv", "--report-file={d}r.csv", "-i", "--skip-below-quality=50", "{d}lo.jpg"},
             nullptr, 0,
        [](const fs::path& d, const RunResult&, const std::string&, const std::string& lo) {
            const std::string name = (d / "lo.jpg").string();
            EXPECT_EQ(Slurp(d / "r.csv"),
                      "input,output,status,reason,bytes_in,bytes_out,level,encoder,options,target_distance,quality,"
                      "distance\n" + name + "," + name + ",skipped,\"already compressed: quality 20, at or below 50\"," +
                      std::to_string(lo.size()) + "," + std::to_string(lo.size()) +
                          ",5,standard,skip-below-quality=50,,,\n");
        }},
    FormCase{"ReportOverAnInputRefused", {"--report=csv", "--report-file={d}hi.jpg", "-o", "{d}out", "{d}hi.jpg"},
             nullptr, 2, [](const fs::path&, const RunResult&, const std::string&, const std::string&) {}},
    // A directory operand's pictures are inputs too: the report once replaced one of them.
    FormCase{"ReportOverAPictureInADirectoryRefused", {"--report=csv", "--report-file={d}tree/c.jpg", "-i", "{d}tree"},
             nullptr, 2, [](const fs::path& d, const RunResult&, const std::string& hi, const std::string&) {
                 EXPECT_EQ(Slurp(d / "tree/c.jpg"), hi);
             }},
    // A report named as an output was replaced by it once the picture was written.
    FormCase{"ReportWhereAnOutputGoesRefused", {"--report=csv", "--report-file={d}out/hi.jpg", "-o", "{d}out", "{d}hi.jpg"},
             nullptr, 2, [](const fs::path& d, const RunResult&, const std::string&, const std::string&) {
                 EXPECT_FALSE(fs::exists(d / "out"));
             }},
    FormCase{"ReportInsideAnOutputTreeRefused", {"--report=json", "--report-file={d}tree-out/x.jpg", "{d}tree", "{d}tree-out"},
             nullptr, 2, [](const fs::path&, const RunResult&, const std::string&, const std::string&) {}},
    // Qt's image plugins, loaded by a worker thread, were torn down after it at exit: a heap use
    // after free (an abort now and then; valgrind reports it every time).
    FormCase{"NoPictureInAWorkerThread", {"-j2", "{d}mixed", "{d}mixed-out"}, nullptr, 1,
        [](const fs::path&, const RunResult& run, const std::string&, const std::string&) {
            EXPECT_TRUE(Has(run.err, "1 file done (1 compressed, 0 kept), 1 failed")) << run.err;
        }},
    FormCase{"MinSavingKeepsTheInput", {"--min-saving=99", "{d}hi.jpg", "{d}b.jpg"}, nullptr, 0,
        [](const fs::path& d, const RunResult&, const std::string& hi, const std::string&) {
            EXPECT_EQ(Slurp(d / "b.jpg"), hi);
        }},
    FormCase{"ProgressForcedOffTerminal", {"--progress", "-q", "-o", "{d}out", "{d}hi.jpg"}, nullptr, 0,
        [](const fs::path&, const RunResult& run, const std::string&, const std::string&) {
            EXPECT_TRUE(run.out.empty());
            EXPECT_TRUE(Has(run.err, "1/1 files 100%, ")) << run.err;
        }}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// On a terminal the progress line is cut to its width: a wrapped line left a row behind at every
// redraw, since '\r' clears only the last one.
TEST_F(NewFormsTest, ProgressLineFitsANarrowTerminal)
{
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 30;
    const std::string exe = TRAMBLIX_EXE, in = (dir / "tree").string(), out = (dir / "tree-out").string();
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(exe.c_str(), exe.c_str(), in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    char block[4096];
    for (ssize_t got; (got = ::read(terminal, block, sizeof block)) > 0 || (got < 0 && errno == EINTR);)
        seen.append(block, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    std::size_t drawn = 0;
    for (std::size_t end = seen.find("\x1b[K"); end != std::string::npos; end = seen.find("\x1b[K", end + 1)) {
        const std::size_t width = end - seen.rfind('\r', end) - 1;
        EXPECT_LT(width, 30u) << seen;
        drawn += width > 0 ? 1 : 0;
    }
    EXPECT_GT(drawn, 0u) << seen;
}

// Root in place replaces another user's file that its owner may write, and the owner stays; it
// was refused as write-protected.
TEST_F(NewFormsTest, InPlaceAsRootKeepsAnotherUsersFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ASSERT_EQ(::chown((dir / "hi.jpg").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Run({"-i", "{d}hi.jpg"}).exitCode, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "hi.jpg").c_str(), &st), 0);
    EXPECT_TRUE(st.st_uid == 65534 && st.st_size < static_cast<off_t>(hi.size()));
}

// A run killed at any point leaves every file either as it was or replaced whole; the next run
// clears what the killed one left and finishes the work.
TEST_F(NewFormsTest, InPlaceSurvivesAKill)
{
    std::vector<std::string> args = {"-i", "-j1"};
    for (int i = 0; i < 12; ++i) {
        WritePhoto(dir / "big" / ("p" + std::to_string(i) + ".jpg"), 640, 480, 97);
        args.push_back((dir / "big" / ("p" + std::to_string(i) + ".jpg")).string());
    }
    const std::string original = Slurp(dir / "big/p0.jpg");
    for (const std::size_t linesBeforeKill : {0u, 2u, 5u}) {
        const pid_t pid = test::Start(test::Tramblix(args, dir));
        for (int wait = 0; wait < 2000; ++wait) {
            const std::string out = Slurp(dir / "stdout");
            std::size_t lines = 0;
            for (std::size_t at = 0; (at = out.find("Converting", at)) != std::string::npos; ++at)
                ++lines;
            if (lines >= linesBeforeKill)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(pid, SIGKILL);
        test::Finish(pid, dir);
        for (const auto& entry : fs::directory_iterator(dir / "big")) {
            if (entry.path().extension() != ".jpg" || entry.path().filename().string()[0] == '.')
                continue;
            const std::string now = Slurp(entry.path());
            EXPECT_TRUE(now == original || (now.size() < original.size() &&
                                            IsCompleteJpeg(std::vector<std::uint8_t>(now.begin(), now.end()))))
                << entry.path();
        }
    }
    const RunResult finished = Execute(test::Tramblix(args, dir));
    EXPECT_EQ(finished.exitCode, 0) << finished.err;
    for (const auto& entry : fs::directory_iterator(dir / "big")) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
        EXPECT_LT(fs::file_size(entry.path()), original.size()) << entry.path();
    }
}

}  // namespace
