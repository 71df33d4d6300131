// Directory-run options: extensions, skipping done files, shards, file lists, and the
// command-line tool's new options.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch/runner.h"
#include "batch/walk.h"
#include "engine/codec.h"
#include "engine/file_io.h"
#include "engine/preview.h"
#include "test_tree.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

class RunOptionsTest : public TempTree {
protected:
    // Runs with work that only records the files it is given; returns the log lines.
    std::vector<std::string> Run(const BatchSettings& settings, std::vector<std::string>* files = nullptr)
    {
        std::vector<std::string> lines;
        BatchRunner runner(settings, {[&](const LogLine& line) { lines.push_back(line.text); }, {}},
                           [&](const std::string& file, const EngineOptions&) {
                               return FileReport{FileReport::Outcome::Done, 10, 4, file};
                           });
        runner.Run();
        lines.erase(lines.begin());  // start and end lines
        lines.pop_back();
        if (files)
            *files = lines;
        return lines;
    }

    BatchSettings Settings()
    {
        BatchSettings settings;
        settings.inputDirectory = Path("in");
        settings.outputDirectory = Path("out");
        settings.jobs = 2;
        return settings;
    }

    // A real JPEG, so the real work can run on it.
    void Photo(const std::string& relative)
    {
        DecodedImage image;
        image.pixels = Image(32, 32, 3);
        std::mt19937 random(3);
        for (auto& sample : image.pixels.data)
            sample = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(EncodeJpeg(image, 95, bytes));
        File(relative, std::string(bytes.begin(), bytes.end()));
    }
};

TEST_F(RunOptionsTest, ExtensionsPickFilesWithoutRegardToCase)
{
    for (const char* name : {"a.jpg", "b.JPEG", "c.jpe", "d.png", "e.Jfif", "f.jpeg.png"})
        File(std::string("in/") + name);
    BatchSettings settings = Settings();
    settings.extensions = {"jpg", "jpeg"};
    EXPECT_EQ(Run(settings), (std::vector<std::string>{Path("in/a.jpg"), Path("in/b.JPEG")}));
    settings.extensions = {"jfif", "jpe"};
    EXPECT_EQ(Run(settings), (std::vector<std::string>{Path("in/c.jpe"), Path("in/e.Jfif")}));
}

// The parts are disjoint, together the whole run, each in walk order; a file added elsewhere
// moves no other file to another part.
TEST_F(RunOptionsTest, ShardsAreDisjointAndComplete)
{
    std::mt19937 random(11);
    for (int i = 0; i < 60; ++i)
        File("in/" + std::string(1, static_cast<char>('a' + random() % 3)) + "/" + std::to_string(i) + ".jpg");
    BatchSettings settings = Settings();
    const std::vector<std::string> whole = Run(settings);
    ASSERT_EQ(whole.size(), 60u);

    std::vector<std::vector<std::string>> parts(3);
    std::multiset<std::string> all;
    settings.shardCount = 3;
    for (unsigned k = 0; k < 3; ++k) {
        settings.shardIndex = k;
        parts[k] = Run(settings);
        EXPECT_GT(parts[k].size(), 5u);
        EXPECT_TRUE(std::includes(whole.begin(), whole.end(), parts[k].begin(), parts[k].end(),
                                  [&](const std::string& a, const std::string& b) {
                                      return std::find(whole.begin(), whole.end(), a) <
                                             std::find(whole.begin(), whole.end(), b);
                                  }));
        all.insert(parts[k].begin(), parts[k].end());
    }
    EXPECT_EQ(all, std::multiset<std::string>(whole.begin(), whole.end()));

    File("in/new/extra.jpg");
    for (unsigned k = 0; k < 3; ++k) {
        settings.shardIndex = k;
        std::vector<std::string> again = Run(settings);
        std::erase(again, Path("in/new/extra.jpg"));
        EXPECT_EQ(again, parts[k]);
    }
}

// Listed files run in walk order, once each; what the run cannot take fails with its reason.
TEST_F(RunOptionsTest, FilesFromTakesListedFilesOnly)
{
    for (const char* name : {"in/a.jpg", "in/sub/b.jpg", "in/c.jpg", "in/d.png", "elsewhere.jpg"})
        File(name);
    BatchSettings settings = Settings();
    settings.files = std::vector<std::string>{"sub/b.jpg", Path("in/a.jpg"), "./sub//b.jpg", Path("elsewhere.jpg"),
                                              "../elsewhere.jpg", "missing.jpg", "d.png"};
    const std::vector<std::string> lines = Run(settings);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], Path("in/sub/b.jpg"));
    EXPECT_EQ(lines[1], Path("in/a.jpg"));
    for (std::size_t i : {2, 3})
        EXPECT_NE(lines[i].find("Failed: outside the input directory"), std::string::npos) << lines[i];
    EXPECT_NE(lines[4].find("missing.jpg To: " + Path("out/missing.jpg") + " Failed: cannot read the input file"),
              std::string::npos)
        << lines[4];
    EXPECT_NE(lines[5].find("Failed: not a file name the run takes (extensions: jpg)"), std::string::npos);
}

// Outputs not older than their inputs are left alone, also when they carry the input's times.
TEST_F(RunOptionsTest, SkipExistingRedoesOnlyStaleOutputs)
{
    Photo("in/a.jpg");
    Photo("in/b.jpg");
    BatchSettings settings = Settings();
    settings.keepFileDates = true;
    std::vector<std::string> lines;
    auto run = [&] {
        lines.clear();
        BatchRunner runner(settings, {[&](const LogLine& line) { lines.push_back(line.text); }, {}});
        return runner.Run();
    };
    EXPECT_EQ(run().filesDone, 2u);
    const timespec later[2] = {{0, UTIME_OMIT}, {4000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path("in/b.jpg").c_str(), later, 0), 0);
    settings.skipExisting = true;
    const BatchProgress second = run();
    EXPECT_EQ(second.filesDone, 1u);
    EXPECT_EQ(second.filesUpToDate, 1u);
    EXPECT_EQ(lines[1], " Converting file: " + Path("in/a.jpg") + " To: " + Path("out/a.jpg") +
                            " Skipped: output is up to date");
    EXPECT_NE(lines[2].find("Reduced by:"), std::string::npos) << lines[2];
}

#ifdef TRAMBLIX_EXE

struct CliResult {
    int status = -1;
    std::string out, err;
};

class CliOptionsTest : public RunOptionsTest {
protected:
    CliResult Tramblix(const std::string& args, const std::string& input = "/dev/null")
    {
        const std::string command = "'" TRAMBLIX_EXE "' " + args + " >'" + Path("stdout") + "' 2>'" + Path("stderr") +
                                    "' <'" + input + "'";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp("stdout"), Slurp("stderr")};
    }

    std::string Slurp(const std::string& name)
    {
        std::ifstream in(root / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(CliOptionsTest, ContradictionsAreUsageErrors)
{
    Photo("in/a.jpg");
    for (const char* args : {"--extensions=png", "-x jpg,", "--shard=3/3", "--shard=1", "--shard=-1/2",
                             "--lossless -a 1", "--lossless --encoder=efficient", "-0", "--files-from="}) {
        const CliResult run = Tramblix(std::string(args) + " in out");
        EXPECT_EQ(run.status, 2) << args << ": " << run.err;
        EXPECT_NE(run.err.find("Try 'tramblix --help'"), std::string::npos) << args;
    }
    EXPECT_EQ(Tramblix("--files-from=nowhere.txt '" + Path("in") + "' '" + Path("out") + "'").status, 2);
    EXPECT_FALSE(fs::exists(Path("out/a.jpg")));
}

// --lossless keeps every pixel, --strip keeps the orientation, -p the times, and a NUL-separated
// list on standard input picks the files.
TEST_F(CliOptionsTest, OptionsReachTheFiles)
{
    Photo("in/a.jpg");
    Photo("in/b.jpg");
    const timespec old[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path("in/a.jpg").c_str(), old, 0), 0);
    std::ofstream(Path("list"), std::ios::binary) << "a.jpg" << '\0';
    const CliResult run =
        Tramblix("--lossless -p --files-from=- -0 '" + Path("in") + "' '" + Path("out") + "'", Path("list"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fs::exists(Path("out/b.jpg")));
    std::vector<std::uint8_t> in, out;
    ASSERT_EQ(ReadWholeFile(Path("in/a.jpg"), in), ReadStatus::Ok);
    ASSERT_EQ(ReadWholeFile(Path("out/a.jpg"), out), ReadStatus::Ok);
    DecodedImage before, after;
    ASSERT_EQ(DecodeJpeg(in, before), DecodeStatus::Ok);
    ASSERT_EQ(DecodeJpeg(out, after), DecodeStatus::Ok);
    EXPECT_EQ(after.pixels.data, before.pixels.data);
    FileTimes times;
    ASSERT_TRUE(FileTimesOf(Path("out/a.jpg"), times));
    EXPECT_EQ(times.modifySeconds, 1100000000);

    const std::vector<std::uint8_t> exif{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                                         0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
    before.markers = {{0xE1, exif}, {0xFE, {'h', 'i'}}};
    ASSERT_TRUE(EncodeJpeg(before, 95, in));
    File("sideways.jpg", std::string(in.begin(), in.end()));
    EXPECT_EQ(Tramblix("--strip '" + Path("sideways.jpg") + "' '" + Path("stripped.jpg") + "'").status, 0);
    ASSERT_EQ(ReadWholeFile(Path("stripped.jpg"), out), ReadStatus::Ok);
    EXPECT_EQ(JpegExifOrientation(out), 6);
    ASSERT_EQ(DecodeJpeg(out, after), DecodeStatus::Ok);
    ASSERT_EQ(after.markers.size(), 1u);  // the comment is gone
    EXPECT_EQ(after.markers[0].bytes.size(), exif.size());
}

#endif

}  // namespace
