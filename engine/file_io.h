#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace tramblix {

enum class ReadStatus {
    Ok,
    OpenFailed,
    SizeFailed,
    AllocationFailed,
    ReadFailed,
};

// Reads a whole file into `bytes`. A file that changes size while it is read is read to its
// current end, never past the buffer.
ReadStatus ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes);

enum class WriteStatus {
    Ok,
    CreateFailed,  // the temporary file beside the target could not be created
    WriteFailed,   // writing, flushing or renaming failed; nothing was left behind
};

// Writes `bytes` to a temporary file beside `path` and renames it over `path` only when
// complete, so a reader never sees a half-written file and a failure leaves no trace.
WriteStatus WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The size of a file in bytes; 0 when it cannot be opened (missing, no access) or is empty.
std::int64_t FileSizeOf(const std::filesystem::path& path);

// True when both paths exist and name the same file (links and other spellings included).
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace tramblix
