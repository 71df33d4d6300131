#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "batch/batch_run.h"
#include "batch/runner.h"
#include "cli/directory_mode.h"

namespace fs = std::filesystem;

namespace tramblix::cli {

namespace {

constexpr int kRefused = 2;

int Refuse(const std::string& message)
{
    std::cerr << kProgram << ": " << message << '\n';
    return kRefused;
}

std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

// The sources of an in-place run, refusing two that name one file or one that lies inside a
// directory also given: either would have one file replaced twice at once.
int CheckInPlace(const std::vector<BatchSource>& sources)
{
    std::map<fs::path, std::string> seen, directories;
    for (const BatchSource& source : sources) {
        std::error_code ec;
        const fs::path real = fs::canonical(fs::path(source.input), ec);
        if (ec)
            return Refuse(source.input + ": " + ec.message());
        if (const auto [at, added] = seen.emplace(real, source.input); !added)
            return Refuse(Quoted(at->second) + " and " + Quoted(source.input) + " name the same file");
        if (source.directory)
            directories.emplace(real, source.input);
    }
    for (const auto& [real, given] : seen) {
        for (fs::path above = real.parent_path(); !above.empty(); above = above.parent_path()) {
            if (const auto found = directories.find(above); found != directories.end())
                return Refuse(Quoted(given) + " lies inside " + Quoted(found->second) + ", which is given too");
            if (above == above.parent_path())
                break;
        }
    }
    return 0;
}

}  // namespace

std::string NameOfDirectory(const std::string& operand)
{
    fs::path path(operand);
    while (!path.has_filename() && path.has_relative_path())
        path = path.parent_path();
    const std::string name = path.filename().string();
    if (!name.empty() && name != "." && name != "..")
        return name;
    std::error_code ec;
    return fs::weakly_canonical(fs::absolute(path, ec), ec).filename().string();
}

int RunSeveral(const CommandLine& commandLine)
{
    BatchSettings settings = commandLine.settings;
    settings.mode.jpegOnly = true;  // outputs keep their input's name, as in a directory run
    const bool inPlace = settings.mode.inPlace;
    const std::string directory = commandLine.outputDirectory.value_or("");
    std::error_code ec;
    if (!inPlace && fs::exists(fs::path(directory), ec) && !fs::is_directory(fs::path(directory), ec))
        return Refuse(MessageFor(DirectoryCheck::OutputNotDirectory).text);

    std::map<std::string, std::string> outputs;  // output -> the operand that writes it
    for (const std::string& operand : commandLine.operands) {
        if (operand == "-")
            return Refuse("standard input is read only in the form '- OUTPUT'");
        const fs::file_status status = fs::status(fs::path(operand), ec);
        if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory || operand.empty()) {
            std::cerr << "Can not find: " << operand << "\n";
            return kRefused;
        }
        if (ec)
            return Refuse(operand + ": " + ec.message());
        const bool isDirectory = fs::is_directory(status);
        if (!isDirectory && !fs::is_regular_file(status))
            return Refuse(operand + ": not a regular file");
        BatchSource source{operand, {}, isDirectory};
        if (inPlace) {
            source.outputDirectory = isDirectory ? operand : fs::path(operand).parent_path().string();
            settings.sources.push_back(std::move(source));
            continue;
        }
        const std::string name = isDirectory ? NameOfDirectory(operand) : fs::path(operand).filename().string();
        if (name.empty())
            return Refuse(operand + ": no name to give its outputs in " + directory);
        const std::string output = (fs::path(directory) / name).lexically_normal().string();
        if (const auto [at, added] = outputs.emplace(output, operand); !added)
            return Refuse(Quoted(at->second) + " and " + Quoted(operand) + " would both be written to " +
                          Quoted(output));
        if (isDirectory) {
            if (const DirectoryCheck check = CheckDirectories(operand, output); check != DirectoryCheck::Ok)
                return Refuse(operand + ": " + MessageFor(check).text);
        } else if (SameFile(operand, output)) {
            return Refuse(output + ": Please select a different output file (input and output are the same file)");
        }
        source.outputDirectory = isDirectory ? output : directory;
        settings.sources.push_back(std::move(source));
    }
    if (inPlace) {
        if (const int refused = CheckInPlace(settings.sources))
            return refused;
    } else {
        settings.outputDirectory = directory;
    }
    // Last of the checks: from here on output directories may exist.
    for (const BatchSource& source : settings.sources) {
        if (!source.directory || inPlace || settings.mode.dryRun)
            continue;
        if (const DirectoryCheck check = ClaimOutputDirectory(source.input, source.outputDirectory);
            check != DirectoryCheck::Ok)
            return Refuse(source.input + ": " + MessageFor(check).text);
    }
    return RunBatch(commandLine, std::move(settings));
}

}  // namespace tramblix::cli
