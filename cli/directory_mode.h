#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/runner.h"
#include "engine/compress.h"

namespace tramblix::cli {

struct DirectoryModeOptions {
    std::string input;   // directory to read
    std::string output;  // directory to write; created as needed
    unsigned level = 5;
    double targetDistance = 0.0;  // above 0: replaces the level
    int ai = 0;
    bool recurse = true;
    unsigned jobs = 0;   // 0: one per core
    bool quiet = false;  // no per-file lines on standard output (failures still go to standard error)
    Encoder encoder = Encoder::Standard;
    bool lossless = false;
    bool strip = false;
    bool preserve = false;  // outputs get their input's access and modification times
    std::vector<std::string> extensions{"jpg"};
    bool skipExisting = false;
    unsigned shardIndex = 0;
    unsigned shardCount = 1;
    std::optional<std::string> filesFrom;  // a list of files to take instead of the walk's; "-": standard input
    bool nullSeparated = false;
};

// Exit statuses besides 0 (every file done), 2 (usage) and 128 + signal (interrupted).
inline constexpr int kExitInputsFailed = 1;  // the only failures are inputs no re-run will compress
inline constexpr int kExitRetry = 3;         // work failed for reasons a re-run may mend, or was left undone

// Runs a whole directory: the log on standard output, a progress line on standard error when it
// is a terminal, a summary line on standard error at the end (quiet: only when the run did not
// succeed). Ctrl-C cancels: the files in flight finish and the log is closed; so does a log that
// cannot be written. Returns the exit status (ExitStatus) or 2 for refused directories.
int RunDirectoryMode(const DirectoryModeOptions& options);

// The exit status of a run with `result`: 128 + `signal` when a signal cancelled it; kExitRetry
// when a file failed for a reason that may pass (FileReport::retryable), a directory could not
// be read, the log could not be written (`writeError`) or the run stopped early;
// kExitInputsFailed when the only failures are inputs that cannot be compressed; else 0.
int ExitStatus(const BatchProgress& result, int signal, int writeError);

}  // namespace tramblix::cli
