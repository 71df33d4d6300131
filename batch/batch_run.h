#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "batch/texts.h"
#include "engine/compress.h"
#include "engine/file_modes.h"

namespace tramblix {

// ---- Checks before a run: shared by the window program and the command-line tool ----

enum class DirectoryCheck {
    Ok,
    Missing,             // the input or the output text is empty
    Same,                // both name one directory
    OutputNotDirectory,  // the output names an existing file
    OutputHoldsInput,    // the input lies inside the output: outputs could replace inputs not yet read
    OutputInsideInput,   // the output lies inside the input and holds files no run made there
};

// The file that marks an output directory inside the input tree as made by a run; outputs may
// replace what such a directory holds. Any regular file of this name counts (one put there by
// hand too); a link or a directory of this name does not.
inline constexpr char kOutputMarkName[] = ".tramblix-output";

// The directory a text names, with links and relative parts resolved as far as it exists; a
// trailing separator does not count. Empty when the text cannot be resolved.
std::filesystem::path CanonicalDirectory(std::string_view text);

// The message for a refused check; Ok has none (empty texts).
MessageText MessageFor(DirectoryCheck check);

// Empty texts first; then the texts compared with a trailing separator and the letters A-Z
// lower-cased, and, when both exist, the directories themselves (other spellings, links). An
// output inside the input (found by the directories' identity, so through links and other
// mounts too) is taken only when it does not exist yet, is empty, or holds kOutputMarkName.
DirectoryCheck CheckDirectories(std::string_view input, std::string_view output);

// After the checks, before a run: an output directory inside the input is created as needed and
// marked (kOutputMarkName) before any output is written, so later runs, and parallel parts of
// this one, take it. Ok, or OutputInsideInput when the directory was found holding other files
// meanwhile or its mark cannot be made. An output outside the input is left to the run.
DirectoryCheck ClaimOutputDirectory(std::string_view input, std::string_view output);

// `text` ending with the platform's separator (added only when missing; "" stays "").
std::string WithTrailingSeparator(std::string text);

// ---- Log lines (their words: batch/texts.h) ----

std::string ReducedLine(std::string_view input, std::string_view output, std::int64_t inputSize,
                        std::int64_t outputSize);
// What a target run appends to the reduced line: " at quality Q for distance D", or
// " (kept: distance D cannot be reached at any quality)" for quality 0, or, when the quality
// found would not save enough, " (kept: quality Q, the coarsest within distance D, would not
// save enough)".
std::string TargetPiece(int quality, double distance, bool kept = false);
std::string FailedLine(std::string_view input, std::string_view output, std::string_view reason);
// " Converting file: IN To: OUT Skipped: output is up to date".
std::string UpToDateLine(std::string_view input, std::string_view output);
// " Converting file: IN To: OUT Skipped: REASON": left alone by choice (FileMode).
std::string SkippedLine(std::string_view input, std::string_view output, std::string_view reason);
// " Cannot read directory: DIR", with the reason in brackets when one is given.
std::string UnreadableDirectoryLine(std::string_view directory, std::string_view reason = {});
// " Skipping directory: DIR (REASON)".
std::string SkippedDirectoryLine(std::string_view directory, std::string_view reason);

// ---- One found file ----

// True when `output` exists, was modified no earlier than `input` (an output given the input's
// times by --preserve counts as done) and is finished: a regular file, not the input, not
// empty, no larger than the input, and either a complete, clean JPEG (IsCompleteJpeg) or an exact
// copy of an input that decodes cleanly (what a run keeps when re-encoding saves nothing).
bool OutputIsUpToDate(const std::filesystem::path& input, const std::filesystem::path& output);

// The stable hash that assigns a file to a part of a split run: 64-bit FNV-1a of the bytes of
// its path relative to the input directory.
std::uint64_t ShardHash(std::string_view relativePath);

struct FileReport {
    enum class Outcome {
        Done,
        Failed,
        UpToDate,  // left out: its output is not older than it
        Skipped,   // left alone by choice (FileMode): `reason` says why
    };
    Outcome outcome = Outcome::Failed;
    std::uint64_t inputSize = 0;
    std::uint64_t outputSize = 0;
    bool retryable = false;  // a re-run may succeed (write error, vanished file, out of memory)
    std::string line;
    // The line's facts one by one, for machine-readable reports.
    std::string input{};
    std::string output{};
    std::string reason{};  // of a failure, a skip or a file kept
    bool kept = false;     // Done with the input kept (a copy, or in place untouched)
    bool written = false;  // an output was written
    int quality = 0;       // a target run's quality (0: the distance cannot be reached)
    double distance = 0.0;
};

// True when a failure may pass by itself, so that running again may succeed: memory, a full
// disk, a file that vanished or changed meanwhile. False when the input itself can never be
// compressed (damaged, not an image, too large) and when a person has to act first (no
// permission, a read-only file system, a write-protected output, an output refused as part of
// the input tree): scripts and job runners that retry on it would retry for ever.
bool IsRetryable(const CompressOutcome& outcome);

// The same for what the system said about a file or directory (no error: true).
bool MayPassByItself(const std::error_code& error);

using CompressFunction =
    std::function<CompressOutcome(const std::filesystem::path& input, const std::filesystem::path& output,
                                  CompressionLevel, FilterStrength, const EngineOptions&)>;

struct FileSettings {
    std::string inputBase;   // ends with a separator
    std::string outputBase;  // ends with a separator
    CompressionLevel level = 5;
    FilterStrength strength = 0;
    EngineOptions engine;
    FileMode mode{};
};

// Places the output of `filePath` under the output base, creates its directory and compresses
// the file into it. An old output is replaced; the input is never touched. An entry that is no
// file to read (a pipe, a device, a dangling link, a file gone since it was listed) fails with
// its reason and leaves an old output as it is. Never throws.
// Why a file's output keeps the input's coded data (KeepReasonText), never empty.
std::string KeptReason(CompressOutcome outcome, const EngineOptions& options);

FileReport ProcessFoundFile(const std::string& filePath, const FileSettings& settings,
                            const CompressFunction& compress = CompressFile);

}  // namespace tramblix
