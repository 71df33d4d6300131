#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "engine/file_io.h"

namespace tramblix {

// The directory of `filePath` relative to `inputBase`, ending with a separator, or empty.
// Only lengths are used: every file path the walk builds begins with the input base.
std::string RelativeDirectory(std::string_view inputBase, std::string_view filePath);

// Each pair of adjacent separators becomes one: "a//b" -> "a/b", "a///b" -> "a//b", four -> two.
std::string CollapseDoubleSeparators(std::string_view text);

struct OutputLocation {
    std::string file;       // where the output of the found file goes
    std::string directory;  // the directory that must exist for it
};

// Mirrors `filePath`, found under `inputBase`, under `outputBase` (both bases end with a
// separator). Doubled separators are collapsed in the directory text, never in the file name.
OutputLocation OutputLocationOf(std::string_view filePath, std::string_view inputBase, std::string_view outputBase);

// Creates `path` and every missing directory above it; existing ones are left as they are.
// Returns an error when `path` is not a directory afterwards.
std::error_code CreateDirectoryPath(const std::filesystem::path& path);

// Makes sure of the output directory of a file found in `relativeDirectory` (as RelativeDirectory
// gives it) under the two bases. Each directory created is no more open than the input directory
// it mirrors. Links in the output tree are followed, but never into a directory of `inputs`:
// nothing is created or written among the files the run reads.
std::error_code CreateOutputDirectory(std::string_view inputBase, std::string_view outputBase,
                                      std::string_view relativeDirectory, const InputSet* inputs);

}  // namespace tramblix
