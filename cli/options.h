#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tramblix::cli {

// What the command line asks for. Numbers stay unset when not given, so each mode applies
// its own defaults.
struct CommandLine {
    unsigned level = 5;
    int ai = 0;
    bool recurse = true;
    unsigned jobs = 0;  // 0: one per core
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> operands;
};

struct ParseResult {
    std::optional<CommandLine> commandLine;
    std::string error;  // set when commandLine is empty
};

// GNU-style parsing: long options with "--opt N" or "--opt=N", short ones as "-l N" or "-lN",
// "--" ends the options. Out-of-range levels are errors, never folded silently.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

}  // namespace tramblix::cli
