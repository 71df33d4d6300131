#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/compress.h"

namespace tramblix::cli {

struct DirectoryModeOptions {
    std::string input;   // directory to read
    std::string output;  // directory to write; created as needed
    unsigned level = 5;
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

// Runs a whole directory: the log on standard output, a progress line on standard error when it
// is a terminal, a summary line on standard error at the end. Ctrl-C cancels: the files in
// flight finish and the log is closed. Returns the exit status: 0 every file done, 1 at least
// one failure, 2 refused directories, 130 interrupted.
int RunDirectoryMode(const DirectoryModeOptions& options);

}  // namespace tramblix::cli
