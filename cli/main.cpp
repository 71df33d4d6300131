#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "directory_mode.h"
#include "engine/compress.h"
#include "engine/file_io.h"
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
                 "  -e, --encoder=standard|efficient\n"
                 "                    efficient writes about 7-15% fewer bytes at the same\n"
                 "                    look (SSIMULACRA2), keeps a JPEG's own steps where the\n"
                 "                    level asks for finer ones, keeps a JPEG it would shrink\n"
                 "                    by less than 2%, never writes more than standard at the\n"
                 "                    same level, and is 2-3 times slower; default standard\n"
                 "      --lossless    rewrite the file's own DCT coefficients with better coding:\n"
                 "                    not one pixel changes; the level does not apply, the AI\n"
                 "                    level must be 0 and the encoder standard; JPEG inputs only\n"
                 "      --strip       drop EXIF, XMP, IPTC and comments; keep the ICC profile and\n"
                 "                    the orientation (a minimal EXIF segment when it is not 1)\n"
                 "  -p, --preserve    give each output its input's access and modification times\n"
                 "  -R, --no-recurse  directory mode: do not descend into sub-directories\n"
                 "  -j, --jobs=N      directory mode: compress N files at once; default one per core\n"
                 "  -q, --quiet       directory mode: print no per-file lines\n"
                 "  -x, --extensions=LIST\n"
                 "                    directory mode: take files with these extensions, letter case\n"
                 "                    ignored, from jpg, jpeg, jpe, jfif; default jpg\n"
                 "      --skip-existing\n"
                 "                    directory mode: leave out files whose output exists and is not\n"
                 "                    older than the input (to resume an interrupted run)\n"
                 "      --shard=K/N   directory mode: run only part K (0 to N-1) of N disjoint parts,\n"
                 "                    chosen by a hash of each file's path relative to INPUT\n"
                 "      --files-from=FILE\n"
                 "                    directory mode: take the files listed in FILE ('-': standard\n"
                 "                    input), one per line, relative to INPUT or absolute under it\n"
                 "  -0, --null        the --files-from list is separated by NUL bytes, not lines\n"
                 "  -h, --help        display this help and exit\n"
                 "  -V, --version     output version information and exit\n"
                 "\n"
                 "Directory mode lists the whole tree first, so the progress line (shown while standard\n"
                 "error is a terminal) counts files done against the total; the log lines come in that\n"
                 "order whatever the number of jobs. A summary line goes to standard error at the end.\n"
                 "\n"
                 "Compression levels select the JPEG quality: 1=90, 2=80, 3=70, 4=60, 5=50, 6=40,\n"
                 "7=30, 8=25, 9=20, 10=15.\n"
                 "\n"
                 "Exit status:\n"
                 " 0  every file was compressed (or copied, when it could not be made smaller)\n"
                 " 1  at least one file could not be compressed\n"
                 " 2  usage error, missing input, or input and output naming the same file\n"
                 "130 interrupted (Ctrl-C); files in progress are finished first\n";
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
    if (!fs::is_regular_file(fs::path(input), ec)) {
        std::cerr << "Can not find: " << input << "\n";
        return 2;
    }
    const CompressOutcome outcome = CompressFile(input, output, level, ai, options);
    if (outcome.status == CompressStatus::SameFile) {
        std::cerr << kProgram << ": " << output << ": Please select a different output file"
                  << " (input and output are the same file)\n";
        return 2;
    }
    // The line tells what this run did, never what files happen to lie on disk: an old output
    // that could not be replaced is no saving.
    if (outcome.status != CompressStatus::Ok) {
        std::cout << ResultLine(0, 0, static_cast<long>(level), ai) << "\n";
        std::cerr << kProgram << ": " << input << ": " << ReasonText(outcome) << "\n";
        return 1;
    }
    std::cout << ResultLine(static_cast<std::int64_t>(outcome.inputSize), static_cast<std::int64_t>(outcome.outputSize),
                            static_cast<long>(level), ai)
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
    return status == 0 ? 1 : status;
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

    const std::string& input = cl.operands[0];
    std::error_code ec;
    // An empty input can only be a directory run missing its input directory.
    if (input.empty() || fs::is_directory(fs::path(input), ec)) {
        logChecked = true;
        cli::DirectoryModeOptions run;
        run.input = input;
        run.output = cl.operands[1];
        run.level = cl.level;
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
    return RunSingleFile(input, cl.operands[1], cl.level, cl.ai, options);
}

}  // namespace

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    // Past a file-size limit a write should fail like one on a full disk (reported, temporary
    // file removed) instead of killing the program half-way through writing an output.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader that quits early (tramblix ... | head) must not kill the run while an output is
    // being written; the log simply goes nowhere and the files are finished.
    std::signal(SIGPIPE, SIG_IGN);
    return CloseStandardOutput(Run(argc, argv));
}
