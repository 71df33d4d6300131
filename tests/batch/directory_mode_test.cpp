// The command-line tool's directory mode, run as a program.
#ifdef TRAMBLIX_EXE

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_tree.h"

namespace fs = std::filesystem;

namespace {

class DirectoryModeTest : public TempTree {
protected:
    struct Run {
        int status = -1;
        std::string out, err;
    };

    Run Tramblix(const std::vector<std::string>& args)
    {
        std::string command = "'" TRAMBLIX_EXE "'";
        for (const std::string& arg : args)
            command += " '" + arg + "'";
        command += " >'" + Path("stdout") + "' 2>'" + Path("stderr") + "' </dev/null";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp("stdout"), Slurp("stderr")};
    }

    std::string Slurp(const std::string& name)
    {
        std::ifstream in(root / name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void Copy(const std::string& corpusFile, const std::string& relative)
    {
        fs::create_directories((root / relative).parent_path());
        fs::copy_file(fs::path(TRAMBLIX_CORPUS_DIR) / corpusFile, root / relative);
    }
};

TEST_F(DirectoryModeTest, RefusedDirectoriesGiveTheMessagesAndStatusTwo)
{
    fs::create_directories(root / "in");
    const Run missing = Tramblix({Path("in"), ""});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("Please select an input and output directory"), std::string::npos);
    const Run same = Tramblix({Path("in"), Path("in") + "/"});
    EXPECT_EQ(same.status, 2);
    EXPECT_NE(same.err.find("Please select a unique output directory"), std::string::npos);
    EXPECT_TRUE(same.out.empty());
}

TEST_F(DirectoryModeTest, LogIsTheSameWithOneOrTwoJobsAndFailuresCount)
{
    if (!fs::exists(TRAMBLIX_CORPUS_DIR))
        GTEST_SKIP() << "corpus not found";
    Copy("tiny/jpg-size-3x3.jpg", "in/sub/small.jpg");
    Copy("photos/DSCN0010.jpg", "in/P.JPG");
    Copy("broken/missing-sos.jpg", "in/broken.jpg");
    const Run one = Tramblix({"--jobs", "1", "--level", "7", Path("in"), Path("out1")});
    const Run two = Tramblix({"-j2", "-l7", Path("in"), Path("out2")});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(two.status, 1);
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
    EXPECT_NE(one.err.find("2 files done, 1 failed"), std::string::npos) << one.err;
    EXPECT_FALSE(fs::exists(root / "out1" / "broken.jpg"));

    const Run quiet = Tramblix({"--quiet", "--no-recurse", Path("in"), Path("out3")});
    EXPECT_EQ(quiet.out, "Start Processing...\nEnd Processing...\n");
    EXPECT_NE(quiet.err.find("Failed: "), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "out3" / "sub"));
}

}  // namespace

#endif
