#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli/directory_mode.h"
#include "cli/options.h"
#include "cli/single_file.h"
#include "engine/file_io.h"

namespace fs = std::filesystem;
using namespace tramblix;
using cli::kProgram;

namespace {

int UsageError(const std::string& message)
{
    std::cerr << kProgram << ": " << message << "\n"
              << "Try '" << kProgram << " --help' for more information.\n";
    return 2;
}

// As GNU tools do: output that could not be written (a full disk, a closed pipe) is an error.
// Directory mode checks its log itself, line by line.
bool logChecked = false;

int CloseStandardOutput(int status)
{
    if (logChecked)
        return status;
    // A stream that failed earlier (a long text, written as it went) left its error in errno.
    const int earlier = errno;
    const bool failedBefore = !std::cout.good();
    errno = 0;
    std::cout.flush();
    const int error = failedBefore ? earlier : errno;
    if (std::cout.good() && std::fflush(stdout) == 0)
        return status;
    std::cerr << kProgram << ": write error";
    if (error != 0)
        std::cerr << ": " << std::generic_category().message(error);
    std::cerr << "\n";
    return status == 0 || status == cli::kExitInputsFailed ? cli::kExitRetry : status;
}

// True when `file` exists inside the directory `directory` with a name the walk takes: a report
// written there would replace a picture of the run.
bool HasPictureExtension(const std::string& file, const std::vector<std::string>& extensions)
{
    std::string extension = fs::path(file).extension().string();
    if (extension.empty())
        return false;
    extension.erase(0, 1);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

bool IsBelow(const fs::path& file, const fs::path& directory)
{
    for (fs::path at = file.parent_path(); !at.empty(); at = at.parent_path()) {
        if (at == directory)
            return true;
        if (at == at.parent_path())
            break;
    }
    return false;
}

bool WalkWouldTake(const std::string& file, const std::string& directory, const std::vector<std::string>& extensions)
{
    std::error_code ec;
    if (!fs::is_directory(fs::path(directory), ec) || !fs::is_regular_file(fs::path(file), ec) ||
        !HasPictureExtension(file, extensions))
        return false;
    const fs::path inside = fs::canonical(fs::path(directory), ec);
    const fs::path at = fs::canonical(fs::path(file), ec);
    return !ec && IsBelow(at, inside);
}

// Where the run may write an output: the report file must not be one of them, or the output
// replaces the report (or the report the output).
bool MayBeAnOutput(const cli::CommandLine& cl, const std::string& file)
{
    std::error_code ec;
    const fs::path report = fs::weakly_canonical(fs::path(file), ec);
    if (ec)
        return false;
    const auto same = [&](const fs::path& output) { return fs::weakly_canonical(output, ec) == report && !ec; };
    const auto below = [&](const fs::path& outputs) {
        return HasPictureExtension(file, cl.settings.extensions) && IsBelow(report, fs::weakly_canonical(outputs, ec));
    };
    if (cl.outputDirectory) {
        for (const std::string& operand : cl.operands) {
            if (operand == "-")
                continue;
            const bool isDirectory = fs::is_directory(fs::path(operand), ec);
            const fs::path output =
                fs::path(*cl.outputDirectory) /
                (isDirectory ? cli::NameOfDirectory(operand) : fs::path(operand).filename().string());
            if (isDirectory ? below(output) : same(output))
                return true;
        }
        return false;
    }
    if (cl.settings.mode.inPlace || cl.toStdout || cl.operands.size() != 2 || cl.operands[1] == "-")
        return false;
    return fs::is_directory(fs::path(cl.operands[0]), ec) ? below(fs::path(cl.operands[1])) : same(cl.operands[1]);
}

int Run(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const cli::ParseResult parsed = cli::ParseCommandLine(arguments);
    if (!parsed.commandLine)
        return UsageError(parsed.error);
    const cli::CommandLine& cl = *parsed.commandLine;
    if (cl.help) {
        std::cout << cli::HelpText();
        return 0;
    }
    if (cl.version) {
        std::cout << "tramblix (JPEG Tramblix) " << TRAMBLIX_VERSION << "\n";
        return 0;
    }
    const bool several = cl.settings.mode.inPlace || cl.outputDirectory;
    const std::size_t wanted = several ? 0 : cl.toStdout ? 1 : 2;
    if (cl.operands.empty() || cl.operands.size() < wanted)
        return UsageError("missing operand");
    if (wanted != 0 && cl.operands.size() > wanted)
        return UsageError("extra operand '" + cl.operands[wanted] + "'" +
                          (cl.toStdout ? "" : " (several files take -o DIR or --in-place)"));

    // The report is written over whatever FILE names: never over an input.
    if (cl.reportFile) {
        for (const std::string& operand : cl.operands) {
            if (operand != "-" && SameFile(*cl.reportFile, operand))
                return UsageError("the report file '" + *cl.reportFile + "' is an operand");
            if (operand != "-" && WalkWouldTake(*cl.reportFile, operand, cl.settings.extensions))
                return UsageError("the report file '" + *cl.reportFile + "' is a picture inside '" + operand + "'");
        }
        if (MayBeAnOutput(cl, *cl.reportFile))
            return UsageError("the report file '" + *cl.reportFile + "' is where an output may be written");
    }

    // From here on a reader that quits early (tramblix ... | head) must not kill the run while an
    // output is being written: the failed write tells, and the run stops cleanly. Help and
    // version text still end quietly on a closed pipe, as GNU tools do.
    std::signal(SIGPIPE, SIG_IGN);
    if (several) {
        logChecked = true;
        return cli::RunSeveral(cl);
    }
    const std::string& input = cl.operands[0];
    if (cl.toStdout || input == "-" || cl.operands[1] == "-") {
        if (input != "-" && fs::is_directory(fs::path(input)))
            return UsageError("a directory is compressed into a directory, not a stream");
        return cli::RunSingleFile(cl);
    }
    std::error_code ec;
    // An empty input can only be a directory run missing its input directory.
    if (input.empty() || fs::is_directory(fs::path(input), ec)) {
        logChecked = true;
        return cli::RunDirectoryMode(cl);
    }
    // An empty name (an unset variable in a script) is no file a re-run could write.
    if (cl.operands[1].empty())
        return UsageError("the output file name is empty");
    return cli::RunSingleFile(cl);
}

// A standard stream that was closed (tramblix ... >&-) would be reused by the first file the
// run opens, and log lines would land in an output. Each closed one is opened on /dev/null the
// wrong way round, so that using it fails as using a closed stream does.
void KeepStandardStreamsTaken()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    KeepStandardStreamsTaken();
    std::ios::sync_with_stdio(false);
    // Past a file-size limit a write should fail like one on a full disk (reported, temporary
    // file removed) instead of killing the program half-way through writing an output.
    std::signal(SIGXFSZ, SIG_IGN);
    int status;
    try {
        status = Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << kProgram << ": memory exhausted\n";
        status = cli::kExitRetry;
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        status = cli::kExitRetry;
    }
    return CloseStandardOutput(status);
}
