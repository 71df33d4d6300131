#include "batch/batch_run.h"

#include <algorithm>
#include <system_error>

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

    const fs::path in(input), out(output);
    std::error_code ec;
    if (fs::exists(in, ec) && fs::exists(out, ec) && fs::equivalent(in, out, ec) && !ec)
        return DirectoryCheck::Same;
    if (fs::exists(out, ec) && !fs::is_directory(out, ec))
        return DirectoryCheck::OutputNotDirectory;
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
    std::string line = " Converting file: ";
    line.append(input).append(" To: ").append(output).append(" Reduced by: ");
    return line.append(std::to_string(inputSize - outputSize)).append(" Bytes");
}

std::string FailedLine(std::string_view input, std::string_view output, std::string_view reason)
{
    std::string line = " Converting file: ";
    return line.append(input).append(" To: ").append(output).append(" Failed: ").append(reason);
}

std::string UnreadableDirectoryLine(std::string_view directory)
{
    return std::string(" Cannot read directory: ").append(directory);
}

FileReport ProcessFoundFile(const std::string& filePath, const FileSettings& settings,
                            const CompressFunction& compress)
{
    FileReport report;
    std::string outputFile;
    try {
        std::error_code ec;
        if (!fs::is_regular_file(fs::path(filePath), ec))
            return report;

        const OutputLocation location = OutputLocationOf(filePath, settings.inputBase, settings.outputBase);
        outputFile = location.file;
        CompressStatus status = CompressStatus::CannotWriteOutput;
        CompressOutcome outcome;
        // Without its directory the output cannot be written: no need to spend the compression.
        if (!CreateDirectoryPath(location.directory)) {
            outcome = compress(filePath, outputFile, settings.level, settings.strength, settings.engine);
            status = outcome.status;
        }
        if (status == CompressStatus::Ok) {
            report.outcome = FileReport::Outcome::Done;
            report.inputSize = outcome.inputSize;
            report.outputSize = outcome.outputSize;
            report.line = ReducedLine(filePath, outputFile, static_cast<std::int64_t>(outcome.inputSize),
                                      static_cast<std::int64_t>(outcome.outputSize));
        } else {
            report.outcome = FileReport::Outcome::Failed;
            report.line = FailedLine(filePath, outputFile, StatusText(status));
        }
    } catch (...) {
        report.outcome = FileReport::Outcome::Failed;
        report.line = FailedLine(filePath, outputFile, StatusText(CompressStatus::InternalError));
    }
    return report;
}

}  // namespace tramblix
