#pragma once

// Runs the real `tramblix` (TRAMBLIX_EXE) as the end-to-end tests do: arguments without a
// shell, standard output and error into files, optionally with resource limits, as another
// user or inside a private mount.

#ifndef TRAMBLIX_EXE
#error "run_tool.h needs TRAMBLIX_EXE, the path of the tramblix program"
#endif

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tramblix::test {

namespace fs = std::filesystem;

inline std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
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
    fs::path workDir;                              // receives stdout and stderr
    std::vector<std::pair<int, rlim_t>> limits{};  // setrlimit(resource, value) for the run
    std::optional<PrivateMount> mount{};
    bool asNobody = false;                 // run as user 65534 when the test runs as root
    std::optional<fs::path> stdoutPath{};  // instead of workDir/stdout (/dev/full, say)
    int stdoutFd = -1;                     // instead of either: a pipe of the test's
    fs::path stdinPath = "/dev/null";
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
    const int in = ::open(launch.stdinPath.c_str(), O_RDONLY);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::dup2(in, 0);
    for (const auto& [resource, value] : launch.limits) {
        const rlimit limit{value, value};
        ::setrlimit(resource, &limit);
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

}  // namespace tramblix::test
