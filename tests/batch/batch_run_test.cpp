#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "batch/batch_run.h"
#include "test_tree.h"
#include "tests/support/jpeg_helpers.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

struct CheckCase {
    const char* input;  // relative to the scratch tree, "" stays empty
    const char* output;
    DirectoryCheck expected;
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << "'" << c.input << "' -> '" << c.output << "'";
}

class CheckDirectoriesTest : public TempTree, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckDirectoriesTest, Refuses)
{
    File("in/sub/a.jpg");
    File("file.jpg");
    fs::create_directory_symlink(root / "in", root / "alias");
    fs::create_directories(root / "in/empty");
    for (const char* dir : {"in/marked/", "in/linked/", "in/dir/"})
        File(std::string(dir) + "x.jpg");
    File("in/marked/.tramblix-output");
    fs::create_symlink(root / "in/marked/.tramblix-output", root / "in/linked/.tramblix-output");
    fs::create_directories(root / "in/dir/.tramblix-output");
    const CheckCase& c = GetParam();
    auto place = [&](const std::string& text) { return text.empty() ? text : Path(text); };
    EXPECT_EQ(CheckDirectories(place(c.input), place(c.output)), c.expected) << c.input << " -> " << c.output;
}

INSTANTIATE_TEST_SUITE_P(Pairs, CheckDirectoriesTest,
                         ::testing::Values(CheckCase{"", "out", DirectoryCheck::Missing},
                                           CheckCase{"in", "", DirectoryCheck::Missing},
                                           CheckCase{"in", "IN/", DirectoryCheck::Same},  // text, even before it exists
                                           CheckCase{"in", "alias", DirectoryCheck::Same},      // a link to it
                                           CheckCase{"in/sub/..", "in", DirectoryCheck::Same},  // another spelling
                                           CheckCase{"in", "file.jpg", DirectoryCheck::OutputNotDirectory},
                                           CheckCase{"in/sub", "in", DirectoryCheck::OutputHoldsInput},
                                           CheckCase{"in", "in/sub/out", DirectoryCheck::Ok},  // skipped by the walk
                                           CheckCase{"in", "in/empty", DirectoryCheck::Ok},
                                           CheckCase{"in", "in/marked/", DirectoryCheck::Ok},
                                           CheckCase{"in", "in/sub", DirectoryCheck::OutputInsideInput},
                                           CheckCase{"alias", "in/sub", DirectoryCheck::OutputInsideInput},
                                           CheckCase{"in", "alias/sub", DirectoryCheck::OutputInsideInput},
                                           CheckCase{"in", "in/linked", DirectoryCheck::OutputInsideInput},
                                           CheckCase{"in", "in/dir", DirectoryCheck::OutputInsideInput},
                                           CheckCase{"in", "new/out", DirectoryCheck::Ok}));

TEST(LogLines, ExactTexts)
{
    EXPECT_EQ(ReducedLine("/in/sub/p.jpg", "/out/sub/p.jpg", 50000, 39760),
              " Converting file: /in/sub/p.jpg To: /out/sub/p.jpg Reduced by: 10240 Bytes");
    EXPECT_EQ(ReducedLine("a", "b", 0, 7), " Converting file: a To: b Reduced by: -7 Bytes");
    EXPECT_EQ(FailedLine("a", "b", "damaged image data"), " Converting file: a To: b Failed: damaged image data");
    EXPECT_EQ(UnreadableDirectoryLine("/in/x"), " Cannot read directory: /in/x");
}

class ProcessFoundFileTest : public TempTree {
protected:
    FileSettings Settings() { return {Path("in") + "/", Path("out") + "/", 7, 2, {1}}; }
    int calls = 0;
    CompressFunction Fake(CompressStatus status)
    {
        return [this, status](const fs::path& in, const fs::path& out, CompressionLevel level, FilterStrength ai,
                              const EngineOptions& engine) {
            ++calls;
            EXPECT_EQ(level, 7u);
            EXPECT_EQ(ai, 2);
            EXPECT_EQ(engine.threads, 1u);
            EXPECT_TRUE(fs::is_directory(out.parent_path()));
            CompressOutcome outcome{status, fs::file_size(in), 3, false, {}};
            return outcome;
        };
    }
};

TEST_F(ProcessFoundFileTest, ReportsReductionOrFailureInTheMirroredPlace)
{
    const std::string input = File("in/sub/a.jpg", "0123456789");
    const FileReport done = ProcessFoundFile(input, Settings(), Fake(CompressStatus::Ok));
    EXPECT_EQ(done.outcome, FileReport::Outcome::Done);
    EXPECT_EQ(done.line, ReducedLine(input, Path("out/sub/a.jpg"), 10, 3));
    const FileReport failed = ProcessFoundFile(input, Settings(), Fake(CompressStatus::NotAnImage));
    EXPECT_EQ(failed.outcome, FileReport::Outcome::Failed);
    EXPECT_EQ(failed.line, FailedLine(input, Path("out/sub/a.jpg"), "not a decodable image"));
}

// A file gone since it was listed fails with its line, may be retried, and its old output stays.
TEST_F(ProcessFoundFileTest, VanishedFileFailsWithItsLine)
{
    File("out/gone.jpg", "old");
    const FileReport report = ProcessFoundFile(Path("in/gone.jpg"), Settings(), Fake(CompressStatus::Ok));
    EXPECT_EQ(report.line, FailedLine(Path("in/gone.jpg"), Path("out/gone.jpg"),
                                      std::string("gone before it was read").append(kOldOutputLeftPiece)));
    EXPECT_TRUE(report.retryable);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(fs::file_size(root / "out/gone.jpg"), 3u);
}

// Parts of a run that start at once all take the output directory they make inside the input.
TEST_F(ProcessFoundFileTest, OutputInsideInputIsMadeAndMarkedOnce)
{
    File("in/a.jpg");
    std::vector<std::thread> parts;
    std::atomic<int> taken{0};
    for (int i = 0; i < 8; ++i)
        parts.emplace_back(
            [&] { taken += ClaimOutputDirectory(Path("in"), Path("in/new/out")) == DirectoryCheck::Ok; });
    for (std::thread& part : parts)
        part.join();
    EXPECT_EQ(taken.load(), 8);
    EXPECT_TRUE(fs::is_regular_file(root / "in/new/out/.tramblix-output"));
    EXPECT_EQ(CheckDirectories(Path("in"), Path("in/new/out")), DirectoryCheck::Ok);
}

TEST_F(ProcessFoundFileTest, OutputDirectoryThatCannotBeMadeFailsWithoutCompressing)
{
    const std::string input = File("in/sub/a.jpg");
    File("out/sub");  // a file where the directory should go
    const FileReport report = ProcessFoundFile(input, Settings(), Fake(CompressStatus::Ok));
    EXPECT_EQ(report.line, FailedLine(input, Path("out/sub/a.jpg"), "cannot write the output file (Not a directory)"));
    EXPECT_EQ(calls, 0);
}

// With the real engine: an old, larger output is replaced and the figures are the files' own.
TEST_F(ProcessFoundFileTest, RealEngineReplacesAnOldOutput)
{
    const test::Bytes photo = test::PhotoLike(640, 480);
    File("in/p.jpg", std::string(photo.begin(), photo.end()));
    File("out/p.jpg", std::string(3 * photo.size(), 'z'));
    FileSettings settings = Settings();
    settings.level = 8;
    const FileReport report = ProcessFoundFile(Path("in/p.jpg"), settings);
    ASSERT_EQ(report.outcome, FileReport::Outcome::Done) << report.line;
    EXPECT_EQ(report.inputSize, photo.size());
    EXPECT_EQ(report.outputSize, fs::file_size(root / "out" / "p.jpg"));
    EXPECT_LT(report.outputSize, report.inputSize);
}

}  // namespace
