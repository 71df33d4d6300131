#pragma once

#include "cli/options.h"

namespace tramblix::cli {

// Compresses the first operand into the second and prints the result line (on failure
// "Could not create file." and the reason on standard error). Returns the exit status: 2 for a
// missing input, one that is no regular file or the same file as the output.
int RunSingleFile(const CommandLine& commandLine);

}  // namespace tramblix::cli
