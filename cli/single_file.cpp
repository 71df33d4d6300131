#include "cli/single_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "batch/batch_run.h"
#include "cli/directory_mode.h"
#include "cli/report.h"
#include "engine/compress.h"
#include "engine/file_io.h"
#include "engine/file_modes.h"
#include "engine/target.h"

namespace fs = std::filesystem;

namespace tramblix::cli {

namespace {

// A stream that drops what it is given.
std::ostream& Discarded()
{
    static std::ostream none(nullptr);
    return none;
}

constexpr const char* kStandardStream = "-";

// Standard input, whole; more than the memory budget of one picture is refused, so a stream
// without end (/dev/zero) cannot take all memory.
bool ReadStandardInput(std::vector<std::uint8_t>& bytes, std::uint64_t limit, std::error_code& error)
{
    std::uint8_t block[1 << 16];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = {errno, std::generic_category()};
            return false;
        }
        if (got == 0)
            return true;
        if (bytes.size() + static_cast<std::size_t>(got) > limit) {
            error = std::make_error_code(std::errc::file_too_large);
            return false;
        }
        bytes.insert(bytes.end(), block, block + got);
    }
}

bool WriteStandardOutput(std::span<const std::uint8_t> bytes, std::error_code& error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = {written == 0 ? EIO : errno, std::generic_category()};
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// A file (or a stream) compressed through memory: the forms with '-' and the modes that may
// write nothing. The plain INPUT OUTPUT form stays with CompressFile.
CompressOutcome CompressThroughMemory(const std::string& input, const std::string& output, const CommandLine& cl)
{
    const BatchSettings& s = cl.settings;
    CompressOutcome outcome;
    outcome.written = false;
    std::vector<std::uint8_t> bytes;
    std::error_code error;
    if (input == kStandardStream) {
        if (!ReadStandardInput(bytes, s.engine.memoryBudget, error)) {
            outcome.status = CompressStatus::CannotReadInput;
            outcome.detail = "standard input: " + error.message();
            return outcome;
        }
    } else if (FileFacts facts; ReadWholeFile(input, bytes, &facts) != ReadStatus::Ok) {
        outcome.status = CompressStatus::CannotReadInput;
        outcome.detail = facts.error.message();
        return outcome;
    }
    outcome.inputSize = bytes.size();
    std::vector<std::uint8_t> compressed;
    const std::optional<int> quality = JpegQualityOf(bytes);
    if (s.mode.skipAtOrBelowQuality > 0 && quality && *quality <= s.mode.skipAtOrBelowQuality) {
        // A pipe still gets its picture: left alone means passed on as it is.
        outcome.skipped = "already compressed: quality " + std::to_string(*quality) + ", at or below " +
                          std::to_string(s.mode.skipAtOrBelowQuality);
        if (outcome.status = KeepAsAsked(bytes, compressed, s.engine, &outcome.detail);
            outcome.status != CompressStatus::Ok) {
            outcome.skipped.clear();
            return outcome;
        }
    } else {
        TargetReport target;
        outcome.status =
            CompressBuffer(bytes, s.level, compressed, s.strength, s.engine, &outcome.detail, &target, &outcome.extras);
        if (outcome.status != CompressStatus::Ok)
            return outcome;
        outcome.quality = target.quality;
        outcome.distance = target.distance;
        outcome.targetKept = target.kept;
        outcome.kept = target.keep;
    }
    outcome.copiedInput = compressed == bytes;
    outcome.outputSize = compressed.size();
    if (s.mode.dryRun)
        return outcome;
    if (output == kStandardStream) {
        if (!WriteStandardOutput(compressed, error)) {
            outcome.status = CompressStatus::CannotWriteOutput;
            outcome.detail = "standard output: " + error.message();
            return outcome;
        }
    } else if (WriteWholeFile(output, compressed, {}, &error) != WriteStatus::Ok) {
        outcome.status = CompressStatus::CannotWriteOutput;
        outcome.detail = error.message();
        std::error_code ec;
        outcome.oldOutputLeft = fs::exists(fs::symlink_status(output, ec));
        return outcome;
    }
    outcome.written = true;
    return outcome;
}

FileReport ReportOf(const std::string& input, const std::string& output, const CompressOutcome& outcome,
                    const EngineOptions& options)
{
    FileReport file;
    file.input = input;
    file.output = output;
    file.inputSize = outcome.inputSize;
    file.outputSize = outcome.outputSize;
    file.kept = outcome.copiedInput || outcome.kept != KeepReason::None;
    file.written = outcome.written;
    file.quality = outcome.quality;
    file.distance = outcome.distance;
    if (outcome.status != CompressStatus::Ok) {
        file.outcome = FileReport::Outcome::Failed;
        file.reason = ReasonText(outcome).append(outcome.oldOutputLeft ? kOldOutputLeftPiece : std::string_view());
    } else if (!outcome.skipped.empty()) {
        file.outcome = FileReport::Outcome::Skipped;
        file.reason = outcome.skipped;
    } else {
        file.outcome = FileReport::Outcome::Done;
        if (file.kept)
            file.reason = KeptReason(outcome, options);
        if (!outcome.extras.empty())
            file.reason += (file.reason.empty() ? "" : "; ") + outcome.extras;
    }
    return file;
}

// The report's one record; false when it could not be written.
bool WriteReport(const CommandLine& cl, const FileReport& file)
{
    if (cl.report == ReportFormat::None)
        return true;
    const std::string text = ReportHeader(cl.report) + ReportRecord(cl.report, file, cl);
    if (!cl.reportFile) {
        std::cout << text << std::flush;
        return true;  // standard output is checked at exit
    }
    std::ofstream out(*cl.reportFile, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out)
        return true;
    std::cerr << kProgram << ": " << *cl.reportFile << ": cannot write the report\n";
    return false;
}

}  // namespace

int RunSingleFile(const CommandLine& commandLine)
{
    const std::string& input = commandLine.operands.at(0);
    const std::string output = commandLine.toStdout ? kStandardStream : commandLine.operands.at(1);
    const CompressionLevel level = commandLine.settings.level;
    const FilterStrength strength = commandLine.settings.strength;
    const EngineOptions& options = commandLine.settings.engine;
    const FileMode& mode = commandLine.settings.mode;
    const bool streams = input == kStandardStream || output == kStandardStream;
    std::error_code ec;
    if (input != kStandardStream) {
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
    }
    if (input == kStandardStream && ::isatty(STDIN_FILENO) == 1) {
        std::cerr << kProgram << ": standard input is a terminal: no picture to read from it\n";
        return 2;
    }
    if (output == kStandardStream && !mode.dryRun && ::isatty(STDOUT_FILENO) == 1) {
        std::cerr << kProgram << ": standard output is a terminal: no picture is written to it\n";
        return 2;
    }
    const CompressOutcome outcome = streams ? CompressThroughMemory(input, output, commandLine)
                                            : CompressFileAs(input, output, level, strength, options, mode);
    const bool targeted = options.targetDistance > 0.0;
    if (outcome.status == CompressStatus::SameFile) {
        std::cerr << kProgram << ": " << output << ": Please select a different output file"
                  << " (input and output are the same file)\n";
        return 2;
    }
    // The result line gives way to the picture or the report on standard output; --quiet keeps
    // only a failure's, on standard error.
    const bool quiet = commandLine.quiet && outcome.status == CompressStatus::Ok;
    std::ostream& result = quiet ? Discarded()
                           : output == kStandardStream || commandLine.quiet ||
                                   (commandLine.report != ReportFormat::None && !commandLine.reportFile)
                               ? std::cerr
                               : std::cout;
    const bool reported = WriteReport(commandLine, ReportOf(input, output, outcome, options));
    // The line tells what this run did, never what files happen to lie on disk: an old output
    // that could not be replaced is no saving.
    if (outcome.status != CompressStatus::Ok) {
        result << (targeted ? TargetResultLine(0, 0, 0, options.targetDistance)
                            : ResultLine(0, 0, static_cast<long>(level), strength))
               << "\n";
        std::cerr << kProgram << ": " << input << ": " << ReasonText(outcome)
                  << (outcome.oldOutputLeft ? kOldOutputLeftPiece : std::string_view()) << "\n";
        return IsRetryable(outcome) ? kExitRetry : kExitInputsFailed;
    }
    if (!outcome.skipped.empty()) {
        result << "Skipped: " << outcome.skipped << "\n";
        return reported ? 0 : kExitRetry;
    }
    const auto inputSize = static_cast<std::int64_t>(outcome.inputSize);
    const auto outputSize = static_cast<std::int64_t>(outcome.outputSize);
    result << WithExtrasNote(options.lossless ? LosslessResultLine(inputSize, outputSize)
                             : targeted       ? TargetResultLine(inputSize, outputSize, outcome.quality,
                                                                 options.targetDistance, outcome.targetKept)
                                              : ResultLine(inputSize, outputSize, static_cast<long>(level), strength),
                             outcome)
           << "\n";
    return reported ? 0 : kExitRetry;
}

}  // namespace tramblix::cli
