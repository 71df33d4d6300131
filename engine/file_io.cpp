#include "engine/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace fs = std::filesystem;

namespace tramblix {

namespace {

class FileErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "tramblix-file"; }
    std::string message(int code) const override
    {
        switch (static_cast<FileError>(code)) {
        case FileError::InsideInputTree: return "its directory is part of the input tree";
        case FileError::ReplacesInput: return "it would replace an input file";
        case FileError::WriteProtected: return "the existing file is write-protected";
        case FileError::NotRegularFile: return "not a regular file";
        }
        return "unknown error";
    }
};

std::error_code LastError()
{
    return {errno == 0 ? EIO : errno, std::system_category()};
}

// Closes a descriptor on every path.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    void Reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now and says whether the close went well (a late write error shows up here).
    bool Close()
    {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

FileId IdOf(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Judged by the mode bits that apply to this user, so the answer is the same for root: an output
// the user marked read-only stays as it is.
bool MayWrite(const struct stat& st)
{
    if (st.st_uid == ::geteuid())
        return (st.st_mode & S_IWUSR) != 0;
    if (st.st_gid == ::getegid())
        return (st.st_mode & S_IWGRP) != 0;
    return (st.st_mode & S_IWOTH) != 0;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The new file is no more open to others than the input it came from.
bool NarrowPermissions(int fd, unsigned permissions)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    const mode_t wanted = st.st_mode & permissions & 0777;
    return (st.st_mode & 07777) == wanted || ::fchmod(fd, wanted) == 0;
}

FileTimes TimesOf(const struct stat& st)
{
    return {st.st_atim.tv_sec, st.st_atim.tv_nsec, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// Set after the last write, which would otherwise move the modification time on.
bool ApplyTimes(int fd, const FileTimes* times)
{
    if (times == nullptr)
        return true;
    const timespec both[2] = {{static_cast<time_t>(times->accessSeconds), static_cast<long>(times->accessNanoseconds)},
                              {static_cast<time_t>(times->modifySeconds), static_cast<long>(times->modifyNanoseconds)}};
    return ::futimens(fd, both) == 0;
}

std::string TemporaryName(const std::string& target)
{
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    const std::string suffix = std::to_string(random() % 1000000u) + "-" + std::to_string(counter++);
    // Only the start of the name: a name near the 255-byte limit would otherwise make the
    // temporary name too long and the output unwritable.
    return "." + target.substr(0, 64) + ".tramblix-" + suffix + ".tmp";
}

// Tries fresh names until `create` makes one of them, exclusively; stops early when it fails for
// any other reason than the name being taken (errno then tells why).
template <typename Create>
std::optional<std::string> ClaimTemporaryName(const std::string& target, Create create)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string candidate = TemporaryName(target);
        if (create(candidate))
            return candidate;
        if (errno != EEXIST)
            break;
    }
    return std::nullopt;
}

// The target's directory, opened once: every later step works relative to it, so the place
// checked is the place written, whatever links lead there.
struct Place {
    Fd directory;
    std::string name;
};

std::error_code OpenPlace(const fs::path& path, Place& place)
{
    if (path.empty())
        return std::make_error_code(std::errc::invalid_argument);
    place.name = path.filename().string();
    if (place.name.empty() || place.name == "." || place.name == "..")
        return std::make_error_code(std::errc::is_a_directory);
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    place.directory.Reset(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return place.directory.get() < 0 ? LastError() : std::error_code();
}

// Whether the file at `place` may be replaced or removed. `exists` tells whether there is one.
std::error_code CheckPlace(const Place& place, const WriteRules& rules, bool& exists)
{
    struct stat st {};
    if (rules.inputs && !rules.inputs->Empty()) {
        if (::fstat(place.directory.get(), &st) != 0)
            return LastError();
        if (rules.inputs->Contains(IdOf(st)))
            return FileError::InsideInputTree;
    }
    exists = false;
    if (::fstatat(place.directory.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::error_code() : LastError();
    exists = true;
    if (S_ISDIR(st.st_mode))
        return std::make_error_code(std::errc::is_a_directory);
    // Renaming over a device or a pipe (/dev/null, say) would put a plain file in its place.
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return FileError::NotRegularFile;
    if (S_ISREG(st.st_mode)) {
        if (rules.inputs && rules.inputs->Contains(IdOf(st)))
            return FileError::ReplacesInput;
        if (!MayWrite(st))
            return FileError::WriteProtected;
    }
    return {};
}

// The finished temporary file replaces the target in one rename, or disappears.
WriteStatus MoveIntoPlace(const Place& place, const std::string& temporary, std::error_code& error)
{
    if (::renameat(place.directory.get(), temporary.c_str(), place.directory.get(), place.name.c_str()) == 0)
        return WriteStatus::Ok;
    error = LastError();
    ::unlinkat(place.directory.get(), temporary.c_str(), 0);
    return WriteStatus::WriteFailed;
}

// Linking an unnamed file needs /proc (or a privilege); without /proc the named temporary file
// is used from the start, so no output is ever written twice.
bool ProcFdAvailable()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

// Writes into an unnamed file in the target's directory and names it only once it is complete,
// so even a process killed half-way (SIGKILL, the out-of-memory killer) leaves nothing behind.
// Empty when the file system cannot make unnamed files: the caller then uses a named one.
std::optional<WriteStatus> WriteThroughUnnamedFile(const Place& place, std::span<const std::uint8_t> bytes,
                                                   const WriteRules& rules, std::error_code& error)
{
#if defined(O_TMPFILE)
    if (!ProcFdAvailable())
        return std::nullopt;
    Fd file(::openat(place.directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.get() < 0)
        return std::nullopt;
    if (!NarrowPermissions(file.get(), rules.permissions) || !WriteAll(file.get(), bytes) ||
        !ApplyTimes(file.get(), rules.times)) {
        error = LastError();
        return WriteStatus::WriteFailed;
    }
    // linkat cannot replace a file, so the finished file gets a temporary name first and is then
    // renamed over the target, which is atomic.
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    const std::optional<std::string> temporary = ClaimTemporaryName(place.name, [&](const std::string& name) {
        return ::linkat(AT_FDCWD, self.c_str(), place.directory.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
    if (!temporary) {
        error = LastError();
        return WriteStatus::WriteFailed;
    }
    if (!file.Close()) {
        error = LastError();
        ::unlinkat(place.directory.get(), temporary->c_str(), 0);
        return WriteStatus::WriteFailed;
    }
    return MoveIntoPlace(place, *temporary, error);
#else
    (void)place, (void)bytes, (void)rules, (void)error;
    return std::nullopt;
#endif
}

WriteStatus WriteThroughNamedFile(const Place& place, std::span<const std::uint8_t> bytes, const WriteRules& rules,
                                  std::error_code& error)
{
    int fd = -1;
    const std::optional<std::string> temporary = ClaimTemporaryName(place.name, [&](const std::string& name) {
        fd = ::openat(place.directory.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return fd >= 0;
    });
    if (!temporary) {
        error = LastError();
        return WriteStatus::CreateFailed;
    }
    Fd file(fd);
    if (!NarrowPermissions(file.get(), rules.permissions) || !WriteAll(file.get(), bytes) ||
        !ApplyTimes(file.get(), rules.times) || !file.Close()) {
        error = LastError();
        ::unlinkat(place.directory.get(), temporary->c_str(), 0);
        return WriteStatus::WriteFailed;
    }
    return MoveIntoPlace(place, *temporary, error);
}

}  // namespace

std::error_code make_error_code(FileError error)
{
    static const FileErrorCategory category;
    return {static_cast<int>(error), category};
}

ReadStatus ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, FileFacts* facts)
{
    FileFacts scratch;
    FileFacts& out = facts ? *facts : scratch;
    bytes.clear();
    // Non-blocking, so a pipe put where a file was cannot hold the open; what was opened is
    // then checked itself.
    Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        out.error = LastError();
        return ReadStatus::OpenFailed;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        out.error = LastError();
        return ReadStatus::SizeFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        out.error = FileError::NotRegularFile;
        return ReadStatus::OpenFailed;
    }
    out.permissions = st.st_mode & 07777;
    out.id = IdOf(st);
    out.times = TimesOf(st);
    try {
        bytes.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        out.error = std::make_error_code(std::errc::not_enough_memory);
        return ReadStatus::AllocationFailed;
    } catch (const std::length_error&) {
        out.error = std::make_error_code(std::errc::not_enough_memory);
        return ReadStatus::AllocationFailed;
    }
    // A file that shrinks meanwhile ends the read early; one that grows is read to the size
    // taken above, so the buffer is never overrun.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            out.error = LastError();
            bytes.clear();
            return ReadStatus::ReadFailed;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return ReadStatus::Ok;
}

WriteStatus WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes, const WriteRules& rules,
                           std::error_code* error)
{
    std::error_code scratch;
    std::error_code& reason = error ? *error : scratch;
    reason.clear();
    Place place;
    bool exists = false;
    if ((reason = OpenPlace(path, place)) || (reason = CheckPlace(place, rules, exists)))
        return WriteStatus::CreateFailed;
    if (const std::optional<WriteStatus> status = WriteThroughUnnamedFile(place, bytes, rules, reason))
        return *status;
    return WriteThroughNamedFile(place, bytes, rules, reason);
}

bool FileTimesOf(const fs::path& path, FileTimes& times)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    times = TimesOf(st);
    return true;
}

void RemoveOutputFile(const fs::path& path, const WriteRules& rules)
{
    Place place;
    bool exists = false;
    if (OpenPlace(path, place) || CheckPlace(place, rules, exists) || !exists)
        return;
    ::unlinkat(place.directory.get(), place.name.c_str(), 0);
}

std::int64_t FileSizeOf(const fs::path& path)
{
    Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<std::int64_t>(st.st_size);
}

bool SameFile(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    const bool same = fs::equivalent(a, b, ec);
    return !ec && same;
}

// ---- DirectoryHandle ----

DirectoryHandle::DirectoryHandle(int fd) : fd_(fd)
{
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) {
        id_ = IdOf(st);
        permissions_ = st.st_mode & 07777;
    }
}

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), id_(other.id_), permissions_(other.permissions_)
{}

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        id_ = other.id_;
        permissions_ = other.permissions_;
    }
    return *this;
}

DirectoryHandle::~DirectoryHandle()
{
    if (fd_ >= 0)
        ::close(fd_);
}

DirectoryHandle DirectoryHandle::Open(const fs::path& path, std::error_code& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    error = fd < 0 ? LastError() : std::error_code();
    return DirectoryHandle(fd);
}

DirectoryHandle DirectoryHandle::Child(const std::string& name, bool followLinks, std::error_code& error) const
{
    const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    error = fd < 0 ? LastError() : std::error_code();
    return DirectoryHandle(fd);
}

std::error_code DirectoryHandle::MakeChild(const std::string& name, unsigned permissions) const
{
    if (::mkdirat(fd_, name.c_str(), static_cast<mode_t>(permissions & 07777)) == 0 || errno == EEXIST)
        return {};
    return LastError();
}

std::error_code DirectoryHandle::List(std::vector<DirectoryEntry>& entries) const
{
    const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return LastError();
    DIR* listing = ::fdopendir(copy);
    if (!listing) {
        const std::error_code error = LastError();
        ::close(copy);
        return error;
    }
    ::rewinddir(listing);
    std::error_code error;
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(listing);
        if (!found) {
            if (errno != 0)
                error = LastError();
            break;
        }
        DirectoryEntry entry;
        entry.name = found->d_name;
        if (entry.name == "." || entry.name == "..")
            continue;
        struct stat st {};
        if (found->d_type == DT_DIR) {
            entry.type = DirectoryEntry::Type::Directory;
        } else if (::fstatat(fd_, found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Kept with its reason: the caller decides how to report an entry it cannot examine.
            entry.error = LastError();
            entry.type = found->d_type == DT_REG ? DirectoryEntry::Type::File : DirectoryEntry::Type::Other;
        } else if (S_ISDIR(st.st_mode)) {
            entry.type = DirectoryEntry::Type::Directory;
        } else if (S_ISLNK(st.st_mode)) {
            if (::fstatat(fd_, found->d_name, &st, 0) == 0) {
                entry.type = S_ISDIR(st.st_mode)   ? DirectoryEntry::Type::LinkToDirectory
                             : S_ISREG(st.st_mode) ? DirectoryEntry::Type::File
                                                   : DirectoryEntry::Type::Other;
                entry.id = IdOf(st);
            }
        } else {
            entry.type = S_ISREG(st.st_mode) ? DirectoryEntry::Type::File : DirectoryEntry::Type::Other;
            entry.id = IdOf(st);
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(listing);
    return error;
}

}  // namespace tramblix
