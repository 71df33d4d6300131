// The command-line tool's directory mode, run as a program.
#ifdef TRAMBLIX_EXE

#include <sys/wait.h>
#include <unistd.h>

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
    EXPECT_EQ(quiet.out, "");
    EXPECT_NE(quiet.err.find("Failed: "), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "out3" / "sub"));
}

// The exit status tells whether running again can help; a re-run over the same tree says the
// same. Quiet runs that succeed print nothing.
struct StatusCase {
    const char* name;
    const char* limits;  // shell commands run first
    const char* options;
    const char* list;  // when set, the --files-from list
    bool closedPipe;   // standard output a pipe nobody reads
    int status;
    const char* err;  // in standard error; "": nothing printed
};

class ExitStatusTest : public DirectoryModeTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatusTest, SaysWhetherARerunMayHelp)
{
    const StatusCase& c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (std::string(c.limits).find("ulimit -v") != std::string::npos)
        GTEST_SKIP() << "sanitizers reserve more address space than the limit";
#endif
    if (!fs::exists(TRAMBLIX_CORPUS_DIR))
        GTEST_SKIP() << "corpus not found";
    Copy("photos/DSCN0010.jpg", "in/a.jpg");
    Copy("tiny/jpg-size-3x3.jpg", "in/sub/b.jpg");
    if (c.status == 1)
        Copy("broken/missing-sos.jpg", "in/broken.jpg");
    for (const char* copy : {"in/a.jpg", "in/sub/b.jpg"})  // outputs get these rights, and are replaced
        fs::permissions(root / copy, fs::perms::owner_write, fs::perm_options::add);
    std::string command = std::string(c.limits) + " '" TRAMBLIX_EXE "' " + c.options;
    if (c.list) {
        std::ofstream(root / "list", std::ios::binary) << c.list;
        command += " --files-from='" + Path("list") + "'";
    }
    command += " '" + Path("in") + "' '" + Path("out") + "' 2>'" + Path("stderr") + "'";
    for (int run = 0; run < 2; ++run) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        ::close(pipeFds[0]);  // nobody reads
        const std::string out = c.closedPipe ? " >&" + std::to_string(pipeFds[1]) : " >'" + Path("stdout") + "'";
        const int raw = std::system(("bash -c \"" + command + out + "\" </dev/null").c_str());
        ::close(pipeFds[1]);
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == c.status) << run << ": " << raw << Slurp("stderr");
        if (*c.err == '\0')
            EXPECT_EQ(Slurp("stderr") + Slurp("stdout"), "") << run;
        else
            EXPECT_NE(Slurp("stderr").find(c.err), std::string::npos) << run << ": " << Slurp("stderr");
    }
    EXPECT_EQ(fs::exists(root / "out/a.jpg"), c.status < 2) << "a stopped run starts no file";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ExitStatusTest,
    ::testing::Values(StatusCase{"QuietSuccess", "", "-q --skip-existing", nullptr, false, 0, ""},
                      StatusCase{"OnlyDamagedInputs", "", "-q --skip-existing", nullptr, false, 1, "1 failed,"},
                      StatusCase{"CrlfList", "", "-q", "a.jpg\r\nsub/b.jpg\r\n", false, 0, ""},
                      StatusCase{"WriteErrors", "ulimit -f 1;", "-q", nullptr, false, 3, "(File too large)"},
                      StatusCase{"BrokenPipe", "", "", nullptr, true, 3, "tramblix: write error: Broken pipe\n"},
                      StatusCase{"NoThreadCanStart", "ulimit -v 4000000; ulimit -s 6000000;", "-j2", nullptr, false, 0,
                                 "warning: Ctrl-C will stop at once"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif
