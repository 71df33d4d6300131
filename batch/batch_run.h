#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "batch/texts.h"
#include "engine/compress.h"

namespace tramblix {

// ---- Checks before a run: shared by the window program and the command-line tool ----

enum class DirectoryCheck {
    Ok,
    Missing,             // the input or the output text is empty
    Same,                // both name one directory
    OutputNotDirectory,  // the output names an existing file
    OutputHoldsInput,    // the input lies inside the output: outputs could replace inputs not yet read
};

// The directory a text names, with links and relative parts resolved as far as it exists; a
// trailing separator does not count. Empty when the text cannot be resolved.
std::filesystem::path CanonicalDirectory(std::string_view text);

// The message for a refused check; Ok has none (empty texts).
MessageText MessageFor(DirectoryCheck check);

// Empty texts first; then the texts compared with a trailing separator and the letters A-Z
// lower-cased, and, when both exist, the directories themselves (other spellings, links).
DirectoryCheck CheckDirectories(std::string_view input, std::string_view output);

// `text` ending with the platform's separator (added only when missing; "" stays "").
std::string WithTrailingSeparator(std::string text);

// ---- Log lines (their words: batch/texts.h) ----

std::string ReducedLine(std::string_view input, std::string_view output, std::int64_t inputSize,
                        std::int64_t outputSize);
std::string FailedLine(std::string_view input, std::string_view output, std::string_view reason);
// " Converting file: IN To: OUT Skipped: output is up to date".
std::string UpToDateLine(std::string_view input, std::string_view output);
// " Cannot read directory: DIR", with the reason in brackets when one is given.
std::string UnreadableDirectoryLine(std::string_view directory, std::string_view reason = {});

// ---- One found file ----

// True when `output` exists, was modified no earlier than `input` (an output given the input's
// times by --preserve counts as done) and looks finished: a regular file, not the input, not
// empty, no larger than the input, ending as a JPEG ends or as the input does.
bool OutputIsUpToDate(const std::filesystem::path& input, const std::filesystem::path& output);

// The stable hash that assigns a file to a part of a split run: 64-bit FNV-1a of the bytes of
// its path relative to the input directory.
std::uint64_t ShardHash(std::string_view relativePath);

struct FileReport {
    enum class Outcome {
        Skipped,  // the file is gone since it was listed, or is no regular file: no line
        Done,
        Failed,
        UpToDate,  // left out: its output is not older than it
    };
    Outcome outcome = Outcome::Skipped;
    std::uint64_t inputSize = 0;
    std::uint64_t outputSize = 0;
    bool retryable = false;  // a re-run may succeed (write error, vanished file, out of memory)
    std::string line;
};

// True when a failure with `status` lies in the run's surroundings (the disk, memory, a file
// that changed meanwhile), so that running again may succeed; false when the input itself can
// never be compressed (damaged, not an image, too large).
bool IsRetryable(CompressStatus status);

using CompressFunction =
    std::function<CompressOutcome(const std::filesystem::path& input, const std::filesystem::path& output,
                                  CompressionLevel, FilterStrength, const EngineOptions&)>;

struct FileSettings {
    std::string inputBase;   // ends with a separator
    std::string outputBase;  // ends with a separator
    CompressionLevel level = 5;
    FilterStrength strength = 0;
    EngineOptions engine;
};

// Places the output of `filePath` under the output base, creates its directory and compresses
// the file into it. An old output is replaced; the input is never touched. Never throws.
FileReport ProcessFoundFile(const std::string& filePath, const FileSettings& settings,
                            const CompressFunction& compress = CompressFile);

}  // namespace tramblix
