#include "engine/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace tramblix {

ReadStatus ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes)
{
    bytes.clear();
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return ReadStatus::OpenFailed;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return ReadStatus::OpenFailed;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec)
        return ReadStatus::SizeFailed;
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return ReadStatus::AllocationFailed;
    } catch (const std::length_error&) {
        return ReadStatus::AllocationFailed;
    }
    // A file that shrinks meanwhile ends the read early; one that grows is read to the size
    // taken above, so the buffer is never overrun.
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        bytes.clear();
        return ReadStatus::ReadFailed;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return ReadStatus::Ok;
}

namespace {

fs::path TemporaryPathBeside(const fs::path& target)
{
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    const std::string suffix = std::to_string(random() % 1000000u) + "-" + std::to_string(counter++);
    // Only the start of the name: a name near the 255-byte limit would otherwise make the
    // temporary name too long and the output unwritable.
    const std::string name = target.filename().string().substr(0, 64);
    return target.parent_path() / ("." + name + ".tramblix-" + suffix + ".tmp");
}

bool WriteAndClose(std::FILE* file, std::span<const std::uint8_t> bytes)
{
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fflush(file) == 0 && ok;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

WriteStatus WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    std::error_code ec;
    if (path.empty() || fs::is_directory(path, ec))
        return WriteStatus::CreateFailed;
    // Only a file or a link is ever replaced: renaming over a device or a pipe (/dev/null, say)
    // would put a plain file in its place.
    const fs::file_type existing = fs::symlink_status(path, ec).type();
    if (existing != fs::file_type::not_found && existing != fs::file_type::regular &&
        existing != fs::file_type::symlink)
        return WriteStatus::CreateFailed;

    fs::path temporary;
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        temporary = TemporaryPathBeside(path);
        file = std::fopen(temporary.string().c_str(), "wbx");  // exclusive: never reuse someone's file
        if (!file && errno != EEXIST)
            break;
    }
    if (!file)
        return WriteStatus::CreateFailed;

    if (!WriteAndClose(file, bytes)) {
        fs::remove(temporary, ec);
        return WriteStatus::WriteFailed;
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return WriteStatus::WriteFailed;
    }
    return WriteStatus::Ok;
}

std::int64_t FileSizeOf(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return 0;
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        return 0;
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

bool SameFile(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    const bool same = fs::equivalent(a, b, ec);
    return !ec && same;
}

}  // namespace tramblix
