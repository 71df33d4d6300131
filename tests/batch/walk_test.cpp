#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "batch/walk.h"
#include "test_tree.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

class MaskTest : public ::testing::TestWithParam<std::tuple<const char*, const char*, bool>> {};

TEST_P(MaskTest, Matches)
{
    const auto [name, mask, expected] = GetParam();
    EXPECT_EQ(MatchesMask(name, mask), expected) << name << " against " << mask;
}

INSTANTIATE_TEST_SUITE_P(
    Names, MaskTest,
    ::testing::Values(std::make_tuple("A.JPG", "*.jpg", true), std::make_tuple(".jpg", "*.jpg", true),
                      std::make_tuple("x.jpg.jpg", "*.jpg", true), std::make_tuple("a.jpeg", "*.jpg", false),
                      std::make_tuple("a.jpg.bak", "*.jpg", false), std::make_tuple("ajpg", "*.jpg", false),
                      std::make_tuple("bb.jpg", "?.jpg", false), std::make_tuple("photo-2.JpG", "photo*.jpg", true)));

class WalkTest : public TempTree {
protected:
    void SetUp() override
    {
        TempTree::SetUp();
        for (const char* name : {"a.jpg", "B.JPG", ".hidden.jpg", "c.jpeg", "notes.txt", "sub/b.jpg", "sub/deep/d.jpg",
                                 "sub2/e.jpg", "photos.jpg/x.jpg", "out/old.jpg", "sub/.jpg"})
            File(name);
        fs::create_directory_symlink(root, root / "loop");               // never followed
        fs::create_directory_symlink(root / "sub", root / "dir.jpg");    // never handed over
        fs::create_symlink(root / "a.jpg", root / "sub2" / "link.jpg");  // processed
    }

    std::vector<std::string> Walked(WalkOptions options, bool* complete = nullptr)
    {
        std::vector<std::string> files;
        const bool result = WalkDirectory(root.string(), options, [&](const std::string& file) {
            files.push_back(file.substr(root.string().size() + 1));
        });
        if (complete)
            *complete = result;
        return files;
    }
};

TEST_F(WalkTest, SubDirectoriesComeFirstInNameOrder)
{
    const std::vector<std::string> expected{"out/old.jpg", "photos.jpg/x.jpg", "sub/deep/d.jpg", "sub/b.jpg",
                                            "sub2/e.jpg",  "sub2/link.jpg",    ".hidden.jpg",    "B.JPG",
                                            "a.jpg"};
    bool complete = false;
    EXPECT_EQ(Walked({}, &complete), expected);
    EXPECT_TRUE(complete);
}

// The output directory, known by its identity alone, and links to directories are named with the reason.
TEST_F(WalkTest, LeftOutDirectoriesAreNamed)
{
    std::error_code ec;
    WalkOptions options;
    options.skipIds = {DirectoryHandle::Open(root / "out", ec).Id()};
    std::string skipped;
    options.skipped = [&](const std::string& directory, std::string_view why) {
        skipped += fs::path(directory).filename().string() + ": " + std::string(why) + "; ";
    };
    EXPECT_EQ(Walked(options).front(), "photos.jpg/x.jpg");
    EXPECT_EQ(skipped,
              "dir.jpg: a link to a directory, not followed; loop: a link to a directory, not followed; "
              "out: the output directory; ");
}

TEST_F(WalkTest, NoRecursionHandsOverOnlyTheTopFiles)
{
    WalkOptions options;
    options.recurse = false;
    EXPECT_EQ(Walked(options), (std::vector<std::string>{".hidden.jpg", "B.JPG", "a.jpg"}));
}

TEST(WalkRoot, FilesystemRootGivesSingleSeparatorPaths)
{
    WalkOptions options;
    options.lister = [](const fs::path& directory, std::vector<ListedEntry>& entries) {
        if (directory == "/")
            entries = {{"z.jpg", EntryKind::Other}, {"d", EntryKind::Directory}};
        else if (directory == "/d")
            entries = {{"b.jpg", EntryKind::Other}};
        else
            return std::make_error_code(std::errc::no_such_file_or_directory);
        return std::error_code();
    };
    std::vector<std::string> files;
    EXPECT_TRUE(WalkDirectory("", options, [&](const std::string& file) { files.push_back(file); }));
    EXPECT_EQ(files, (std::vector<std::string>{"/d/b.jpg", "/z.jpg"}));
}

}  // namespace
