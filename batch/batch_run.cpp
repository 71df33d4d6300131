#include "batch/batch_run.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <utility>

#include "batch/placement.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);

std::string ComparableText(std::string_view text)
{
    std::string comparable = WithTrailingSeparator(std::string(text));
    std::transform(comparable.begin(), comparable.end(), comparable.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return comparable;
}

std::string WithoutTrailingSeparators(std::string_view text)
{
    while (text.size() > 1 && text.back() == kSeparator)
        text.remove_suffix(1);
    return std::string(text);
}

bool Contains(const fs::path& outer, const fs::path& inner)
{
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (i == inner.end() || *o != *i)
            return false;
    }
    return i != inner.end();
}

}  // namespace

fs::path CanonicalDirectory(std::string_view text)
{
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::path(text), ec);
    if (ec)
        return {};
    if (!canonical.has_filename() && canonical.has_relative_path())
        canonical = canonical.parent_path();
    return canonical;
}

MessageText MessageFor(DirectoryCheck check)
{
    switch (check) {
    case DirectoryCheck::Ok: break;
    case DirectoryCheck::Missing: return kNeedPathMessage;
    case DirectoryCheck::Same: return kSameDirectoryMessage;
    case DirectoryCheck::OutputNotDirectory: return kOutputNotDirectoryMessage;
    case DirectoryCheck::OutputHoldsInput: return kOutputHoldsInputMessage;
    }
    return {"", ""};
}

DirectoryCheck CheckDirectories(std::string_view input, std::string_view output)
{
    if (input.empty() || output.empty())
        return DirectoryCheck::Missing;
    if (ComparableText(input) == ComparableText(output))
        return DirectoryCheck::Same;

    // The paths themselves, not their text: "photo.jpg/" names the file photo.jpg all the same
    // (and the system would only answer "not a directory" for it, hiding that it exists).
    const fs::path in(WithoutTrailingSeparators(input)), out(WithoutTrailingSeparators(output));
    std::error_code ec;
    if (fs::exists(in, ec) && fs::exists(out, ec) && fs::equivalent(in, out, ec) && !ec)
        return DirectoryCheck::Same;
    // The nearest part of the output path that exists must be a directory, or the output
    // directory can never be made ("photo.jpg/new").
    for (fs::path part = out; !part.empty(); part = part.parent_path()) {
        const fs::file_status status = fs::status(part, ec);
        if (!ec) {
            if (!fs::is_directory(status))
                return DirectoryCheck::OutputNotDirectory;
            break;
        }
        if (part == part.parent_path())
            break;
    }
    const fs::path canonicalIn = CanonicalDirectory(input), canonicalOut = CanonicalDirectory(output);
    if (!canonicalIn.empty() && !canonicalOut.empty() && Contains(canonicalOut, canonicalIn))
        return DirectoryCheck::OutputHoldsInput;
    return DirectoryCheck::Ok;
}

std::string WithTrailingSeparator(std::string text)
{
    if (!text.empty() && text.back() != kSeparator)
        text += kSeparator;
    return text;
}

std::string ReducedLine(std::string_view input, std::string_view output, std::int64_t inputSize,
                        std::int64_t outputSize)
{
    std::string line(kConvertingPiece);
    line.append(input).append(kToPiece).append(output).append(kReducedPiece);
    return line.append(std::to_string(inputSize - outputSize)).append(kBytesPiece);
}

std::string FailedLine(std::string_view input, std::string_view output, std::string_view reason)
{
    std::string line(kConvertingPiece);
    return line.append(input).append(kToPiece).append(output).append(kFailedPiece).append(reason);
}

std::string UpToDateLine(std::string_view input, std::string_view output)
{
    std::string line(kConvertingPiece);
    return line.append(input).append(kToPiece).append(output).append(kUpToDatePiece);
}

namespace {

// The last (up to) two bytes of a regular file of `size` bytes; empty when they cannot be read.
std::string Tail(const fs::path& path, std::int64_t size)
{
    const std::int64_t length = std::min<std::int64_t>(size, 2);
    std::string tail(static_cast<std::size_t>(length), '\0');
    std::ifstream file(path, std::ios::binary);
    if (length <= 0 || !file.seekg(size - length) || !file.read(tail.data(), length))
        return {};
    return tail;
}

// What a run leaves is the input re-encoded (ending with EOI, never larger) or an exact copy of
// it. An empty or cut-off file, a directory, a device or the input itself is no finished output,
// whatever its time says.
bool LooksFinished(const fs::path& input, const fs::path& output)
{
    const std::int64_t inputSize = FileSizeOf(input), outputSize = FileSizeOf(output);
    if (outputSize <= 0 || outputSize > inputSize || SameFile(input, output))
        return false;
    const std::string tail = Tail(output, outputSize);
    return tail == "\xFF\xD9" || (outputSize == inputSize && !tail.empty() && tail == Tail(input, inputSize));
}

}  // namespace

bool OutputIsUpToDate(const fs::path& input, const fs::path& output)
{
    FileTimes in, out;
    if (!FileTimesOf(input, in) || !FileTimesOf(output, out))
        return false;
    return std::pair(out.modifySeconds, out.modifyNanoseconds) >= std::pair(in.modifySeconds, in.modifyNanoseconds) &&
           LooksFinished(input, output);
}

std::uint64_t ShardHash(std::string_view relativePath)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : relativePath) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string UnreadableDirectoryLine(std::string_view directory, std::string_view reason)
{
    std::string line = std::string(kCannotReadDirectoryPiece).append(directory);
    if (!reason.empty())
        line.append(" (").append(reason).append(")");
    return line;
}

bool IsRetryable(CompressStatus status)
{
    switch (status) {
    case CompressStatus::NotAnImage:
    case CompressStatus::DamagedImage:
    case CompressStatus::ImageTooLarge:
    case CompressStatus::OverMemoryBudget:
    case CompressStatus::SameFile:
    case CompressStatus::Refused:
    case CompressStatus::Ok: return false;
    case CompressStatus::CannotReadInput:
    case CompressStatus::OutOfMemory:
    case CompressStatus::CannotWriteOutput:
    case CompressStatus::InternalError: break;
    }
    return true;
}

FileReport ProcessFoundFile(const std::string& filePath, const FileSettings& settings, const CompressFunction& compress)
{
    FileReport report;
    std::string outputFile;
    try {
        const OutputLocation location = OutputLocationOf(filePath, settings.inputBase, settings.outputBase);
        outputFile = location.file;
        CompressOutcome outcome;
        bool lastingReadError = false;
        std::error_code ec;
        const fs::file_status status = fs::status(fs::path(filePath), ec);
        if (ec == std::errc::no_such_file_or_directory || (!ec && !fs::is_regular_file(status)))
            return report;  // gone since it was listed, or a pipe or device named like a photo
        if (ec) {
            // Listed but not to be examined (no search permission, a path beyond the system's limit).
            outcome.status = CompressStatus::CannotReadInput;
            outcome.detail = ec.message();
            lastingReadError = ec == std::errc::filename_too_long || ec == std::errc::too_many_symbolic_link_levels;
        } else if (const std::error_code error =
                       CreateOutputDirectory(settings.inputBase, settings.outputBase,
                                             RelativeDirectory(settings.inputBase, filePath), settings.engine.inputs)) {
            // Without its directory the output cannot be written: no need to spend the compression.
            outcome.status = CompressStatus::CannotWriteOutput;
            outcome.detail = error.message();
        } else {
            outcome = compress(filePath, outputFile, settings.level, settings.strength, settings.engine);
        }
        if (outcome.status == CompressStatus::Ok) {
            report.outcome = FileReport::Outcome::Done;
            report.inputSize = outcome.inputSize;
            report.outputSize = outcome.outputSize;
            report.line = ReducedLine(filePath, outputFile, static_cast<std::int64_t>(outcome.inputSize),
                                      static_cast<std::int64_t>(outcome.outputSize));
        } else {
            report.outcome = FileReport::Outcome::Failed;
            report.retryable = IsRetryable(outcome.status) && !lastingReadError;
            report.line = FailedLine(filePath, outputFile, ReasonText(outcome));
        }
    } catch (...) {
        report.outcome = FileReport::Outcome::Failed;
        report.retryable = true;
        report.line = FailedLine(filePath, outputFile, StatusText(CompressStatus::InternalError));
    }
    return report;
}

}  // namespace tramblix
