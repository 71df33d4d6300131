#pragma once

// Helpers for the fault tests: scratch trees, test pictures, running the real `tramblix` with
// limits or inside a private mount, and the rules every run must keep whatever goes wrong.

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "tests/support/scratch_dir.h"

namespace tramblix::faults {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void Put(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// A photo-like picture (texture and noise) at high quality, so re-encoding makes it smaller.
inline std::string Photo(int width, int height, unsigned seed = 1)
{
    DecodedImage image;
    image.pixels = Image(width, height, 3);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            image.pixels.row(y)[x] = static_cast<std::uint8_t>((x * 3 + y * 2) % 180 + random() % 60);
    Bytes jpeg;
    EncodeJpeg(image, 95, jpeg);
    return Text(jpeg);
}

// Every regular file under `root`, by path relative to it, with its bytes.
using Tree = std::map<std::string, std::string>;

inline Tree Snapshot(const fs::path& root)
{
    Tree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->path().native().size() >= PATH_MAX)  // out of reach by path: a test's deep tree
            it.disable_recursion_pending();
        else if (std::error_code type; it->is_regular_file(type))
            tree[fs::relative(it->path(), root).string()] = Slurp(it->path());
    }
    return tree;
}

inline bool IsTemporary(const std::string& relative)
{
    const std::string name = fs::path(relative).filename().string();
    return name != ".tramblix-output" && (name.find(".tramblix-") != std::string::npos || name.ends_with(".tmp"));
}

// What must hold after any run, failed or not: the inputs are byte-for-byte as they were, no
// temporary file is left beside an output, and every output is no larger than its input and
// either a JPEG that decodes cleanly or an exact copy of the input.
inline void ExpectNoHarm(const Tree& inputsBefore, const fs::path& inputRoot, const fs::path& outputRoot)
{
    const Tree inputsAfter = Snapshot(inputRoot);
    for (const auto& [name, bytes] : inputsBefore) {
        const auto after = inputsAfter.find(name);
        ASSERT_NE(after, inputsAfter.end()) << "input removed: " << name;
        EXPECT_TRUE(after->second == bytes) << "input changed: " << name;
    }
    for (const auto& [name, bytes] : inputsAfter)
        EXPECT_FALSE(IsTemporary(name)) << "left in the input tree: " << name;
    for (const auto& [name, bytes] : Snapshot(outputRoot)) {
        EXPECT_FALSE(IsTemporary(name)) << "temporary file left: " << name;
        const auto input = inputsBefore.find(name);
        if (input == inputsBefore.end())
            continue;  // not an output of ours (a file the test put there)
        EXPECT_LE(bytes.size(), input->second.size()) << "output larger than its input: " << name;
        if (bytes == input->second)
            continue;
        DecodedImage decoded;
        const Bytes data(bytes.begin(), bytes.end());
        EXPECT_EQ(DecodeJpeg(data, decoded), DecodeStatus::Ok) << "output neither a clean JPEG nor a copy: " << name;
    }
}

// The log line of one input file ("" when there is none).
inline std::string LineFor(const std::string& log, const std::string& inputPath)
{
    const std::string key = " Converting file: " + inputPath + " To: ";
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(key))
            return line;
    return "";
}

struct RunResult {
    int exitCode = -1;  // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    bool skipped = false;  // the private mount could not be set up here
    std::string skipReason;
};

// A file system of the test's own, mounted over `target` in a mount namespace that only the run
// sees, so neither root rights nor the machine's mounts are needed or touched.
struct PrivateMount {
    fs::path target;
    std::string options;  // tmpfs options, e.g. "size=256k"
    bool readOnly = false;
    fs::path mirror;        // where the mount's contents are copied once the run is over
    fs::path bindSource{};  // a directory shown at `target` instead of a tmpfs
};

struct Launch {
    std::vector<std::string> args;
    fs::path workDir;  // receives stdout and stderr
    std::optional<rlim_t> fileSizeLimit{};
    std::optional<PrivateMount> mount{};
    bool asNobody = false;                 // run as user 65534 when the test runs as root
    std::optional<fs::path> stdoutPath{};  // instead of workDir/stdout (/dev/full, say)
    int stdoutFd = -1;                     // instead of either: a pipe of the test's
};

inline Launch Tramblix(std::vector<std::string> args, fs::path workDir)
{
    Launch launch;
    launch.args = std::move(args);
    launch.workDir = std::move(workDir);
    return launch;
}

namespace detail {

inline bool WriteProcFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// Codes the helper process exits with when the private mount cannot be made.
constexpr int kNoNamespace = 201;
constexpr int kNoMount = 202;

inline int EnterPrivateMount(const PrivateMount& m)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return kNoNamespace;
    if (uid != 0 && !(WriteProcFile("/proc/self/setgroups", "deny") &&
                      WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                      WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
        return kNoNamespace;
    // Nothing mounted here may reach the machine's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return kNoNamespace;
    if ((m.bindSource.empty()
             ? ::mount("tramblix-test", m.target.c_str(), "tmpfs", m.readOnly ? MS_RDONLY : 0, m.options.c_str())
             : ::mount(m.bindSource.c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr)) != 0)
        return kNoMount;
    return 0;
}

[[noreturn]] inline void ExecTramblix(const Launch& launch)
{
    const int out = launch.stdoutFd >= 0 ? launch.stdoutFd
                                         : ::open(launch.stdoutPath.value_or(launch.workDir / "stdout").c_str(),
                                                  O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open((launch.workDir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::dup2(in, 0);
    if (launch.fileSizeLimit) {
        const rlimit limit{*launch.fileSizeLimit, *launch.fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (launch.asNobody && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        ::_exit(126);
    std::vector<char*> argv{const_cast<char*>(TRAMBLIX_EXE)};
    for (const std::string& arg : launch.args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(TRAMBLIX_EXE, argv.data());
    ::_exit(127);
}

inline int StatusCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace detail

// Starts `tramblix` without waiting (for tests that signal it). No private mount here.
inline pid_t Start(const Launch& launch)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        detail::ExecTramblix(launch);
    return pid;
}

inline RunResult Finish(pid_t pid, const fs::path& workDir)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    RunResult result;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else
        result.signal = WTERMSIG(status);
    result.out = Slurp(workDir / "stdout");
    result.err = Slurp(workDir / "stderr");
    return result;
}

// Runs `tramblix` to its end.
inline RunResult Execute(const Launch& launch)
{
    if (!launch.mount)
        return Finish(Start(launch), launch.workDir);

    // A helper process enters the namespace and mounts, runs tramblix inside, copies what the
    // mount holds afterwards to the mirror (the mount dies with the namespace) and passes the
    // status on.
    const pid_t helper = ::fork();
    if (helper == 0) {
        if (const int failed = detail::EnterPrivateMount(*launch.mount))
            ::_exit(failed);
        const pid_t child = ::fork();
        if (child == 0)
            detail::ExecTramblix(launch);
        int status = 0;
        ::waitpid(child, &status, 0);
        std::error_code ec;
        fs::create_directories(launch.mount->mirror, ec);
        fs::copy(launch.mount->target, launch.mount->mirror, fs::copy_options::recursive, ec);
        ::_exit(ec ? 203 : detail::StatusCode(status));
    }
    int status = 0;
    ::waitpid(helper, &status, 0);
    RunResult result;
    const int code = detail::StatusCode(status);
    if (code == detail::kNoNamespace || code == detail::kNoMount) {
        result.skipped = true;
        result.skipReason =
            code == detail::kNoNamespace ? "no private mount namespace allowed here" : "cannot mount a tmpfs here";
        return result;
    }
    if (code > 128)
        result.signal = code - 128;
    else
        result.exitCode = code;
    result.out = Slurp(launch.workDir / "stdout");
    result.err = Slurp(launch.workDir / "stderr");
    return result;
}

// A scratch directory per test, removed afterwards.
class FaultTest : public ::testing::Test {
protected:
    test::ScratchDir scratch_{"faults"};
    fs::path root = scratch_.path();
};

}  // namespace tramblix::faults
