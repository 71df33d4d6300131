#pragma once

#include <string>

namespace tramblix::cli {

struct DirectoryModeOptions {
    std::string input;   // directory to read
    std::string output;  // directory to write; created as needed
    unsigned level = 5;
    int ai = 0;
    bool recurse = true;
    unsigned jobs = 0;  // 0: one per core
    bool quiet = false;  // no per-file lines on standard output (failures still go to standard error)
};

// Runs a whole directory: the log on standard output, a progress line on standard error when it
// is a terminal, a summary line on standard error at the end. Ctrl-C cancels: the files in
// flight finish and the log is closed. Returns the exit status: 0 every file done, 1 at least
// one failure, 2 refused directories, 130 interrupted.
int RunDirectoryMode(const DirectoryModeOptions& options);

}  // namespace tramblix::cli
