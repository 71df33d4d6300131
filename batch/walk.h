#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/file_io.h"

namespace tramblix {

// What a listing says about one entry. Links to directories are told apart so the walk can
// pass them over: following them could loop, and their files are reached through their target.
enum class EntryKind {
    Directory,
    LinkToDirectory,
    Other,  // regular files, links to files, dangling links, devices: the per-file step sorts them out
};

struct ListedEntry {
    std::string name;
    EntryKind kind = EntryKind::Other;
    FileId id{};              // of a file, or of the file a link leads to; zero when unknown
    std::error_code error{};  // the entry could not be examined; the per-file step reports why
};

// Lists one directory. Returns an error when the directory cannot be listed; entries found
// before a failure part-way through are kept in `entries`.
using DirectoryLister =
    std::function<std::error_code(const std::filesystem::path& directory, std::vector<ListedEntry>& entries)>;

// Lists one directory by its path.
std::error_code ListDirectory(const std::filesystem::path& directory, std::vector<ListedEntry>& entries);

// Receives the path of one matching file, built as the walked directory, "/" and the listed name.
using PerFileStep = std::function<void(const std::string& filePath)>;

// Receives a directory that could not be listed; the walk goes on with everything else.
using UnreadableDirectoryStep = std::function<void(const std::string& directory, std::error_code error)>;

// Receives a sub-directory the walk leaves out, with the reason in words (batch/texts.h).
using SkippedDirectoryStep = std::function<void(const std::string& directory, std::string_view reason)>;

struct WalkOptions {
    std::string mask = "*.jpg";
    // When not empty: a file is taken when its name matches any of these, instead of `mask`.
    std::vector<std::string> masks;
    bool recurse = true;
    // Canonical paths of directories never descended into (an output directory inside the
    // input tree). Compared with the canonical path of each sub-directory, and, as `skipIds`,
    // with the identity of each sub-directory opened, which holds whatever path leads there.
    std::vector<std::filesystem::path> skipDirectories;
    std::vector<FileId> skipIds;
    // Told of each sub-directory left out: those above, and links to directories.
    SkippedDirectoryStep skipped;
    std::stop_token stop;
    // Empty: the real walk, which opens each sub-directory relative to its parent, so a tree
    // deeper than the system's path limit is still listed. Tests put a lister of their own here.
    DirectoryLister lister;
    // Receives every directory listed and every file handed over, so outputs can keep off them.
    InputSet* inputs = nullptr;
};

// Wildcard match of a file name against a mask with "*" and "?", ASCII letters compared
// without regard to case.
bool MatchesMask(std::string_view name, std::string_view mask);

// False for a name that is all extension (".jpg"): a hidden file with no name of its own is no
// photo, whatever the masks say.
bool HasStem(std::string_view name);

// Walks `directory` (given without a trailing separator; "" is the root). Within a directory
// every sub-directory is walked completely before the first file of that directory is handed
// to `step`; entries are taken in byte order of their names, so a walk is repeatable.
// Directories whose name matches the mask are never handed over; hidden entries are, unless
// their name is all extension (HasStem).
// Returns true when every directory was listed and the walk was not stopped.
bool WalkDirectory(const std::string& directory, const WalkOptions& options, const PerFileStep& step,
                   const UnreadableDirectoryStep& unreadable = {});

}  // namespace tramblix
