#include "engine/file_modes.h"

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/file_io.h"
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
        const CompressStatus status =
            CompressBuffer(input, level, output, strength, options, &detail, &target, &outcome.extras);
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
