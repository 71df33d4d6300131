#pragma once

// The one place that speaks to the operating system's file interface (POSIX here); the rest of
// the engine and the batch code use only what this header declares.

#include <compare>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace tramblix {

// A file or directory as the system knows it, whatever path leads there.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend auto operator<=>(const FileId&, const FileId&) = default;
};

// The files and directories one run reads. Filled while the tree is walked, read-only while the
// files are compressed; an output never replaces one of them or is placed in one of them. Files
// and directories are kept apart: the number of an input file removed during the run may be given
// to a directory the run then creates, which is no input for that.
class InputSet {
public:
    void AddFile(FileId id) { files_.insert(id); }
    void AddDirectory(FileId id) { directories_.insert(id); }
    bool HasFile(FileId id) const { return files_.count(id) != 0; }
    bool HasDirectory(FileId id) const { return directories_.count(id) != 0; }
    bool Empty() const { return files_.empty() && directories_.empty(); }

private:
    std::set<FileId> files_;
    std::set<FileId> directories_;
};

// The directories one run has cleared of temporary files that killed runs left, so that each is
// listed once per run however many outputs it receives. Shared by the run's threads.
class LeftoverSweep {
public:
    // True the first time `directory` is asked about.
    bool FirstVisit(FileId directory)
    {
        const std::lock_guard lock(mutex_);
        return visited_.insert(directory).second;
    }

private:
    std::mutex mutex_;
    std::set<FileId> visited_;
};

// Reasons of our own for refusing a file operation, next to the system's errno values.
enum class FileError {
    InsideInputTree = 1,  // the output would land in a directory the run reads
    ReplacesInput,        // the output would replace a file the run reads
    WriteProtected,       // the existing output may not be written by this user
    NotRegularFile,       // a pipe, a device or a directory where a file is needed
    DanglingLink,         // the output is a link to nothing
    ChangedMeanwhile,     // the output's place was taken by something else while it was written
    ChangedWhileRead,     // in place: the same file, but written to since it was read
};
std::error_code make_error_code(FileError error);

enum class ReadStatus {
    Ok,
    OpenFailed,
    SizeFailed,
    AllocationFailed,
    ReadFailed,
};

// A file's access and modification times, to the nanosecond.
struct FileTimes {
    std::int64_t accessSeconds = 0;
    std::int64_t accessNanoseconds = 0;
    std::int64_t modifySeconds = 0;
    std::int64_t modifyNanoseconds = 0;
};

// What a read learnt about the file besides its bytes.
struct FileFacts {
    std::error_code error;     // why a read failed
    unsigned permissions = 0;  // the file's permission bits
    FileId id;
    FileTimes times;  // as they were before the read
    std::uint64_t size = 0;
    std::uint64_t links = 1;  // hard links to the file
};

// Reads a whole regular file into `bytes`. What is opened is checked, not the path: a pipe or a
// device swapped in is refused without blocking. A file that changes size while it is read is
// read to its current end, never past the buffer.
ReadStatus ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                         FileFacts* facts = nullptr);

enum class WriteStatus {
    Ok,
    CreateFailed,  // the file could not be created, or the place was refused
    WriteFailed,   // writing, flushing or renaming failed; nothing was left behind
};

// Added to an input's permission bits for its output (the umask still narrows them).
inline constexpr unsigned kOwnerWrite = 0200;

struct WriteRules {
    const InputSet* inputs = nullptr;  // never written over or into
    unsigned permissions = 0666;       // the widest the new file may be; the umask narrows it further
    const FileTimes* times = nullptr;  // given to the new file before it is named; null: now
    LeftoverSweep* sweep = nullptr;    // the run's cleared directories; null: every write clears
    // In place: the file the write replaces, as it was read. It is replaced only while it is still
    // that file, unchanged; the new file takes its mode, its owner where permitted and its extended
    // attributes where the file system takes them, and reaches the disk before it takes the name.
    const FileFacts* replaces = nullptr;
};

// Writes `bytes` into an unnamed file in the target's directory (or, without that, a temporary
// file beside it) and gives it the name `path` only when complete, so a reader never sees a
// half-written file and a failure leaves no trace. An existing output that this user may not
// write is not replaced. A link is never replaced: the regular file it leads to (through any
// chain of links) is, in that file's own directory; a link to nothing, to a pipe, a device, a
// directory or into /proc is refused. Leftover temporary files of killed runs in that directory
// are removed first. `error` receives the reason of a failure.
WriteStatus WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           const WriteRules& rules = {}, std::error_code* error = nullptr);

// The times of the file `path` names (links followed); false when it cannot be examined.
bool FileTimesOf(const std::filesystem::path& path, FileTimes& times);

// Removes an old output file under the same rules as a write. A link and what it leads to are
// left as they are: the output it leads to belongs to the place the user chose.
void RemoveOutputFile(const std::filesystem::path& path, const WriteRules& rules = {});

// Removes the temporary files (`.NAME.tramblix-*.tmp`) that killed runs left where `output` is
// written (its directory, or that of the file a link leads to; once per run with a `sweep`); one
// a live run holds (it keeps a lock) stays.
void ClearLeftoversBeside(const std::filesystem::path& output, LeftoverSweep* sweep = nullptr);

// The size of a file in bytes; 0 when it cannot be opened (missing, no access) or is empty.
std::int64_t FileSizeOf(const std::filesystem::path& path);

// The identity of the file `path` names (links followed); false when it cannot be examined.
bool FileIdOf(const std::filesystem::path& path, FileId& id);

// True when both paths exist and name the same file (links and other spellings included).
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// ---- Directories, walked relative to open handles so a tree of any depth can be listed ----

struct DirectoryEntry {
    enum class Type { Directory, LinkToDirectory, File, Other };
    std::string name;
    Type type = Type::Other;  // File: a regular file or a link to one
    FileId id{};              // of the file a link leads to
    std::error_code error{};  // set when the entry could not be examined
};

class DirectoryHandle {
public:
    DirectoryHandle() = default;
    DirectoryHandle(DirectoryHandle&& other) noexcept;
    DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;
    ~DirectoryHandle();

    // Opens a directory by path, following links.
    static DirectoryHandle Open(const std::filesystem::path& path, std::error_code& error);
    // Opens the sub-directory `name`; a link is refused unless `followLinks`.
    DirectoryHandle Child(const std::string& name, bool followLinks, std::error_code& error) const;
    // Creates the sub-directory `name` (the umask narrows `permissions`); one that exists is fine.
    std::error_code MakeChild(const std::string& name, unsigned permissions) const;
    // Every entry but "." and "..", unsorted. Entries read before a failure are kept.
    std::error_code List(std::vector<DirectoryEntry>& entries) const;

    bool IsOpen() const { return fd_ >= 0; }
    FileId Id() const { return id_; }

private:
    explicit DirectoryHandle(int fd);
    int fd_ = -1;
    FileId id_{};
};

}  // namespace tramblix

namespace std {
template <>
struct is_error_code_enum<tramblix::FileError> : true_type {};
}  // namespace std
