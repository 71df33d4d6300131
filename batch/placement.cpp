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

}  // namespace tramblix
