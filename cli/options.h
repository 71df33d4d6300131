#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/compress.h"

namespace tramblix::cli {

// What the command line asks for. Numbers stay unset when not given, so each mode applies
// its own defaults.
struct CommandLine {
    unsigned level = 5;
    bool levelGiven = false;
    std::optional<double> targetDistance;  // --target or --target-distance
    int ai = 0;
    bool recurse = true;
    unsigned jobs = 0;  // 0: one per core
    bool quiet = false;
    Encoder encoder = Encoder::Standard;
    bool lossless = false;
    bool strip = false;
    bool preserve = false;
    std::vector<std::string> extensions{"jpg"};  // lower case, without the dot
    bool skipExisting = false;
    unsigned shardIndex = 0;
    unsigned shardCount = 1;
    std::optional<std::string> filesFrom;  // "-": standard input
    bool nullSeparated = false;            // the list is separated by NUL bytes, not lines
    bool help = false;
    bool version = false;
    std::vector<std::string> operands;
};

struct ParseResult {
    std::optional<CommandLine> commandLine;
    std::string error;  // set when commandLine is empty
};

// GNU-style parsing: long options with "--opt N" or "--opt=N", short ones as "-l N" or "-lN",
// "--" ends the options. Out-of-range levels are errors, never folded silently. Options that
// contradict each other (--lossless with an AI level or the efficient encoder, a target with
// --level or --lossless) are errors too.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

}  // namespace tramblix::cli
