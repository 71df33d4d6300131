#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "batch/placement.h"
#include "test_tree.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

struct PlacementCase {
    const char* inputBase;
    const char* outputBase;
    const char* file;
    const char* expectedFile;
    const char* expectedDirectory;
};

void PrintTo(const PlacementCase& c, std::ostream* os)
{
    *os << c.file << " from " << c.inputBase << " to " << c.outputBase;
}

class PlacementTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(PlacementTest, MirrorsTheInputTree)
{
    const PlacementCase& c = GetParam();
    const OutputLocation location = OutputLocationOf(c.file, c.inputBase, c.outputBase);
    EXPECT_EQ(location.file, c.expectedFile);
    EXPECT_EQ(location.directory, c.expectedDirectory);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PlacementTest,
    ::testing::Values(PlacementCase{"/in/", "/out/", "/in/sub/deep/p.jpg", "/out/sub/deep/p.jpg", "/out/sub/deep"},
                      PlacementCase{"/in/", "/out/", "/in/q.jpg", "/out/q.jpg", "/out"},
                      PlacementCase{"/in/", "/out//", "/in/q.jpg", "/out/q.jpg", "/out"},
                      PlacementCase{"/in/", "/out//x///", "/in/s/q.jpg", "/out/x//s/q.jpg", "/out/x//s"},
                      PlacementCase{"/in//", "/out/", "/in//sub/q.jpg", "/out/sub/q.jpg", "/out/sub"},
                      PlacementCase{"/", "/out/", "/a/b.jpg", "/out/a/b.jpg", "/out/a"},
                      PlacementCase{"/in/", "/", "/in/q.jpg", "/q.jpg", "/"}));

class CreateDirectoryPathTest : public TempTree {};

TEST_F(CreateDirectoryPathTest, CreatesMissingLevelsKeepsExistingOnesFailsOnAFile)
{
    const std::string kept = File("out/kept.jpg");
    EXPECT_FALSE(CreateDirectoryPath(root / "out" / "sub" / "deep"));
    EXPECT_TRUE(fs::is_directory(root / "out" / "sub" / "deep"));
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_FALSE(CreateDirectoryPath(root / "out" / "sub"));
    File("out/blocker");
    EXPECT_TRUE(CreateDirectoryPath(root / "out" / "blocker" / "deep"));
    EXPECT_TRUE(CreateDirectoryPath(root / "out" / "blocker"));
}

// Under umask 000 a mirrored directory gets its source's rights, sticky bit included.
class MirroredModeTest : public TempTree, public ::testing::WithParamInterface<std::pair<unsigned, unsigned>> {};

TEST_P(MirroredModeTest, FollowsTheSource)
{
    const auto [source, expected] = GetParam();
    fs::create_directories(root / "in" / "sub");
    ASSERT_EQ(::chmod(Path("in/sub").c_str(), source), 0);
    const mode_t mask = ::umask(0);
    const std::error_code error = CreateOutputDirectory(Path("in/"), Path("out/"), "sub/", nullptr);
    ::umask(mask);
    ASSERT_FALSE(error) << error.message();
    struct stat st {};
    ASSERT_EQ(::stat(Path("out/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, MirroredModeTest,
                         ::testing::Values(std::pair{01777u, 01777u}, std::pair{0777u, 0777u}, std::pair{0750u, 0750u},
                                           std::pair{0555u, 0755u}));

}  // namespace
