#include "batch/placement.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

constexpr char kSeparator = '/';

// Up to and including the last separator; empty when there is none.
std::string_view DirectoryPart(std::string_view path)
{
    const std::size_t last = path.rfind(kSeparator);
    return last == std::string_view::npos ? std::string_view() : path.substr(0, last + 1);
}

}  // namespace

std::string RelativeDirectory(std::string_view inputBase, std::string_view filePath)
{
    const std::size_t n = DirectoryPart(inputBase).size();
    const std::string_view directory = DirectoryPart(filePath);
    return directory.size() <= n ? std::string() : std::string(directory.substr(n));
}

std::string CollapseDoubleSeparators(std::string_view text)
{
    std::string collapsed;
    collapsed.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        collapsed += text[i];
        if (text[i] == kSeparator && i + 1 < text.size() && text[i + 1] == kSeparator)
            ++i;
    }
    return collapsed;
}

OutputLocation OutputLocationOf(std::string_view filePath, std::string_view inputBase, std::string_view outputBase)
{
    const std::size_t last = filePath.rfind(kSeparator);
    const std::string_view name = last == std::string_view::npos ? filePath : filePath.substr(last + 1);

    OutputLocation location;
    location.directory = CollapseDoubleSeparators(std::string(outputBase) + RelativeDirectory(inputBase, filePath));
    location.file = location.directory + std::string(name);
    // The root keeps its only separator.
    if (location.directory.size() > 1 && location.directory.back() == kSeparator)
        location.directory.pop_back();
    return location;
}

std::error_code CreateDirectoryPath(const fs::path& path)
{
    std::error_code ec;
    if (fs::is_directory(path, ec))
        return {};
    // create_directories also copes with a directory made meanwhile by another worker.
    fs::create_directories(path, ec);
    if (ec)
        return ec;
    if (!fs::is_directory(path, ec))
        return ec ? ec : std::make_error_code(std::errc::not_a_directory);
    return {};
}

namespace {

constexpr unsigned kDefaultDirectoryPermissions = 0777;

// What others may do with the input directory, and all rights for the owner: a run must be able
// to write into what it creates, even from a read-only tree (a camera card, an archive). The
// sticky bit comes along: without it a directory open to all (/tmp-like, 1777) would let anyone
// remove anyone's outputs.
unsigned PermissionsOf(const fs::path& directory)
{
    std::error_code ec;
    const fs::file_status status = fs::status(directory, ec);
    return ec ? kDefaultDirectoryPermissions : (static_cast<unsigned>(status.permissions()) & 01777u) | 0700u;
}

std::string WithoutTrailingSeparator(std::string_view text)
{
    while (text.size() > 1 && text.back() == kSeparator)
        text.remove_suffix(1);
    return std::string(text);
}

// The output base itself, created as needed; it mirrors the input base.
std::error_code OpenOutputBase(const fs::path& base, const fs::path& inputBase, DirectoryHandle& handle)
{
    std::error_code error;
    handle = DirectoryHandle::Open(base, error);
    if (!error || error != std::errc::no_such_file_or_directory)
        return error;
    error.clear();
    if (base.has_parent_path() && base.parent_path() != base)
        fs::create_directories(base.parent_path(), error);
    if (error)
        return error;
    DirectoryHandle parent = DirectoryHandle::Open(base.has_parent_path() ? base.parent_path() : fs::path("."), error);
    if (error || (error = parent.MakeChild(base.filename().string(), PermissionsOf(inputBase))))
        return error;
    handle = parent.Child(base.filename().string(), true, error);
    return error;
}

}  // namespace

std::error_code CreateOutputDirectory(std::string_view inputBase, std::string_view outputBase,
                                      std::string_view relativeDirectory, const InputSet* inputs)
{
    const std::string input = WithoutTrailingSeparator(inputBase);
    DirectoryHandle directory;
    if (const std::error_code error = OpenOutputBase(WithoutTrailingSeparator(outputBase), input, directory))
        return error;
    std::string mirrored = input;
    std::size_t at = 0;
    while (at < relativeDirectory.size()) {
        std::size_t end = relativeDirectory.find(kSeparator, at);
        if (end == std::string_view::npos)
            end = relativeDirectory.size();
        const std::string name(relativeDirectory.substr(at, end - at));
        at = end + 1;
        if (name.empty())
            continue;
        mirrored += kSeparator + name;
        // The directory to create in must not be one the run reads (a link in the output tree
        // could lead there); neither may the one reached.
        if (inputs && inputs->HasDirectory(directory.Id()))
            return FileError::InsideInputTree;
        if (const std::error_code error = directory.MakeChild(name, PermissionsOf(mirrored)))
            return error;
        std::error_code error;
        DirectoryHandle child = directory.Child(name, true, error);
        if (error)
            return error;
        directory = std::move(child);
    }
    if (inputs && inputs->HasDirectory(directory.Id()))
        return FileError::InsideInputTree;
    return {};
}

}  // namespace tramblix
