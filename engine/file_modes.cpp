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
#include "engine/metadata_filter.h"
#include "engine/multi_picture.h"
#include "engine/own_output.h"
#include "engine/target.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

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
    const std::optional<JpegTables> tables = ReadJpegTables(jpeg);
    if (!tables)
        return std::nullopt;
    // The efficient encoder's tables read as the quality they were made from, not the nearest
    // standard table's.
    if (const std::optional<OwnLook> own = OwnLookOf(*tables))
        return own->quality;
    return QualityOfTable(tables->steps[0]);
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
        // Our own output at the same or a coarser level is left alone (a re-run changes nothing);
        // it still loses the metadata the run removes, as a kept file does.
        if (std::string ownOutput = OwnOutputReason(input, QualityForLevel(NormaliseLevel(level)), options);
            !ownOutput.empty()) {
            outcome.skipped = std::move(ownOutput);
            return LeftAlone(inputPath, outputPath, input, facts, options, mode, outcome);
        }
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
        EngineOptions own = options;
        if (mode.inPlace && !own.minSaving)
            own.minSaving = std::max(kMinSavingInPlace, own.encoder == Encoder::Efficient ? kMinSavingEfficient : 0.0);
        const CompressStatus status =
            CompressBuffer(input, level, output, strength, own, &detail, &target, &outcome.extras);
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
