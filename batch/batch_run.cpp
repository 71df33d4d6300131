#include "batch/batch_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "batch/placement.h"
#include "engine/codec.h"
#include "engine/file_io.h"
#include "engine/target.h"

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

// A mount table field with its octal escapes ("\040" for a space) undone.
std::string Unescaped(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](std::size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The file system (its device) that shows the real path `canonical` and the path inside it: a bind
// mount shows a directory of a file system at another place, where no path above it leads back to
// the directories above its source. Empty when /proc/self/mountinfo cannot tell.
std::pair<std::string, fs::path> PlaceInFileSystem(const fs::path& canonical)
{
    std::pair<std::string, fs::path> place;
    std::size_t longest = 0;
    std::ifstream table("/proc/self/mountinfo");
    // ID PARENT MAJ:MIN ROOT MOUNT-POINT ...; a later mount on the same point hides the earlier.
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point))
            continue;
        const fs::path mountPoint = Unescaped(point);
        const std::size_t depth = std::distance(mountPoint.begin(), mountPoint.end());
        if (depth < longest || !(mountPoint == canonical || Contains(mountPoint, canonical)))
            continue;
        longest = depth;
        place = {device, (fs::path(Unescaped(root)) / canonical.lexically_relative(mountPoint)).lexically_normal()};
    }
    if (!place.second.empty() && !place.second.has_filename())
        place.second = place.second.parent_path();
    return place;
}

// True when `inner` lies below `outer` in the same file system, wherever each is mounted.
bool ContainsInFileSystem(const fs::path& outer, const fs::path& inner)
{
    if (outer.empty() || inner.empty())
        return false;
    const auto [outerDevice, outerPath] = PlaceInFileSystem(outer);
    const auto [innerDevice, innerPath] = PlaceInFileSystem(inner);
    return !outerDevice.empty() && outerDevice == innerDevice && Contains(outerPath, innerPath);
}

// True when a directory above `output` (by its real path) is `input` itself, compared by identity,
// so a link to the input or another mount of it counts as well as its own path; so does an output
// reached through a bind mount of a directory inside the input.
bool LiesInside(const fs::path& input, const fs::path& output)
{
    const fs::path real = CanonicalDirectory(output.native());
    for (fs::path above = real.parent_path(); !above.empty(); above = above.parent_path()) {
        std::error_code ec;
        if (fs::equivalent(above, input, ec) && !ec)
            return true;
        if (above == above.parent_path())
            break;
    }
    return ContainsInFileSystem(CanonicalDirectory(input.native()), real);
}

bool IsMark(const fs::path& directory)
{
    std::error_code ec;
    return fs::is_regular_file(fs::symlink_status(directory / kOutputMarkName, ec));
}

// What outputs may replace: nothing when the directory is new or empty, earlier outputs when it
// carries the mark. A directory that cannot be listed counts as holding files.
bool MayTakeOutputs(const fs::path& directory)
{
    std::error_code ec;
    if (!fs::exists(directory, ec) && !ec)
        return true;
    if (IsMark(directory))
        return true;
    const fs::directory_iterator listing(directory, ec);
    if (!ec && listing == fs::directory_iterator())
        return true;
    return IsMark(directory);  // made meanwhile by a part of the same run starting beside this one
}

constexpr char kMarkText[] =
    "This directory holds outputs of JPEG Tramblix. It lies inside the input directory of\n"
    "the run that made it; while this file is here, later runs may write into it.\n";

// Creates the mark unless an entry of that name is there; false when that entry is no mark (a
// link, a directory). A directory that takes no file at all takes no output either: its files
// fail with the reason, and it stays unmarked and empty.
bool MakeMark(const fs::path& directory)
{
    const fs::path mark = directory / kOutputMarkName;
    // "x": created here or not at all, so neither a link nor another run's mark is written through.
    std::FILE* file = std::fopen(mark.c_str(), "wx");
    if (file == nullptr)
        return errno != EEXIST || IsMark(directory);
    const bool written = std::fputs(kMarkText, file) >= 0;
    if (std::fclose(file) != 0 || !written) {
        std::error_code ec;
        fs::remove(mark, ec);
    }
    return true;
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
    case DirectoryCheck::OutputInsideInput: return kOutputInsideInputMessage;
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
    if (!canonicalIn.empty() && !canonicalOut.empty() &&
        (Contains(canonicalOut, canonicalIn) || ContainsInFileSystem(canonicalOut, canonicalIn)))
        return DirectoryCheck::OutputHoldsInput;
    if (LiesInside(in, out) && !MayTakeOutputs(out))
        return DirectoryCheck::OutputInsideInput;
    return DirectoryCheck::Ok;
}

DirectoryCheck ClaimOutputDirectory(std::string_view input, std::string_view output)
{
    const fs::path in(WithoutTrailingSeparators(input)), out(WithoutTrailingSeparators(output));
    if (!LiesInside(in, out))
        return DirectoryCheck::Ok;
    std::error_code ec;
    const bool existed = fs::exists(out, ec);
    // A directory that cannot be made fails each file with the reason, as outside the input.
    if (!existed && CreateOutputDirectory(WithTrailingSeparator(std::string(input)),
                                          WithTrailingSeparator(std::string(output)), {}, nullptr))
        return DirectoryCheck::Ok;
    // Looked at again now that it exists: files may have come since the check.
    if (!MayTakeOutputs(out) || !MakeMark(out))
        return DirectoryCheck::OutputInsideInput;
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

std::string TargetPiece(int quality, double distance, bool kept)
{
    if (quality == 0)
        return " (kept: " + UnreachableText(distance) + ")";
    if (kept)
        return " (kept: " + KeptText(quality, distance) + ")";
    return " at quality " + std::to_string(quality) + " for distance " + DistanceText(distance);
}

std::string FailedLine(std::string_view input, std::string_view output, std::string_view reason)
{
    std::string line(kConvertingPiece);
    return line.append(input).append(kToPiece).append(output).append(kFailedPiece).append(reason);
}

std::string SkippedLine(std::string_view input, std::string_view output, std::string_view reason)
{
    std::string line(kConvertingPiece);
    return line.append(input).append(kToPiece).append(output).append(kSkippedPiece).append(reason);
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

// A complete, clean JPEG, or the input kept byte for byte when it is a picture a run takes.
bool IsFinishedOutput(const fs::path& input, const fs::path& output)
{
    std::vector<std::uint8_t> bytes, original;
    if (ReadWholeFile(output, bytes) != ReadStatus::Ok)
        return false;
    if (IsCompleteJpeg(bytes))
        return true;
    DecodedImage image;
    return FileSizeOf(input) == static_cast<std::int64_t>(bytes.size()) &&
           ReadWholeFile(input, original) == ReadStatus::Ok && original == bytes &&
           DecodeImage(original, image) == DecodeStatus::Ok;
}

}  // namespace

bool OutputIsUpToDate(const fs::path& input, const fs::path& output)
{
    FileTimes in, out;
    if (!FileTimesOf(input, in) || !FileTimesOf(output, out))
        return false;
    return std::pair(out.modifySeconds, out.modifyNanoseconds) >= std::pair(in.modifySeconds, in.modifyNanoseconds) &&
           LooksFinished(input, output) && IsFinishedOutput(input, output);
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

std::string SkippedDirectoryLine(std::string_view directory, std::string_view reason)
{
    return std::string(kSkippingDirectoryPiece).append(directory).append(" (").append(reason).append(")");
}

namespace {

// Why an entry that matched is no file to read: a pipe or a device, a link that leads nowhere,
// a file gone since it was listed. Empty when it is a regular file, or when it cannot be
// examined (`ec` says why).
std::string_view NotAFileReason(const fs::path& path, std::error_code& ec, bool& retryable)
{
    const fs::file_status status = fs::status(path, ec);
    if (!ec)
        return fs::is_regular_file(status) ? std::string_view() : kNotRegularFileReason;
    if (ec != std::errc::no_such_file_or_directory)
        return {};
    std::error_code link;
    if (fs::is_symlink(fs::symlink_status(path, link)))
        return kDanglingLinkReason;
    retryable = true;
    return kVanishedReason;
}

}  // namespace

bool MayPassByItself(const std::error_code& error)
{
    if (!error)
        return true;  // nothing said against it
    if (error.category() == std::generic_category() || error.category() == std::system_category()) {
        switch (error.value()) {
        case ENOSPC:
        case EDQUOT:
        case EFBIG:  // a file-size limit, met as a full disk
        case ENOMEM:
        case ENOENT:  // vanished meanwhile
        case EINTR:
        case EAGAIN:
        case EBUSY:
        case ETXTBSY:
        case EMFILE:
        case ENFILE: return true;
        default: return false;
        }
    }
    return error == FileError::ChangedMeanwhile || error == FileError::ChangedWhileRead;
}

bool IsRetryable(const CompressOutcome& outcome)
{
    switch (outcome.status) {
    case CompressStatus::NotAnImage:
    case CompressStatus::DamagedImage:
    case CompressStatus::ImageTooLarge:
    case CompressStatus::OverMemoryBudget:
    case CompressStatus::SameFile:
    case CompressStatus::Refused:
    case CompressStatus::NoFittingJpeg:
    case CompressStatus::Ok: return false;
    case CompressStatus::CannotReadInput:
    case CompressStatus::CannotWriteOutput: return MayPassByItself(outcome.error);
    case CompressStatus::OutOfMemory:
    case CompressStatus::InternalError: break;
    }
    return true;
}

std::string KeptReason(CompressOutcome outcome, const EngineOptions& options)
{
    if (outcome.kept == KeepReason::None)
        outcome.kept = KeepReason::NotSmaller;  // a copy, whichever rule made it
    return KeepReasonText(outcome, options);
}

FileReport ProcessFoundFile(const std::string& filePath, const FileSettings& settings, const CompressFunction& compress)
{
    FileReport report;
    std::string outputFile;
    report.input = filePath;
    try {
        const OutputLocation location = OutputLocationOf(filePath, settings.inputBase, settings.outputBase);
        outputFile = location.file;
        report.output = outputFile;
        CompressOutcome outcome;
        std::error_code ec;
        // An old output stays: the input it came from may exist no more.
        if (const std::string_view reason = NotAFileReason(filePath, ec, report.retryable); !reason.empty()) {
            report.reason = reason;
            if (std::error_code outputError; fs::exists(fs::symlink_status(outputFile, outputError)))
                report.reason.append(kOldOutputLeftPiece);
            report.line = FailedLine(filePath, outputFile, report.reason);
            return report;
        }
        if (ec) {
            // Listed but not to be examined (no search permission, a path beyond the system's limit).
            outcome.status = CompressStatus::CannotReadInput;
            outcome.error = ec;
            outcome.detail = ec.message();
        } else if (const std::error_code error =
                       settings.mode.inPlace || settings.mode.dryRun
                           ? std::error_code()
                           : CreateOutputDirectory(settings.inputBase, settings.outputBase,
                                                   RelativeDirectory(settings.inputBase, filePath),
                                                   settings.engine.inputs)) {
            // Without its directory the output cannot be written: no need to spend the compression.
            outcome.status = CompressStatus::CannotWriteOutput;
            outcome.error = error;
            outcome.detail = error.message();
        } else if (settings.mode.Plain()) {
            outcome = compress(filePath, outputFile, settings.level, settings.strength, settings.engine);
        } else {
            outcome =
                CompressFileAs(filePath, outputFile, settings.level, settings.strength, settings.engine, settings.mode);
        }
        report.quality = outcome.quality;
        report.distance = outcome.distance;
        report.inputSize = outcome.inputSize;  // also of a failure, whenever the input was read
        if (outcome.status == CompressStatus::Ok && !outcome.skipped.empty()) {
            report.outcome = FileReport::Outcome::Skipped;
            report.outputSize = outcome.outputSize;
            report.written = outcome.written;
            report.reason = outcome.skipped;
            report.line = SkippedLine(filePath, outputFile, outcome.skipped);
        } else if (outcome.status == CompressStatus::Ok) {
            report.outcome = FileReport::Outcome::Done;
            report.inputSize = outcome.inputSize;
            report.outputSize = outcome.outputSize;
            report.kept = outcome.copiedInput || outcome.kept != KeepReason::None;
            report.written = outcome.written;
            if (report.kept)
                report.reason = KeptReason(outcome, settings.engine);
            report.line = ReducedLine(filePath, outputFile, static_cast<std::int64_t>(outcome.inputSize),
                                      static_cast<std::int64_t>(outcome.outputSize));
            if (settings.engine.targetDistance > 0.0)
                report.line += TargetPiece(outcome.quality, settings.engine.targetDistance, outcome.targetKept);
            if (!outcome.extras.empty()) {
                report.line.append(kExtrasPiece).append(outcome.extras);
                // What was kept or dropped of the photo's extras, after why the input was kept.
                report.reason += (report.reason.empty() ? "" : "; ") + outcome.extras;
            }
        } else if (outcome.status == CompressStatus::CannotReadInput &&
                   NotAFileReason(filePath, ec, report.retryable) == kVanishedReason) {
            report.reason = kVanishedReason;
            report.line = FailedLine(filePath, outputFile, kVanishedReason);  // between the look and the read
        } else {
            report.retryable = IsRetryable(outcome);
            report.reason = ReasonText(outcome);
            report.line = FailedLine(filePath, outputFile, report.reason);
        }
        if (outcome.status != CompressStatus::Ok && outcome.oldOutputLeft) {
            report.reason.append(kOldOutputLeftPiece);
            report.line.append(kOldOutputLeftPiece);
        }
    } catch (...) {
        report = FileReport{};
        report.retryable = true;
        report.reason = StatusText(CompressStatus::InternalError);
        report.line = FailedLine(filePath, outputFile, report.reason);
    }
    return report;
}

}  // namespace tramblix
