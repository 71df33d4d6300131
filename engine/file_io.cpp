#include "engine/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <system_error>

#if defined(__linux__)
#include <fcntl.h>
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

// Tries fresh names beside `target` until `create` makes one of them, exclusively; stops early
// when it fails for any other reason than the name being taken.
template <typename Create>
std::optional<fs::path> ClaimTemporaryName(const fs::path& target, Create create)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        fs::path candidate = TemporaryPathBeside(target);
        if (create(candidate))
            return candidate;
        if (errno != EEXIST)
            break;
    }
    return std::nullopt;
}

// The finished temporary file replaces the target in one rename, or disappears.
WriteStatus MoveIntoPlace(const fs::path& temporary, const fs::path& target)
{
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (!ec)
        return WriteStatus::Ok;
    fs::remove(temporary, ec);
    return WriteStatus::WriteFailed;
}

#if defined(__linux__)
bool WriteAll(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Writes into an unnamed file in the target's directory and names it only once it is complete,
// so even a process killed half-way (SIGKILL, the out-of-memory killer) leaves nothing behind.
// Empty when the file system cannot make unnamed files: the caller then uses a named one.
std::optional<WriteStatus> WriteThroughUnnamedFile(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::nullopt;
    if (!WriteAll(fd, bytes)) {
        ::close(fd);
        return WriteStatus::WriteFailed;
    }
    // linkat cannot replace a file, so the finished file gets a temporary name first and is then
    // renamed over the target, which is atomic.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const std::optional<fs::path> temporary = ClaimTemporaryName(path, [&](const fs::path& name) {
        return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
    const int linkError = errno;
    const bool closed = ::close(fd) == 0;
    if (!temporary)
        return linkError == ENOENT ? std::nullopt : std::optional(WriteStatus::WriteFailed);  // no /proc
    if (!closed) {
        std::error_code ec;
        fs::remove(*temporary, ec);
        return WriteStatus::WriteFailed;
    }
    return MoveIntoPlace(*temporary, path);
}
#endif

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

#if defined(__linux__)
    if (const std::optional<WriteStatus> status = WriteThroughUnnamedFile(path, bytes))
        return *status;
#endif
    std::FILE* file = nullptr;
    const std::optional<fs::path> temporary = ClaimTemporaryName(path, [&](const fs::path& name) {
        file = std::fopen(name.string().c_str(), "wbx");  // exclusive: never reuse someone's file
        return file != nullptr;
    });
    if (!temporary)
        return WriteStatus::CreateFailed;
    if (!WriteAndClose(file, bytes)) {
        fs::remove(*temporary, ec);
        return WriteStatus::WriteFailed;
    }
    return MoveIntoPlace(*temporary, path);
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
