// Directory-run options: extensions, skipping done files, shards, file lists.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch/runner.h"
#include "engine/codec.h"
#include "engine/file_io.h"
#include "test_tree.h"

using namespace tramblix;

namespace {

class RunOptionsTest : public TempTree {
protected:
    // The log lines between start and end, with work that only records each file.
    std::vector<std::string> Run(const std::function<void(BatchSettings&)>& set = {})
    {
        BatchSettings settings;
        if (set)
            set(settings);
        settings.inputDirectory = Path("in");
        settings.outputDirectory = Path("out");
        std::vector<std::string> lines;
        BatchRunner(settings, {[&](const LogLine& line) { lines.push_back(line.text); }, {}},
                    [](const std::string& file, const EngineOptions&) {
                        return FileReport{FileReport::Outcome::Done, 10, 4, false, file};
                    })
            .Run();
        return std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
    }
};

TEST_F(RunOptionsTest, ExtensionsPickFilesWithoutRegardToCase)
{
    for (const char* name : {"a.jpg", "b.JPEG", "c.jpe", "d.png", "e.Jfif", "f.jpeg.png"})
        File(std::string("in/") + name);
    const std::vector<std::string> lines = Run([](BatchSettings& s) { s.extensions = {"jpg", "jpeg"}; });
    EXPECT_EQ(lines, (std::vector<std::string>{Path("in/a.jpg"), Path("in/b.JPEG")}));
}

// Disjoint parts, together the whole run, each in walk order; a file added elsewhere moves no
// other file to another part.
TEST_F(RunOptionsTest, ShardsAreDisjointAndComplete)
{
    for (int i = 0; i < 60; ++i)
        File("in/" + std::string(1, static_cast<char>('a' + i * 7 % 3)) + "/" + std::to_string(i) + ".jpg");
    const std::vector<std::string> whole = Run();
    std::vector<std::vector<std::string>> parts;
    std::vector<std::string> merged;
    for (unsigned k = 0; k < 3; ++k) {
        parts.push_back(Run([k](BatchSettings& s) { s.shardIndex = k, s.shardCount = 3; }));
        EXPECT_GT(parts[k].size(), 5u);
        EXPECT_TRUE(std::is_sorted(parts[k].begin(), parts[k].end(), [&](const auto& a, const auto& b) {
            return std::find(whole.begin(), whole.end(), a) < std::find(whole.begin(), whole.end(), b);
        }));
        merged.insert(merged.end(), parts[k].begin(), parts[k].end());
    }
    EXPECT_EQ(std::multiset<std::string>(merged.begin(), merged.end()),
              std::multiset<std::string>(whole.begin(), whole.end()));
    File("in/new/extra.jpg");
    for (unsigned k = 0; k < 3; ++k) {
        std::vector<std::string> again = Run([k](BatchSettings& s) { s.shardIndex = k, s.shardCount = 3; });
        std::erase(again, Path("in/new/extra.jpg"));
        EXPECT_EQ(again, parts[k]);
    }
}

// Listed files run in walk order, once each; what the run cannot take fails with its reason.
TEST_F(RunOptionsTest, FilesFromTakesListedFilesOnly)
{
    for (const char* name : {"in/a.jpg", "in/sub/b.jpg", "in/c.jpg", "in/d.png", "elsewhere.jpg"})
        File(name);
    const std::vector<std::string> list{"sub/b.jpg",        Path("in/a.jpg"), "./sub//b.jpg", Path("elsewhere.jpg"),
                                        "../elsewhere.jpg", "missing.jpg",    "d.png"};
    const std::vector<std::string> lines = Run([&](BatchSettings& s) { s.files = list; });
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0] + lines[1], Path("in/sub/b.jpg") + Path("in/a.jpg"));
    const char* reasons[] = {"outside the input directory", "outside the input directory", "cannot read the input file",
                             "not a file name the run takes (extensions: jpg)"};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_NE(lines[i + 2].find(reasons[i]), std::string::npos) << lines[i + 2];
}

// Outputs not older than their inputs (the same time, as -p gives them) are left alone.
TEST_F(RunOptionsTest, SkipExistingRedoesOnlyStaleOutputs)
{
    const timespec then[2] = {{0, UTIME_OMIT}, {1000000000, 0}}, before[2] = {{0, UTIME_OMIT}, {999999999, 0}};
    std::vector<std::uint8_t> photo;
    ASSERT_TRUE(EncodeJpeg(DecodedImage{Image(16, 16, 3), {}, {}, {}, {}}, 95, photo));
    for (const char* name : {"in/a.jpg", "in/b.jpg", "out/a.jpg", "out/b.jpg"})
        ASSERT_EQ(::utimensat(AT_FDCWD, File(name, std::string(photo.begin(), photo.end())).c_str(),
                              std::string(name) == "out/b.jpg" ? before : then, 0),
                  0);
    const std::vector<std::string> lines = Run([](BatchSettings& s) { s.skipExisting = true; });
    EXPECT_EQ(lines, (std::vector<std::string>{" Converting file: " + Path("in/a.jpg") + " To: " + Path("out/a.jpg") +
                                                   " Skipped: output is up to date",
                                               Path("in/b.jpg")}));
}

}  // namespace
