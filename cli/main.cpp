#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "batch/batch_run.h"
#include "directory_mode.h"
#include "engine/compress.h"
#include "engine/file_io.h"
#include "engine/target.h"
#include "options.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

constexpr const char* kProgram = "tramblix";

void PrintHelp()
{
    std::cout << "Usage: tramblix [OPTION]... INPUT OUTPUT\n"
                 "Make JPEG files smaller.\n"
                 "\n"
                 "With INPUT a file, compress it into the file OUTPUT and print how much was saved.\n"
                 "With INPUT a directory, compress every *.jpg file in it (letter case ignored) into\n"
                 "the same place under the directory OUTPUT, printing one log line per file.\n"
                 "An output is never larger than its input: when re-encoding does not make a file\n"
                 "smaller, the output is an exact copy. Input files are never modified.\n"
                 "\n"
                 "  -l, --level=N     compression level, 1 (least, best quality) to 10 (most); default 5\n"
                 "  -a, --ai=N        AI level, 0 (off) to 5 (strongest edge lift, sharpening and\n"
                 "                    speckle smoothing before encoding); default 0\n"
                 "      --target=visually-lossless|high|good\n"
                 "                    instead of a level, give each picture the coarsest JPEG\n"
                 "                    quality (1-100) whose look stays within a butteraugli\n"
                 "                    distance of the input: visually-lossless 1.0, high 2.0,\n"
                 "                    good 3.0; much slower (trial encodes, each answer\n"
                 "                    measured on the whole picture); AI levels count as\n"
                 "                    loss here (level 1 alone often lies beyond 3.0: the\n"
                 "                    input is kept)\n"
                 "      --target-distance=D\n"
                 "                    the same with a distance of your own, 0.1 to 15 (the\n"
                 "                    largest over the picture; 1.0 is about visually lossless)\n"
                 "  -e, --encoder=standard|efficient\n"
                 "                    efficient (still being tuned) writes about 3-10% fewer\n"
                 "                    bytes at nearly the same look, keeps a JPEG's own steps\n"
                 "                    where the level asks for finer ones, and is slower;\n"
                 "                    default standard\n"
                 "      --lossless    rewrite the file's own DCT coefficients with better coding:\n"
                 "                    not one pixel changes; the level does not apply, the AI\n"
                 "                    level must be 0 and the encoder standard; JPEG inputs only\n"
                 "      --strip       drop EXIF, XMP, IPTC and comments; keep the ICC profile and\n"
                 "                    the orientation (a minimal EXIF segment when it is not 1)\n"
                 "  -p, --preserve    give each output its input's access and modification times\n"
                 "  -R, --no-recurse  directory mode: do not descend into sub-directories\n"
                 "  -j, --jobs=N      directory mode: compress N files at once; default one per CPU\n"
                 "                    the process may use (its affinity and cgroup CPU quota)\n"
                 "  -q, --quiet       directory mode: print nothing but failures (their lines and\n"
                 "                    the summary go to standard error)\n"
                 "  -x, --extensions=LIST\n"
                 "                    directory mode: take files with these extensions, letter case\n"
                 "                    ignored, from jpg, jpeg, jpe, jfif; default jpg\n"
                 "      --skip-existing\n"
                 "                    directory mode: leave out files whose output exists, is not\n"
                 "                    older than the input and is a complete, clean JPEG (or the\n"
                 "                    input's exact copy), to resume an interrupted run\n"
                 "      --shard=K/N   directory mode: run only part K (0 to N-1) of N disjoint parts,\n"
                 "                    chosen by a hash of each file's path relative to INPUT\n"
                 "      --files-from=FILE\n"
                 "                    directory mode: take the files listed in FILE ('-': standard\n"
                 "                    input), one per line (a CR before the line end is dropped),\n"
                 "                    relative to INPUT or absolute under it\n"
                 "  -0, --null        the --files-from list is separated by NUL bytes, not lines\n"
                 "  -h, --help        display this help and exit\n"
                 "  -V, --version     output version information and exit\n"
                 "\n"
                 "Directory mode lists the whole tree first, so the progress line (shown while standard\n"
                 "error is a terminal) counts files done against the total; the log lines come in that\n"
                 "order whatever the number of jobs. A summary line goes to standard error at the end.\n"
                 "An OUTPUT inside INPUT is left out of the walk and must be new, empty or made by an\n"
                 "earlier run, which leaves a file .tramblix-output in it; one that holds other files\n"
                 "is refused (exit status 2), as outputs could replace them.\n"
                 "\n"
                 "Compression levels select the JPEG quality: 1=90, 2=80, 3=70, 4=60, 5=50, 6=40,\n"
                 "7=30, 8=25, 9=20, 10=15.\n"
                 "\n"
                 "Exit status:\n"
                 " 0  every file was compressed (or copied, when it could not be made smaller)\n"
                 " 1  the only failures are inputs that cannot be compressed (damaged, not an\n"
                 "    image, too large for the pixel or memory limits): a re-run will not change them\n"
                 " 2  usage error, missing input, or input and output naming the same file\n"
                 " 3  some work failed for a reason a re-run may mend (an output that could not\n"
                 "    be written, an input or directory that could not be read or vanished, not\n"
                 "    enough memory, standard output that could not be written) or was left\n"
                 "    undone (a closed pipe on standard output stops the run)\n"
                 "130 interrupted by Ctrl-C (143 by SIGTERM, 129 by SIGHUP); files in progress\n"
                 "    are finished first, a second signal stops at once\n";
}

int UsageError(const std::string& message)
{
    std::cerr << kProgram << ": " << message << "\n"
              << "Try '" << kProgram << " --help' for more information.\n";
    return 2;
}

int RunSingleFile(const std::string& input, const std::string& output, unsigned level, int ai,
                  const EngineOptions& options)
{
    std::error_code ec;
    const fs::file_status status = fs::status(fs::path(input), ec);
    if (!ec && !fs::is_regular_file(status)) {
        std::cerr << kProgram << ": " << input << ": not a regular file\n";
        return 2;
    }
    // Anything else the system says (no permission to look) comes with the engine's reason.
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
        std::cerr << "Can not find: " << input << "\n";
        return 2;
    }
    const CompressOutcome outcome = CompressFile(input, output, level, ai, options);
    const bool targeted = options.targetDistance > 0.0;
    if (outcome.status == CompressStatus::SameFile) {
        std::cerr << kProgram << ": " << output << ": Please select a different output file"
                  << " (input and output are the same file)\n";
        return 2;
    }
    // The line tells what this run did, never what files happen to lie on disk: an old output
    // that could not be replaced is no saving.
    if (outcome.status != CompressStatus::Ok) {
        std::cout << (targeted ? TargetResultLine(0, 0, 0, options.targetDistance)
                               : ResultLine(0, 0, static_cast<long>(level), ai))
                  << "\n";
        std::cerr << kProgram << ": " << input << ": " << ReasonText(outcome) << "\n";
        return IsRetryable(outcome.status) ? cli::kExitRetry : cli::kExitInputsFailed;
    }
    const auto inputSize = static_cast<std::int64_t>(outcome.inputSize);
    const auto outputSize = static_cast<std::int64_t>(outcome.outputSize);
    std::cout << (targeted ? TargetResultLine(inputSize, outputSize, outcome.quality, options.targetDistance)
                           : ResultLine(inputSize, outputSize, static_cast<long>(level), ai))
              << "\n";
    return 0;
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

int Run(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const cli::ParseResult parsed = cli::ParseCommandLine(arguments);
    if (!parsed.commandLine)
        return UsageError(parsed.error);
    const cli::CommandLine& cl = *parsed.commandLine;
    if (cl.help) {
        PrintHelp();
        return 0;
    }
    if (cl.version) {
        std::cout << "tramblix (JPEG Tramblix) " << TRAMBLIX_VERSION << "\n";
        return 0;
    }
    if (cl.operands.size() != 2)
        return UsageError(cl.operands.size() < 2 ? "missing operand" : "extra operand '" + cl.operands[2] + "'");

    // From here on a reader that quits early (tramblix ... | head) must not kill the run while an
    // output is being written: the failed write tells, and the run stops cleanly. Help and
    // version text still end quietly on a closed pipe, as GNU tools do.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string& input = cl.operands[0];
    std::error_code ec;
    // An empty input can only be a directory run missing its input directory.
    if (input.empty() || fs::is_directory(fs::path(input), ec)) {
        logChecked = true;
        cli::DirectoryModeOptions run;
        run.input = input;
        run.output = cl.operands[1];
        run.level = cl.level;
        run.targetDistance = cl.targetDistance.value_or(0.0);
        run.ai = cl.ai;
        run.recurse = cl.recurse;
        run.jobs = cl.jobs;
        run.quiet = cl.quiet;
        run.encoder = cl.encoder;
        run.lossless = cl.lossless;
        run.strip = cl.strip;
        run.preserve = cl.preserve;
        run.extensions = cl.extensions;
        run.skipExisting = cl.skipExisting;
        run.shardIndex = cl.shardIndex;
        run.shardCount = cl.shardCount;
        run.filesFrom = cl.filesFrom;
        run.nullSeparated = cl.nullSeparated;
        return cli::RunDirectoryMode(run);
    }
    EngineOptions options;
    options.encoder = cl.encoder;
    options.lossless = cl.lossless;
    options.stripMetadata = cl.strip;
    options.keepFileDates = cl.preserve;
    options.targetDistance = cl.targetDistance.value_or(0.0);
    return RunSingleFile(input, cl.operands[1], cl.level, cl.ai, options);
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
