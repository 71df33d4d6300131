#include "engine/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
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
        case FileError::DanglingLink: return "dangling link";
        case FileError::ChangedMeanwhile: return "it was replaced by something else while it was written";
        case FileError::ChangedWhileRead: return "it changed while it was being read";
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

constexpr std::string_view kTemporaryMark = ".tramblix-";
constexpr std::string_view kTemporaryEnd = ".tmp";

std::string TemporaryName(const std::string& target)
{
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    const std::string suffix = std::to_string(random() % 1000000u) + "-" + std::to_string(counter++);
    // Only the start of the name: a name near the 255-byte limit would otherwise make the
    // temporary name too long and the output unwritable.
    return "." + target.substr(0, 64) + std::string(kTemporaryMark) + suffix + std::string(kTemporaryEnd);
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

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Exactly the names TemporaryName makes, and made in every earlier version: ".NAME.tramblix-D-D.tmp".
bool IsTemporaryName(std::string_view name)
{
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (name.size() < 2 || name.front() != '.' || !name.ends_with(kTemporaryEnd) || mark == std::string_view::npos ||
        mark < 2 || mark + kTemporaryMark.size() > name.size() - kTemporaryEnd.size())
        return false;
    const std::string_view suffix =
        name.substr(mark + kTemporaryMark.size(), name.size() - kTemporaryEnd.size() - mark - kTemporaryMark.size());
    const std::size_t dash = suffix.find('-');
    return dash != std::string_view::npos && AllDigits(suffix.substr(0, dash)) && AllDigits(suffix.substr(dash + 1));
}

// A run holds this lock on each temporary file it owns, so a later run can tell a leftover of a
// killed one (nobody holds it) from a file being written. Where the file system has no such
// locks the write goes on without one.
bool LockTemporary(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// Removes the temporary file `name` when no live run holds it: a regular file with no other name,
// opened without following a link, whose lock can be taken, and still the file of that name.
void RemoveIfAbandoned(int directory, const char* name)
{
    struct stat listed {};
    if (::fstatat(directory, name, &listed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(listed.st_mode))
        return;
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd file(::openat(directory, name, O_RDONLY | kFlags));
    if (file.get() < 0)
        file.Reset(::openat(directory, name, O_WRONLY | kFlags));
    struct stat opened {};
    if (file.get() < 0 || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1 ||
        ::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
        return;
    if (::fstatat(directory, name, &listed, AT_SYMLINK_NOFOLLOW) == 0 && IdOf(listed) == IdOf(opened))
        ::unlinkat(directory, name, 0);
}

// Clears the leftovers of killed runs from a directory about to receive an output.
void ClearLeftovers(int directory, LeftoverSweep* sweep)
{
    struct stat st {};
    if (sweep && (::fstat(directory, &st) != 0 || !sweep->FirstVisit(IdOf(st))))
        return;
    const int copy = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!listing) {
        if (copy >= 0)
            ::close(copy);
        return;
    }
    ::rewinddir(listing);  // the copy shares its reading position with the place's descriptor
    while (const dirent* found = ::readdir(listing)) {
        if ((found->d_type == DT_REG || found->d_type == DT_UNKNOWN) && IsTemporaryName(found->d_name))
            RemoveIfAbandoned(directory, found->d_name);
    }
    ::closedir(listing);
}

// The target's directory, opened once: every later step works relative to it, so the place
// checked is the place written, whatever links lead there.
struct Place {
    Fd directory;
    std::string name;
    Fd original;  // in place: the file being replaced, opened once the links are followed
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

// A link in /proc names a file some process has open (/dev/stdout leads there), not a place:
// writing beside what it shows would replace a log the shell appends to.
bool InProcFileSystem(int directory)
{
#if defined(__linux__)
    struct statfs info {};
    return ::fstatfs(directory, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
#else
    (void)directory;
    return false;
#endif
}

constexpr int kMostLinks = 40;  // the system's own limit on a path

// Moves `place` along the links at its name to the file they lead to, so that file is written
// in its own directory and the links stay. What a link leads to is judged as if named directly.
std::error_code FollowLinks(Place& place)
{
    for (int hop = 0;; ++hop) {
        struct stat st {};
        if (::fstatat(place.directory.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return LastError();
            return hop > 0 ? std::error_code(FileError::DanglingLink) : std::error_code();
        }
        if (!S_ISLNK(st.st_mode))
            return {};
        if (hop == 0) {
            // The system's view of the whole chain first: a link to a pipe or a terminal is that.
            if (::fstatat(place.directory.get(), place.name.c_str(), &st, 0) != 0)
                return errno == ENOENT ? std::error_code(FileError::DanglingLink) : LastError();
            if (S_ISDIR(st.st_mode))
                return std::make_error_code(std::errc::is_a_directory);
            if (!S_ISREG(st.st_mode))
                return FileError::NotRegularFile;
        }
        if (InProcFileSystem(place.directory.get()))
            return FileError::NotRegularFile;
        if (hop == kMostLinks)
            return std::make_error_code(std::errc::too_many_symbolic_link_levels);
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(place.directory.get(), place.name.c_str(), target.data(), target.size());
        if (length < 0)
            return LastError();
        if (static_cast<std::size_t>(length) >= target.size())
            return std::make_error_code(std::errc::filename_too_long);
        target.resize(static_cast<std::size_t>(length));
        const fs::path next(target);
        std::string name = next.filename().string();
        if (name.empty() || name == "." || name == "..")
            return std::make_error_code(std::errc::is_a_directory);
        if (next.has_parent_path()) {
            // Relative to the link's own directory; an absolute target ignores it.
            const int directory =
                ::openat(place.directory.get(), next.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (directory < 0)
                return errno == ENOENT ? std::error_code(FileError::DanglingLink) : LastError();
            place.directory.Reset(directory);
        }
        place.name = std::move(name);
    }
}

// Whether the directory of `place` may receive an output: never one the run reads.
std::error_code CheckDirectory(const Place& place, const WriteRules& rules)
{
    struct stat st {};
    if (!rules.inputs || rules.inputs->Empty())
        return {};
    if (::fstat(place.directory.get(), &st) != 0)
        return LastError();
    return rules.inputs->HasDirectory(IdOf(st)) ? std::error_code(FileError::InsideInputTree) : std::error_code();
}

// Whether an existing file may be replaced (or removed) by an output.
std::error_code Replaceable(const struct stat& st, const WriteRules& rules)
{
    if (S_ISLNK(st.st_mode))
        return FileError::ChangedMeanwhile;  // links were followed before; this one came since
    if (S_ISDIR(st.st_mode))
        return std::make_error_code(std::errc::is_a_directory);
    // Renaming over a device or a pipe (/dev/null, say) would put a plain file in its place.
    if (!S_ISREG(st.st_mode))
        return FileError::NotRegularFile;
    if (rules.inputs && rules.inputs->HasFile(IdOf(st)))
        return FileError::ReplacesInput;
    if (rules.replaces && IdOf(st) != rules.replaces->id)
        return FileError::ChangedMeanwhile;
    // Another program still writing the file (a download, a camera import) changes it in place.
    if (rules.replaces && (static_cast<std::uint64_t>(st.st_size) != rules.replaces->size ||
                           TimesOf(st).modifySeconds != rules.replaces->times.modifySeconds ||
                           TimesOf(st).modifyNanoseconds != rules.replaces->times.modifyNanoseconds))
        return FileError::ChangedWhileRead;
    // In place, root replaces a file its owner may write (the owner is kept); a file nobody may
    // write stays protected.
    if (!MayWrite(st) && !(rules.replaces && ::geteuid() == 0 && (st.st_mode & S_IWUSR) != 0))
        return FileError::WriteProtected;
    return {};
}

// Whether the file at `place` may be replaced. `exists` tells whether there is one.
std::error_code CheckTarget(const Place& place, const WriteRules& rules, bool& exists)
{
    struct stat st {};
    exists = false;
    if (::fstatat(place.directory.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::error_code() : LastError();
    exists = true;
    return Replaceable(st, rules);
}

// The finished output before it has its name: an open, locked file, and a temporary name in the
// target's directory when it needs one.
struct Staged {
    Fd lock;  // held to the end, so a later run leaves the temporary name alone meanwhile
    FileId id;
    std::string temporary;
};

enum class Placed { Done, Raced, Failed };

// Linking an unnamed file needs /proc (or a privilege); without /proc the named temporary file
// is used from the start, so no output is ever written twice.
bool ProcFdAvailable()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

bool LinkUnnamed(const Staged& staged, int directory, const std::string& name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(staged.lock.get());
    return ::linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Renames without ever replacing what has the new name (errno EEXIST then).
bool RenameNoReplace(int directory, const std::string& from, const std::string& to)
{
#if defined(RENAME_NOREPLACE)
    if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // A second name and the first one dropped: just as safe, on file systems without the flag.
    if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) == 0) {
        ::unlinkat(directory, from.c_str(), 0);
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP)
        return false;
    return ::renameat(directory, from.c_str(), directory, to.c_str()) == 0;
}

// Where no file has the target's name: the finished file takes it. One that appears meanwhile is
// never replaced (Raced: look again).
Placed PlaceNew(const Place& place, Staged& staged, std::error_code& error)
{
    const bool done = staged.temporary.empty() ? LinkUnnamed(staged, place.directory.get(), place.name)
                                               : RenameNoReplace(place.directory.get(), staged.temporary, place.name);
    if (done) {
        staged.temporary.clear();
        return Placed::Done;
    }
    if (errno == EEXIST)
        return Placed::Raced;
    error = LastError();
    return Placed::Failed;
}

// Replaces the file that has the target's name in one step. The names are swapped rather than
// renamed over, so what was there is seen before it goes: a link or anything else put there
// meanwhile is swapped back, untouched.
Placed PlaceOver(const Place& place, const WriteRules& rules, Staged& staged, std::error_code& error)
{
    const int directory = place.directory.get();
    if (staged.temporary.empty()) {
        const std::optional<std::string> temporary = ClaimTemporaryName(
            place.name, [&](const std::string& name) { return LinkUnnamed(staged, directory, name); });
        if (!temporary) {
            error = LastError();
            return Placed::Failed;
        }
        staged.temporary = *temporary;
    }
#if defined(RENAME_EXCHANGE)
    if (::renameat2(directory, staged.temporary.c_str(), directory, place.name.c_str(), RENAME_EXCHANGE) == 0) {
        struct stat old {};
        if (::fstatat(directory, staged.temporary.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
            (error = Replaceable(old, rules))) {
            ::renameat2(directory, staged.temporary.c_str(), directory, place.name.c_str(), RENAME_EXCHANGE);
            return Placed::Failed;
        }
        ::unlinkat(directory, staged.temporary.c_str(), 0);
        staged.temporary.clear();
        return Placed::Done;
    }
    if (errno == ENOENT)
        return Placed::Raced;
#else
    (void)rules;
#endif
    // Where names cannot be swapped (NFS, some FUSE file systems), a plain rename; where the swap
    // failed for another reason, the rename fails for the same one.
    if (::renameat(directory, staged.temporary.c_str(), directory, place.name.c_str()) == 0) {
        staged.temporary.clear();
        return Placed::Done;
    }
    error = LastError();
    return Placed::Failed;
}

// Removes the temporary name after a failure, if it still names the staged file.
void DropTemporary(const Place& place, const Staged& staged)
{
    struct stat st {};
    if (!staged.temporary.empty() &&
        ::fstatat(place.directory.get(), staged.temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        IdOf(st) == staged.id)
        ::unlinkat(place.directory.get(), staged.temporary.c_str(), 0);
}

// Gives the finished file its name. Another writer may make or remove the target meanwhile (a
// second run over the same tree): the place is looked at again, a few times.
WriteStatus NameStaged(const Place& place, const WriteRules& rules, bool exists, Staged& staged, std::error_code& error)
{
    for (int attempt = 0; attempt < 4 && !error; ++attempt) {
        if (attempt > 0 && (error = CheckTarget(place, rules, exists)))
            break;
        const Placed placed = exists ? PlaceOver(place, rules, staged, error) : PlaceNew(place, staged, error);
        if (placed == Placed::Done)
            return WriteStatus::Ok;
        if (placed == Placed::Failed)
            break;
    }
    if (!error)
        error = FileError::ChangedMeanwhile;
    DropTemporary(place, staged);
    return WriteStatus::WriteFailed;
}

// Extended attributes the file system or this user cannot set (security.*, trusted.*) are left
// behind: the picture matters more than a label.
void CopyExtendedAttributes(int from, int to)
{
    std::vector<char> names(4096);
    ssize_t length = ::flistxattr(from, names.data(), names.size());
    if (length < 0 && errno == ERANGE && (length = ::flistxattr(from, nullptr, 0)) > 0) {
        names.resize(static_cast<std::size_t>(length));
        length = ::flistxattr(from, names.data(), names.size());
    }
    for (std::size_t at = 0; length > 0 && at < static_cast<std::size_t>(length);) {
        const char* name = names.data() + at;
        at += std::char_traits<char>::length(name) + 1;
        const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0)
            continue;
        std::vector<char> value(static_cast<std::size_t>(size) + 1);
        const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
        if (got >= 0)
            ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0);
    }
}

// In place: what the replaced file was besides its bytes. The owner goes first, as a change of
// owner clears the set-id bits the mode then restores.
bool TakeOriginalsAttributes(int fd, const Place& place)
{
    struct stat original {};
    if (::fstat(place.original.get(), &original) != 0)
        return false;
    [[maybe_unused]] const int owned = ::fchown(fd, original.st_uid, original.st_gid);
    CopyExtendedAttributes(place.original.get(), fd);
    struct stat now {};
    if (::fstat(fd, &now) != 0)
        return false;
    // Where the owner or group could not be kept, their rights must not pass to the new ones.
    mode_t mode = original.st_mode & 07777;
    if (now.st_gid != original.st_gid)
        mode &= ~(S_ISGID | S_IRWXG);
    if (now.st_uid != original.st_uid)
        mode &= ~S_ISUID;
    return ::fchmod(fd, mode) == 0;
}

// Writes the bytes and closes the writing descriptor, whose close may report a late write error;
// the lock stays on a second descriptor.
bool FillStaged(Fd& file, std::span<const std::uint8_t> bytes, const WriteRules& rules, const Place& place,
                Staged& staged)
{
    struct stat st {};
    if (!NarrowPermissions(file.get(), rules.permissions) || !WriteAll(file.get(), bytes) ||
        !ApplyTimes(file.get(), rules.times) || ::fstat(file.get(), &st) != 0)
        return false;
    // A crash after the rename must find the new bytes, not an empty file, under the old name.
    if (place.original.get() >= 0 && (!TakeOriginalsAttributes(file.get(), place) || ::fsync(file.get()) != 0))
        return false;
    staged.id = IdOf(st);
    staged.lock.Reset(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    return staged.lock.get() >= 0 && file.Close();
}

// Writes into an unnamed file in the target's directory and names it only once it is complete,
// straight with the target's name where there is no file yet, so a process killed at any point
// (SIGKILL, the out-of-memory killer) leaves no file behind; where an old output is replaced it
// leaves at most a temporary name, which the next run removes.
// Empty when the file system cannot make unnamed files: the caller then uses a named one.
std::optional<WriteStatus> WriteThroughUnnamedFile(const Place& place, std::span<const std::uint8_t> bytes,
                                                   const WriteRules& rules, bool exists, std::error_code& error)
{
#if defined(O_TMPFILE)
    if (!ProcFdAvailable())
        return std::nullopt;
    Fd file(::openat(place.directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.get() < 0)
        return std::nullopt;
    Staged staged;
    if (!LockTemporary(file.get()) || !FillStaged(file, bytes, rules, place, staged)) {
        error = LastError();
        return WriteStatus::WriteFailed;
    }
    return NameStaged(place, rules, exists, staged, error);
#else
    (void)place, (void)bytes, (void)rules, (void)exists, (void)error;
    return std::nullopt;
#endif
}

WriteStatus WriteThroughNamedFile(const Place& place, std::span<const std::uint8_t> bytes, const WriteRules& rules,
                                  bool exists, std::error_code& error)
{
    Fd file;
    // A name another run is clearing as a leftover (it holds the lock for a moment) is given up.
    const std::optional<std::string> temporary = ClaimTemporaryName(place.name, [&](const std::string& name) {
        file.Reset(::openat(place.directory.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.get() < 0)
            return false;
        struct stat mine {
        }, named{};
        if (LockTemporary(file.get()) && ::fstat(file.get(), &mine) == 0 &&
            ::fstatat(place.directory.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            IdOf(mine) == IdOf(named))
            return true;
        file.Reset(-1);
        errno = EEXIST;
        return false;
    });
    if (!temporary) {
        error = LastError();
        return WriteStatus::CreateFailed;
    }
    Staged staged;
    if (!FillStaged(file, bytes, rules, place, staged)) {
        error = LastError();
        ::unlinkat(place.directory.get(), temporary->c_str(), 0);
        return WriteStatus::WriteFailed;
    }
    staged.temporary = *temporary;
    return NameStaged(place, rules, exists, staged, error);
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
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.links = static_cast<std::uint64_t>(st.st_nlink);
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
    if ((reason = OpenPlace(path, place)) || (reason = FollowLinks(place)) || (reason = CheckDirectory(place, rules)) ||
        (reason = CheckTarget(place, rules, exists)))
        return WriteStatus::CreateFailed;
    ClearLeftovers(place.directory.get(), rules.sweep);
    if (rules.replaces) {
        place.original.Reset(
            ::openat(place.directory.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (place.original.get() < 0 || ::fstat(place.original.get(), &st) != 0) {
            reason = LastError();
            return WriteStatus::CreateFailed;
        }
        if ((reason = Replaceable(st, rules)))
            return WriteStatus::CreateFailed;
    }
    std::optional<WriteStatus> status = WriteThroughUnnamedFile(place, bytes, rules, exists, reason);
    if (!status)
        status = WriteThroughNamedFile(place, bytes, rules, exists, reason);
    // The new name, too, must outlast a crash before the run reports the file done.
    if (rules.replaces && *status == WriteStatus::Ok)
        ::fsync(place.directory.get());
    return *status;
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
    struct stat st {};
    if (OpenPlace(path, place) || ::fstatat(place.directory.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISLNK(st.st_mode) || CheckDirectory(place, rules) || CheckTarget(place, rules, exists) || !exists)
        return;
    ::unlinkat(place.directory.get(), place.name.c_str(), 0);
}

void ClearLeftoversBeside(const fs::path& output, LeftoverSweep* sweep)
{
    Place place;
    if (!OpenPlace(output, place) && !FollowLinks(place))
        ClearLeftovers(place.directory.get(), sweep);
}

std::int64_t FileSizeOf(const fs::path& path)
{
    Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<std::int64_t>(st.st_size);
}

bool FileIdOf(const fs::path& path, FileId& id)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    id = IdOf(st);
    return true;
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
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0)
        id_ = IdOf(st);
}

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)), id_(other.id_)
{}

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        id_ = other.id_;
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
