#pragma once

#include "batch/runner.h"
#include "cli/options.h"

namespace tramblix::cli {

// Exit statuses besides 0 (every file done), 2 (usage) and 128 + signal (interrupted).
inline constexpr int kExitInputsFailed = 1;  // the only failures are inputs no re-run will compress
inline constexpr int kExitRetry = 3;         // work failed for reasons a re-run may mend, or was left undone

// Runs a whole directory, the first operand into the second: the log on standard output, a
// progress line on standard error when it is a terminal, a summary line on standard error at the
// end (quiet: only when the run did not succeed). Ctrl-C cancels: the files in flight finish and
// the log is closed; so does a log that cannot be written. Returns the exit status (ExitStatus)
// or 2 for refused directories.
int RunDirectoryMode(const CommandLine& commandLine);

// The run itself, once the operands are checked and `settings` made from them: log, progress,
// report, summary and exit status as RunDirectoryMode describes.
int RunBatch(const CommandLine& commandLine, BatchSettings settings);

// FILE... -o DIR and -i FILE...: checks the operands (each must exist; a pipe or a device is
// refused, as are two that would write one output, and in place one that lies inside another)
// and runs them as one batch. Returns 2 for refused operands.
int RunSeveral(const CommandLine& commandLine);

// The name a directory operand's tree gets under -o DIR: "photos/" and "photos" name one
// directory; "." names the one it stands for.
std::string NameOfDirectory(const std::string& operand);

// The exit status of a run with `result`: 128 + `signal` when a signal cancelled it; kExitRetry
// when a file or a directory failed for a reason that may pass by itself (FileReport::retryable),
// the log could not be written (`writeError`) or the run stopped early; kExitInputsFailed when
// the only failures are ones no re-run mends by itself; else 0.
int ExitStatus(const BatchProgress& result, int signal, int writeError);

}  // namespace tramblix::cli
