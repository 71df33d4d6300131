#include "engine/file_modes.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/file_io.h"
#include "engine/multi_picture.h"
#include "engine/target.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

// Where the k-th value of a table stored in zig-zag order sits in natural order.
constexpr std::array<std::uint8_t, 64> kNaturalOrder = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                                        12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                                        35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                                        58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

bool IsFrameHeader(std::uint8_t marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Reads the DQT segment body [at, end) into `tables`; false when it is malformed.
bool ReadTables(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t end,
                std::array<std::optional<std::array<std::uint16_t, 64>>, 4>& tables)
{
    while (at < end) {
        const bool wide = (bytes[at] >> 4) != 0;
        const unsigned id = bytes[at] & 0x0F;
        ++at;
        if (id > 3 || at + (wide ? 128 : 64) > end)
            return false;
        std::array<std::uint16_t, 64> table{};
        for (std::size_t k = 0; k < 64; ++k, at += wide ? 2 : 1)
            table[kNaturalOrder[k]] = wide ? static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]) : bytes[at];
        tables[id] = table;
    }
    return true;
}

CompressOutcome Failed(CompressOutcome outcome, CompressStatus status, std::string detail)
{
    outcome.status = status;
    outcome.outputSize = 0;
    outcome.written = false;
    outcome.detail = std::move(detail);
    return outcome;
}

std::string SkipReason(int quality, int limit)
{
    return "already compressed: quality " + std::to_string(quality) + ", at or below " + std::to_string(limit);
}

// Writes `output`, what the run made of `input`, where the mode puts it: nowhere in a dry run; in
// place over the input only when it differs from it (never larger: the keep-smaller rule and the
// metadata filters only take away), so a file that cannot be made smaller is not touched unless
// metadata the run removes had to go; otherwise at the output.
CompressOutcome Written(const fs::path& inputPath, const fs::path& outputPath, std::span<const std::uint8_t> input,
                        std::span<const std::uint8_t> output, const FileFacts& facts, const EngineOptions& options,
                        const FileMode& mode, CompressOutcome outcome)
{
    outcome.copiedInput = std::equal(output.begin(), output.end(), input.begin(), input.end());
    outcome.outputSize = output.size();
    outcome.written = false;
    if (mode.dryRun)
        return outcome;
    if (mode.inPlace && (outcome.copiedInput || output.size() > input.size())) {
        outcome.outputSize = input.size();  // what stays on disk
        return outcome;
    }
    if (!mode.inPlace && SameFile(inputPath, outputPath))
        return Failed(outcome, CompressStatus::SameFile, {});
    WriteRules rules;
    // In place the file keeps its own mode; an output is owner-writable so a re-run may replace it.
    rules.permissions = mode.inPlace ? facts.permissions : facts.permissions | kOwnerWrite;
    rules.sweep = options.sweep;
    if (mode.inPlace)
        rules.replaces = &facts;
    else
        rules.inputs = options.inputs;  // an output never lands among the inputs
    if (options.keepFileDates)
        rules.times = &facts.times;
    const fs::path& target = mode.inPlace ? inputPath : outputPath;
    std::error_code writeError;
    if (WriteWholeFile(target, output, rules, &writeError) != WriteStatus::Ok) {
        outcome.error = writeError;
        std::error_code ec;
        outcome.oldOutputLeft = !mode.inPlace && fs::exists(fs::symlink_status(outputPath, ec));
        return Failed(outcome, CompressStatus::CannotWriteOutput, writeError.message());
    }
    outcome.written = true;
    return outcome;
}

// A file left alone by choice (`outcome.skipped` says why) is still copied where its output goes,
// so an output tree has no holes, and, like a kept file, it carries only the metadata asked for:
// in place it is rewritten only when that removes something.
CompressOutcome LeftAlone(const fs::path& inputPath, const fs::path& outputPath, std::span<const std::uint8_t> input,
                          const FileFacts& facts, const EngineOptions& options, const FileMode& mode,
                          CompressOutcome outcome)
{
    std::vector<std::uint8_t> kept;
    std::string detail;
    if (const CompressStatus status = KeepAsAsked(input, kept, options, &detail); status != CompressStatus::Ok) {
        outcome.skipped.clear();
        return Failed(outcome, status, std::move(detail));
    }
    return Written(inputPath, outputPath, input, kept, facts, options, mode, outcome);
}

}  // namespace

std::optional<int> JpegQualityOf(std::span<const std::uint8_t> jpeg)
{
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return std::nullopt;
    std::array<std::optional<std::array<std::uint16_t, 64>>, 4> tables;
    int lumaTable = -1;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const std::uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;
        const std::size_t length = static_cast<std::size_t>(jpeg[at + 2] << 8 | jpeg[at + 3]);
        const std::size_t end = at + 2 + length;
        if (length < 2 || end > jpeg.size())
            return std::nullopt;
        if (marker == 0xDB && !ReadTables(jpeg, at + 4, end, tables))
            return std::nullopt;
        if (IsFrameHeader(marker) && length >= 11)
            lumaTable = jpeg[at + 4 + 8] & 0x03;  // the first component's table selector
        at = end;
    }
    if (lumaTable < 0 || !tables[static_cast<std::size_t>(lumaTable)])
        return std::nullopt;
    return QualityOfTable(*tables[static_cast<std::size_t>(lumaTable)]);
}

CompressOutcome CompressFileAs(const fs::path& inputPath, const fs::path& outputPath, CompressionLevel level,
                               FilterStrength strength, const EngineOptions& options, const FileMode& mode)
{
    if (mode.Plain())
        return CompressFile(inputPath, outputPath, level, strength, options);
    CompressOutcome outcome;
    outcome.written = false;
    std::vector<std::uint8_t> input;
    FileFacts facts;
    try {
        if (ReadWholeFile(inputPath, input, &facts) != ReadStatus::Ok) {
            outcome.error = facts.error;
            return mode.inPlace || mode.dryRun ? Failed(outcome, CompressStatus::CannotReadInput, facts.error.message())
                                               : CompressFile(inputPath, outputPath, level, strength, options);
        }
        outcome.inputSize = input.size();
        if (mode.jpegOnly && !(input.size() >= 2 && input[0] == 0xFF && input[1] == 0xD8)) {
            outcome.skipped = "not a JPEG file, and its output would keep its name";
            return outcome;
        }
        // What a killed run left beside the file goes, even when this run writes nothing there.
        if (mode.inPlace && !mode.dryRun)
            ClearLeftoversBeside(inputPath, options.sweep);
        if (mode.inPlace && facts.links > 1) {
            outcome.skipped =
                "it has " + std::to_string(facts.links) + " hard links, and replacing it would split them";
            return outcome;
        }
        if (mode.skipAtOrBelowQuality > 0) {
            if (const std::optional<int> quality = JpegQualityOf(input);
                quality && *quality <= mode.skipAtOrBelowQuality) {
                outcome.skipped = SkipReason(*quality, mode.skipAtOrBelowQuality);
                return LeftAlone(inputPath, outputPath, input, facts, options, mode, outcome);
            }
        }
        if (!mode.inPlace && !mode.dryRun) {
            std::vector<std::uint8_t>().swap(input);
            return CompressFile(inputPath, outputPath, level, strength, options);
        }
        if (input.empty())
            return Failed(outcome, CompressStatus::NotAnImage, "empty file");
        // In place there is no other copy: a photo whose extras could not be written back stays
        // whole, unless the user asked for the main picture alone.
        if (mode.inPlace && !options.primaryOnly) {
            if (std::string lost = ExtrasLossReason(FindPictureExtras(input)); !lost.empty()) {
                outcome.skipped = std::move(lost);
                return outcome;
            }
        }

        std::vector<std::uint8_t> output;
        std::string detail;
        TargetReport target;
        const CompressStatus status =
            CompressBuffer(input, level, output, strength, options, &detail, &target, &outcome.extras);
        if (status != CompressStatus::Ok)
            return Failed(outcome, status, std::move(detail));
        outcome.quality = target.quality;
        outcome.distance = target.distance;
        outcome.targetKept = target.kept;
        outcome.kept = target.keep;
        return Written(inputPath, outputPath, input, output, facts, options, mode, outcome);
    } catch (const std::bad_alloc&) {
        return Failed(outcome, CompressStatus::OutOfMemory, {});
    } catch (const std::exception&) {
        return Failed(outcome, CompressStatus::InternalError, {});
    }
}

}  // namespace tramblix
