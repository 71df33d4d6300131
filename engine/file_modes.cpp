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
        if (ReadWholeFile(inputPath, input, &facts) != ReadStatus::Ok)
            return mode.inPlace || mode.dryRun ? Failed(outcome, CompressStatus::CannotReadInput, facts.error.message())
                                               : CompressFile(inputPath, outputPath, level, strength, options);
        outcome.inputSize = input.size();
        if (mode.jpegOnly && !(input.size() >= 2 && input[0] == 0xFF && input[1] == 0xD8)) {
            outcome.skipped = "not a JPEG file, and its output would keep its name";
            return outcome;
        }
        if (mode.skipAtOrBelowQuality > 0) {
            if (const std::optional<int> quality = JpegQualityOf(input);
                quality && *quality <= mode.skipAtOrBelowQuality) {
                outcome.skipped = SkipReason(*quality, mode.skipAtOrBelowQuality);
                return outcome;
            }
        }
        // Our own output is left alone where nothing is written anyway, unless metadata is to be
        // filtered: the engine keeps its coded data then (and its copy is the output elsewhere).
        if ((mode.inPlace || mode.dryRun) && !FiltersMetadata(options) && !options.stripMetadata)
            if (std::string own = OwnOutputReason(input, QualityForLevel(NormaliseLevel(level)), options);
                !own.empty()) {
                outcome.skipped = std::move(own);
                return outcome;
            }
        if (!mode.inPlace && !mode.dryRun) {
            std::vector<std::uint8_t>().swap(input);
            return CompressFile(inputPath, outputPath, level, strength, options);
        }
        // What a killed run left beside the file goes, even when this run writes nothing there.
        if (mode.inPlace && !mode.dryRun)
            ClearLeftoversBeside(inputPath, options.sweep);
        if (mode.inPlace && facts.links > 1) {
            outcome.skipped =
                "it has " + std::to_string(facts.links) + " hard links, and replacing it would split them";
            return outcome;
        }
        if (input.empty())
            return Failed(outcome, CompressStatus::NotAnImage, "empty file");

        std::vector<std::uint8_t> output;
        std::string detail;
        TargetReport target;
        EngineOptions own = options;
        if (mode.inPlace && !own.minSaving)
            own.minSaving = std::max(kMinSavingInPlace, own.encoder == Encoder::Efficient ? kMinSavingEfficient : 0.0);
        const CompressStatus status = CompressBuffer(input, level, output, strength, own, &detail, &target);
        if (status != CompressStatus::Ok)
            return Failed(outcome, status, std::move(detail));
        outcome.quality = target.quality;
        outcome.distance = target.distance;
        outcome.copiedInput = output.size() >= input.size();
        outcome.outputSize = output.size();
        if (mode.dryRun || outcome.copiedInput)
            return outcome;  // in place, a file that cannot be made smaller is not rewritten

        WriteRules rules;
        rules.permissions = facts.permissions;
        rules.sweep = options.sweep;
        rules.replaces = &facts;
        if (options.keepFileDates)
            rules.times = &facts.times;
        std::error_code writeError;
        if (WriteWholeFile(inputPath, output, rules, &writeError) != WriteStatus::Ok)
            return Failed(outcome, CompressStatus::CannotWriteOutput, writeError.message());
        outcome.written = true;
        return outcome;
    } catch (const std::bad_alloc&) {
        return Failed(outcome, CompressStatus::OutOfMemory, {});
    } catch (const std::exception&) {
        return Failed(outcome, CompressStatus::InternalError, {});
    }
}

}  // namespace tramblix
