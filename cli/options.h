#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/runner.h"

namespace tramblix::cli {

inline constexpr const char* kProgram = "tramblix";  // the name messages start with

// --report: one record per file, as JSON lines or CSV with a header line.
enum class ReportFormat { None, Json, Csv };

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
    // -o DIR: every operand is an input, each compressed into DIR under its own name.
    std::optional<std::string> outputDirectory;
    bool toStdout = false;  // --stdout: the one operand is the input, the picture goes to standard output
    ReportFormat report = ReportFormat::None;
    std::optional<std::string> reportFile;  // the report goes here instead of standard output
    bool progress = false;                  // the progress line even off a terminal and with --quiet
};

struct ParseResult {
    std::optional<CommandLine> commandLine;
    std::string error;  // set when commandLine is empty
};

// GNU-style parsing: long options with "--opt N" or "--opt=N", short ones as "-l N" or "-lN",
// "--" ends the options. Out-of-range levels are errors, never folded silently. Options that
// contradict each other (--lossless with an AI level or the efficient encoder, a target with
// --level or --lossless, --in-place with an output directory or --stdout) are errors too.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

// What --help prints: usage, options, directory mode, levels and exit statuses.
std::string HelpText();

}  // namespace tramblix::cli
