#include "cli/single_file.h"

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "batch/batch_run.h"
#include "cli/directory_mode.h"
#include "engine/compress.h"
#include "engine/target.h"

namespace fs = std::filesystem;

namespace tramblix::cli {

int RunSingleFile(const CommandLine& commandLine)
{
    const std::string& input = commandLine.operands.at(0);
    const std::string& output = commandLine.operands.at(1);
    const CompressionLevel level = commandLine.settings.level;
    const FilterStrength strength = commandLine.settings.strength;
    const EngineOptions& options = commandLine.settings.engine;
    std::error_code ec;
    const fs::file_status status = fs::status(fs::path(input), ec);
    if (!ec && !fs::is_regular_file(status)) {
        std::cerr << kProgram << ": " << input << ": not a regular file\n";
        return 2;
    }
    // Anything else the system says (no permission to look) comes with the engine's reason.
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
        std::cerr << "Can not find: " << input << "\n";
        return 2;
    }
    const CompressOutcome outcome = CompressFile(input, output, level, strength, options);
    const bool targeted = options.targetDistance > 0.0;
    if (outcome.status == CompressStatus::SameFile) {
        std::cerr << kProgram << ": " << output << ": Please select a different output file"
                  << " (input and output are the same file)\n";
        return 2;
    }
    // The line tells what this run did, never what files happen to lie on disk: an old output
    // that could not be replaced is no saving.
    if (outcome.status != CompressStatus::Ok) {
        std::cout << (targeted ? TargetResultLine(0, 0, 0, options.targetDistance)
                               : ResultLine(0, 0, static_cast<long>(level), strength))
                  << "\n";
        std::cerr << kProgram << ": " << input << ": " << ReasonText(outcome) << "\n";
        return IsRetryable(outcome.status) ? kExitRetry : kExitInputsFailed;
    }
    const auto inputSize = static_cast<std::int64_t>(outcome.inputSize);
    const auto outputSize = static_cast<std::int64_t>(outcome.outputSize);
    std::cout << (options.lossless ? LosslessResultLine(inputSize, outputSize)
                  : targeted       ? TargetResultLine(inputSize, outputSize, outcome.quality, options.targetDistance,
                                                      outcome.targetKept)
                                   : ResultLine(inputSize, outputSize, static_cast<long>(level), strength))
              << "\n";
    return 0;
}

}  // namespace tramblix::cli
