#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/runner.h"

namespace tramblix::cli {

inline constexpr const char* kProgram = "tramblix";  // the name messages start with

// What the command line asks for. Options not given keep the defaults of BatchSettings and
// EngineOptions; the single-file mode uses the level, strength and engine options of `settings`.
struct CommandLine {
    BatchSettings settings{};  // the directories come from the operands, the files from filesFrom
    bool levelGiven = false;   // --level was given: a target (engine.targetDistance) takes none
    bool quiet = false;
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

// What --help prints: usage, options, directory mode, levels and exit statuses.
std::string HelpText();

}  // namespace tramblix::cli
