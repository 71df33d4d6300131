#include "engine/compress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "engine/codec.h"
#include "engine/cpus.h"
#include "engine/efficient_encode.h"
#include "engine/exif.h"
#include "engine/file_io.h"
#include "engine/filters.h"
#include "engine/memory_pool.h"
#include "engine/metadata_filter.h"
#include "engine/multi_picture.h"
#include "engine/own_output.h"
#include "engine/target.h"

namespace fs = std::filesystem;

namespace tramblix {

const char* StatusText(CompressStatus status)
{
    switch (status) {
    case CompressStatus::Ok: return "done";
    case CompressStatus::CannotReadInput: return "cannot read the input file";
    case CompressStatus::NotAnImage: return "not a decodable image";
    case CompressStatus::DamagedImage: return "damaged image data";
    case CompressStatus::ImageTooLarge: return "image too large";
    case CompressStatus::OverMemoryBudget: return "image too large for the memory budget";
    case CompressStatus::OutOfMemory: return "not enough memory";
    case CompressStatus::CannotWriteOutput: return "cannot write the output file";
    case CompressStatus::SameFile: return "input and output are the same file";
    case CompressStatus::Refused: return "no input data";
    case CompressStatus::NoFittingJpeg: return "not a JPEG, and no JPEG of it fits";
    case CompressStatus::InternalError: return "internal error while compressing";
    }
    return "unknown error";
}

std::string ReasonText(const CompressOutcome& outcome)
{
    std::string reason = StatusText(outcome.status);
    if (!outcome.detail.empty())
        reason.append(" (").append(outcome.detail).append(")");
    return reason;
}

namespace {

unsigned EffectiveThreads(unsigned requested)
{
    if (requested != 0)
        return requested;
    return UsableCpuCount();
}

CompressStatus FromDecodeStatus(DecodeStatus status)
{
    switch (status) {
    case DecodeStatus::Ok: return CompressStatus::Ok;
    case DecodeStatus::NotAnImage: return CompressStatus::NotAnImage;
    case DecodeStatus::Damaged: return CompressStatus::DamagedImage;
    case DecodeStatus::TooLarge: return CompressStatus::ImageTooLarge;
    case DecodeStatus::OverBudget: return CompressStatus::OverMemoryBudget;
    case DecodeStatus::OutOfMemory: return CompressStatus::OutOfMemory;
    }
    return CompressStatus::InternalError;
}

// True when something (a file, a link, even a dangling one) already has the output's name.
bool SomethingAt(const fs::path& outputPath)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(outputPath, ec));
}

bool IsJpeg(std::span<const std::uint8_t> input)
{
    return input.size() >= 2 && input[0] == 0xFF && input[1] == 0xD8;
}

// The keep-smaller rule's answer: the input itself, or, when metadata is to go, a JPEG input
// without it (its coded data untouched). Only a JPEG is kept: any other picture would land under
// a JPEG's name as what it is, so it fails with `why` in words instead.
CompressStatus KeepInput(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                         const EngineOptions& options, std::string* detail, KeepReason why, KeepReason* keep,
                         const std::string& notJpegWhy)
{
    if (!IsJpeg(input)) {
        if (detail != nullptr)
            *detail = notJpegWhy;
        return CompressStatus::NoFittingJpeg;
    }
    if (keep != nullptr)
        *keep = why;
    if (!options.stripMetadata) {
        output.assign(input.begin(), input.end());
        return CompressStatus::Ok;
    }
    if (StripJpegFile(input, output))
        return CompressStatus::Ok;
    if (detail != nullptr)
        *detail = "its metadata cannot be stripped";
    return CompressStatus::DamagedImage;
}

double MinSaving(const EngineOptions& options)
{
    if (options.minSaving)
        return std::clamp(*options.minSaving, 0.0, 1.0);
    return options.encoder == Encoder::Efficient ? kMinSavingEfficient : kMinSavingStandard;
}

bool BelowMinSaving(std::span<const std::uint8_t> input, std::size_t encodedSize, const EngineOptions& options)
{
    const double saved = static_cast<double>(input.size()) - static_cast<double>(encodedSize);
    return IsJpeg(input) && saved < MinSaving(options) * static_cast<double>(input.size());
}

// The target search sizes its trials to the budget: in a shared one, to what is free beside the
// picture's own share. Should that not hold the search, the whole budget is waited for (the
// share given back meanwhile, so no worker waits while holding).
CompressStatus ChooseTargetQualityIn(MemoryShare& share, const DecodedImage& image, const Image& reference,
                                     const EngineOptions& options, std::uint64_t inputSize, TargetReport& report,
                                     std::string* detail, std::vector<std::uint8_t>& encoded)
{
    EngineOptions own = options;
    own.memoryBudget = std::min(options.memoryBudget, share.HoldUpTo(options.memoryBudget));
    CompressStatus status =
        ChooseTargetQuality(image, reference, options.targetDistance, own, inputSize, report, detail, &encoded);
    if (status == CompressStatus::OverMemoryBudget && own.memoryBudget < options.memoryBudget) {
        if (detail != nullptr)
            detail->clear();
        if (!share.Hold(options.memoryBudget)) {
            if (detail != nullptr)
                *detail = "the run was stopped while waiting for memory";
            return CompressStatus::OutOfMemory;
        }
        status =
            ChooseTargetQuality(image, reference, options.targetDistance, options, inputSize, report, detail, &encoded);
    }
    return status;
}

}  // namespace

void ApplyFilters(Image& image, FilterStrength strength, std::int32_t sharpeningFactor, unsigned threads)
{
    strength = NormaliseStrength(strength);
    if (strength > 0) {
        EdgeLiftPass(image, static_cast<std::uint8_t>(kEdgeLiftThreshold), threads);
        SharpenPass(image, sharpeningFactor, threads);
    }
    if (strength > 1)
        SpeckleSmoothing(image, strength, threads);
}

CompressStatus ReencodeImage(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output, int quality,
                             FilterStrength strength, std::int32_t sharpeningFactor, const EngineOptions& options,
                             std::string* detail, TargetReport* target)
{
    output.clear();
    // Our own output at the same look or a coarser one would only lose detail again.
    if (!OwnOutputReason(input, quality, options).empty())
        return KeepInput(input, output, options, detail, KeepReason::OwnOutput,
                         target != nullptr ? &target->keep : nullptr, {});
    // What this picture holds of the run's budget, from its decode to the end of its encode.
    MemoryShare share(options.memoryPool);
    DecodedImage image;
    const DecodeLimits limits{options.memoryBudget, options.workBudget, &share};
    const CompressStatus decoded = FromDecodeStatus(DecodeImage(input, image, limits, detail));
    if (decoded != CompressStatus::Ok)
        return decoded;

    const bool targeted = options.targetDistance > 0.0;
    const bool filtered = NormaliseStrength(strength) > 0;
    // A target is judged against the decoded input, so filtered pixels need it kept beside them.
    Image reference;
    if (targeted && filtered)
        reference = image.pixels;
    ApplyFilters(image.pixels, strength, sharpeningFactor, EffectiveThreads(options.threads));
    if (filtered)
        image.sourceSteps = {};  // filtered pixels no longer sit on the input's grid
    if (options.stripMetadata)
        StripMetadata(image.markers);

    std::vector<std::uint8_t> encoded;
    if (targeted) {
        TargetReport report;
        const CompressStatus chosen = ChooseTargetQualityIn(share, image, filtered ? reference : image.pixels, options,
                                                            input.size(), report, detail, encoded);
        if (chosen != CompressStatus::Ok)
            return chosen;
        if (target != nullptr)
            *target = report;
        if (report.quality == 0)
            return KeepInput(input, output, options, detail, KeepReason::TargetUnreachable,
                             target != nullptr ? &target->keep : nullptr, UnreachableText(options.targetDistance));
        quality = report.quality;
        reference = Image{};
    }

    if (encoded.empty() && !(options.encoder == Encoder::Efficient ? EncodeJpegEfficient(image, quality, encoded)
                                                                   : EncodeJpeg(image, quality, encoded)))
        return CompressStatus::InternalError;
    if (options.encoder == Encoder::Efficient && !targeted) {
        // Never larger than the standard encoder at the same level: on a few pictures its own
        // steps cost more than the standard ones. Those look well above the standard file, so
        // coarser steps that fit usually still look better; failing that, the standard file.
        // A target's answer was measured on the efficient encode only, so it stays.
        std::vector<std::uint8_t> standard, coarser;
        if (EncodeJpeg(image, quality, standard) && standard.size() < encoded.size()) {
            const bool fits =
                EncodeJpegEfficient(image, quality, coarser, ToolsToShrink(encoded.size(), standard.size())) &&
                coarser.size() <= standard.size();
            encoded.swap(fits ? coarser : standard);
        }
    }
    image = DecodedImage{};  // the pixels are no longer needed; free them before copying bytes

    // Keep-smaller rule: an encode that is not strictly smaller, or for a JPEG input not smaller
    // by the least saving, yields the input itself.
    if (encoded.size() < input.size() && !BelowMinSaving(input, encoded.size(), options)) {
        output = std::move(encoded);
        return CompressStatus::Ok;
    }
    if (targeted && target != nullptr)
        target->kept = true;
    const KeepReason why = targeted                        ? KeepReason::TargetWouldNotSave
                           : encoded.size() < input.size() ? KeepReason::BelowMinSaving
                                                           : KeepReason::NotSmaller;
    return KeepInput(input, output, options, detail, why, target != nullptr ? &target->keep : nullptr,
                     targeted ? "its JPEG at quality " + std::to_string(quality) + ", the coarsest within distance " +
                                    DistanceText(options.targetDistance) + ", would not be smaller than the input"
                              : "its JPEG would not be smaller than the input");
}

CompressStatus ReencodeAtLevel(CompressionLevel level, FilterStrength strength, std::span<const std::uint8_t> input,
                               std::vector<std::uint8_t>& output, const EngineOptions& options, std::string* detail)
{
    return ReencodeImage(input, output, QualityForLevel(level), strength, kSharpeningFactor, options, detail);
}

namespace {

CompressStatus RewriteLosslessly(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                                 const EngineOptions& options, std::string* detail, KeepReason* keep = nullptr)
{
    std::vector<std::uint8_t> rewritten;
    MemoryShare share(options.memoryPool);
    const DecodeLimits limits{options.memoryBudget, options.workBudget, &share};
    const CompressStatus status =
        FromDecodeStatus(TranscodeJpeg(input, rewritten, options.stripMetadata, limits, detail));
    if (status != CompressStatus::Ok)
        return status;
    if (rewritten.size() < input.size()) {
        output = std::move(rewritten);
        return CompressStatus::Ok;
    }
    return KeepInput(input, output, options, detail, KeepReason::NotSmaller, keep, {});
}

// The gain map re-encoded as the main picture was (its AI level always 0, so no filter alters
// what it measures), with its own XMP and ISO 21496-1 segments; empty when that does not make
// it smaller or it cannot be decoded: it is then copied as it is.
std::vector<std::uint8_t> CompressGainMap(std::span<const std::uint8_t> gainMap, int quality,
                                          const EngineOptions& options)
{
    EngineOptions own = options;
    own.stripMetadata = false;  // its segments say how to apply it: never metadata to drop
    own.targetDistance = 0.0;
    std::vector<std::uint8_t> encoded, restored;
    const CompressStatus status = options.lossless
                                      ? RewriteLosslessly(gainMap, encoded, own, nullptr)
                                      : ReencodeImage(gainMap, encoded, quality, 0, kSharpeningFactor, own, nullptr);
    if (status != CompressStatus::Ok || encoded.size() >= gainMap.size() ||
        !RestoreGainMapSegments(gainMap, encoded, restored) || restored.size() >= gainMap.size())
        return {};
    return restored;
}

// --keep and --strip-gps applied to the header segments of a JPEG the engine made or kept;
// anything else the filter had to remove is added to `notes`. A JPEG whose segments cannot be
// walked fails as damaged rather than keep what was asked to go.
CompressStatus FilterMetadataAsAsked(std::vector<std::uint8_t>& jpeg, const EngineOptions& options, std::string* detail,
                                     std::string* notes)
{
    if (!FiltersMetadata(options) || !IsJpeg(jpeg) || FilterJpegMetadata(jpeg, options, notes))
        return CompressStatus::Ok;
    if (detail != nullptr)
        *detail = "its metadata cannot be filtered";
    return CompressStatus::DamagedImage;
}

// The XMP that locates the items stays, cut down to that, when descriptive XMP is not kept.
bool MinimalXmpWanted(const EngineOptions& options)
{
    return options.stripMetadata || (options.keepMetadata & kMetadataXmp) == 0;
}

CompressStatus MetadataNotFiltered(std::string* detail)
{
    if (detail != nullptr)
        *detail = "its metadata cannot be filtered";
    return CompressStatus::DamagedImage;
}

// A carried video loses its location with --strip-gps, --strip and a --keep without EXIF (the
// kind that holds the main picture's own location from the camera).
bool VideoLocationGoes(const EngineOptions& options)
{
    return options.stripGps || options.stripMetadata || (options.keepMetadata & kMetadataExif) == 0;
}

bool LooksLikeVideo(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 8 && std::equal(bytes.begin() + 4, bytes.begin() + 8, "ftyp");
}

// An item after the main picture without what the options drop: a picture (a gain map, another
// JPEG) loses the metadata the main picture loses (with --strip, all but its ICC profile and the
// XMP that makes it a gain map), a video its location. `out` receives the result when it
// differs from `bytes`. False, with the reason in `detail`, when that cannot be done.
bool FilterCarriedItem(const ExtraItem& item, std::span<const std::uint8_t> bytes, const EngineOptions& options,
                       std::vector<std::uint8_t>& out, std::string* detail, std::string* notes)
{
    auto refuse = [&](const char* why) {
        if (detail != nullptr)
            *detail = why;
        return false;
    };
    if (item.kind != ExtraKind::Video && IsJpeg(bytes)) {
        EngineOptions own;
        own.keepMetadata = options.stripMetadata ? options.keepMetadata & kMetadataIcc : options.keepMetadata;
        own.stripGps = options.stripGps;
        if (!FiltersMetadata(own))
            return true;
        std::vector<std::uint8_t> filtered(bytes.begin(), bytes.end());
        if (!FilterJpegMetadata(filtered, own, notes))
            return refuse(item.kind == ExtraKind::GainMap ? "the metadata of its HDR gain map cannot be filtered"
                                                          : "the metadata of a picture it carries cannot be filtered");
        if (!std::equal(filtered.begin(), filtered.end(), bytes.begin(), bytes.end()))
            out = std::move(filtered);
        return true;
    }
    if ((item.kind != ExtraKind::Video && !LooksLikeVideo(bytes)) || !VideoLocationGoes(options))
        return true;
    std::vector<std::uint8_t> blanked(bytes.begin(), bytes.end());
    switch (RemoveVideoLocation(blanked)) {
    case VideoLocation::None: return true;
    case VideoLocation::Removed: out = std::move(blanked); return true;
    case VideoLocation::Unreadable: break;
    }
    return refuse("its motion video cannot be read to remove its location");
}

// A JPEG with items after its main picture, kept: the input itself, or when metadata is to go, its
// own main picture with the segments filtered and its items as they were but for what they lose
// (`replaced`: items already filtered; the others are filtered here).
CompressStatus KeepWithExtras(std::span<const std::uint8_t> input, const PictureExtras& extras,
                              const EngineOptions& options, std::vector<std::vector<std::uint8_t>> replaced,
                              std::vector<std::uint8_t>& output, std::string* detail, std::string* notes)
{
    if (!options.stripMetadata && !FiltersMetadata(options)) {
        output.assign(input.begin(), input.end());
        return CompressStatus::Ok;
    }
    const std::span<const std::uint8_t> primaryInput = input.first(extras.primaryEnd);
    std::vector<std::uint8_t> head(primaryInput.begin(), primaryInput.end());
    if (options.stripMetadata && !StripJpegFile(primaryInput, head))
        return MetadataNotFiltered(detail);
    if (FilterMetadataAsAsked(head, options, detail, notes) != CompressStatus::Ok)
        return CompressStatus::DamagedImage;
    replaced.resize(extras.items.size());
    for (std::size_t i = 0; i < extras.items.size(); ++i) {
        const ExtraItem& item = extras.items[i];
        if (replaced[i].empty() &&
            !FilterCarriedItem(item, input.subspan(item.start, item.size), options, replaced[i], detail, notes))
            return CompressStatus::DamagedImage;
    }
    if (!AssemblePictures(input, extras, head, replaced, MinimalXmpWanted(options), output, options.stripGps, notes) ||
        output.size() > input.size())
        return MetadataNotFiltered(detail);
    return CompressStatus::Ok;
}

CompressStatus CompressWithExtras(std::span<const std::uint8_t> input, const PictureExtras& extras,
                                  CompressionLevel level, std::vector<std::uint8_t>& output, FilterStrength strength,
                                  const EngineOptions& options, std::string* detail, TargetReport* target,
                                  std::string* notes)
{
    const std::span<const std::uint8_t> primaryInput = input.first(extras.primaryEnd);
    std::vector<std::uint8_t> primary;
    TargetReport report;
    const CompressStatus status = options.lossless
                                      ? RewriteLosslessly(primaryInput, primary, options, detail, &report.keep)
                                      : ReencodeImage(primaryInput, primary, QualityForLevel(level), strength,
                                                      kSharpeningFactor, options, detail, &report);
    if (status != CompressStatus::Ok)
        return status;
    // The main picture's descriptive metadata is chosen before the indexes are written around it.
    if (const CompressStatus filtered = FilterMetadataAsAsked(primary, options, detail, notes);
        filtered != CompressStatus::Ok)
        return filtered;
    if (target != nullptr)
        *target = report;
    const bool targeted = options.targetDistance > 0.0;
    const int quality = targeted ? report.quality : QualityForLevel(level);
    std::vector<std::vector<std::uint8_t>> replaced(extras.items.size());
    std::vector<char> filtered(extras.items.size(), 0);  // the item differs from the input's by more than its coding
    for (std::size_t i = 0; i < extras.items.size(); ++i) {
        const ExtraItem& item = extras.items[i];
        if (item.kind == ExtraKind::GainMap && !item.moved && (options.lossless || quality > 0))
            replaced[i] = CompressGainMap(input.subspan(item.start, item.size), quality, options);
        std::vector<std::uint8_t> out;
        if (!FilterCarriedItem(
                item,
                replaced[i].empty() ? input.subspan(item.start, item.size) : std::span<const std::uint8_t>(replaced[i]),
                options, out, detail, notes))
            return CompressStatus::DamagedImage;
        if (!out.empty()) {
            replaced[i] = std::move(out);
            filtered[i] = 1;
        }
    }
    std::vector<std::uint8_t> assembled;
    const bool written = AssemblePictures(input, extras, primary, replaced, MinimalXmpWanted(options), assembled,
                                          options.stripGps, notes);
    const bool smaller = assembled.size() < input.size() && !BelowMinSaving(input, assembled.size(), options);
    // Stripped, a file that saves nothing is still the stripped form, as for a single picture.
    if (written && (smaller || (options.stripMetadata && assembled.size() <= input.size()))) {
        if (target != nullptr)
            target->keep = KeepReason::None;  // the file is new, whatever became of its main picture
        output = std::move(assembled);
        return CompressStatus::Ok;
    }
    // Judged on the whole file: the main picture may have shrunk while the file did not.
    if (target != nullptr && target->keep == KeepReason::None)
        target->keep = written && assembled.size() < input.size() ? KeepReason::BelowMinSaving : KeepReason::NotSmaller;
    for (std::size_t i = 0; i < extras.items.size(); ++i)
        if (!filtered[i])
            replaced[i].clear();
    return KeepWithExtras(input, extras, options, std::move(replaced), output, detail, notes);
}

}  // namespace

CompressStatus CompressBuffer(std::span<const std::uint8_t> input, CompressionLevel level,
                              std::vector<std::uint8_t>& output, FilterStrength strength, const EngineOptions& options,
                              std::string* detail, TargetReport* target, std::string* extrasNote)
{
    output.clear();
    if (input.empty())
        return CompressStatus::Refused;
    try {
        const PictureExtras extras = IsJpeg(input) ? FindPictureExtras(input) : PictureExtras{};
        const bool keep = extras.keepable() && !options.primaryOnly;
        std::string notes;  // what went beyond what was asked
        CompressStatus status = CompressStatus::Ok;
        if (keep)
            status = CompressWithExtras(input, extras, level, output, strength, options, detail, target, &notes);
        else
            status = options.lossless ? RewriteLosslessly(input, output, options, detail,
                                                          target != nullptr ? &target->keep : nullptr)
                                      : ReencodeImage(input, output, QualityForLevel(level), strength,
                                                      kSharpeningFactor, options, detail, target);
        // The decoder leaves out XMP that describes what follows the main picture: the rest of it
        // comes back when that is not kept.
        if (status == CompressStatus::Ok && !keep && !options.stripMetadata && IsJpeg(input) &&
            !std::equal(output.begin(), output.end(), input.begin(), input.end()))
            RestoreDescriptiveXmp(input, output, &notes);
        // Whichever way the output came, it carries only the metadata asked for.
        if (status == CompressStatus::Ok && !keep)
            status = FilterMetadataAsAsked(output, options, detail, &notes);
        if (status != CompressStatus::Ok)
            output.clear();
        // A copy of the input keeps whatever it carried.
        else if (extrasNote != nullptr) {
            *extrasNote = keep || output.size() == input.size() ? ExtrasNote(extras)
                          : extras.keepable()                   ? ExtrasNote(extras, "dropped")
                                                                : extras.damage;
            if (!notes.empty())
                extrasNote->append(extrasNote->empty() ? "" : ", ").append(notes);
        }
        return status;
    } catch (const std::bad_alloc&) {
        output.clear();
        return CompressStatus::OutOfMemory;
    } catch (...) {
        output.clear();
        return CompressStatus::InternalError;
    }
}

CompressStatus KeepAsAsked(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                           const EngineOptions& options, std::string* detail)
{
    output.clear();
    try {
        const PictureExtras extras = IsJpeg(input) ? FindPictureExtras(input) : PictureExtras{};
        CompressStatus status = CompressStatus::Ok;
        if (extras.keepable() && !options.primaryOnly) {
            status = KeepWithExtras(input, extras, options, {}, output, detail, nullptr);
        } else {
            status = KeepInput(input, output, options, detail, KeepReason::None, nullptr,
                               "its content does not match its JPEG name");
            if (status == CompressStatus::Ok)
                status = FilterMetadataAsAsked(output, options, detail, nullptr);
        }
        if (status != CompressStatus::Ok)
            output.clear();
        return status;
    } catch (const std::bad_alloc&) {
        output.clear();
        return CompressStatus::OutOfMemory;
    } catch (...) {
        output.clear();
        return CompressStatus::InternalError;
    }
}

CompressOutcome CompressFile(const fs::path& inputPath, const fs::path& outputPath, CompressionLevel level,
                             FilterStrength strength, const EngineOptions& options)
{
    CompressOutcome outcome;
    // Checked before anything is touched: replacing the output would otherwise destroy the input.
    if (SameFile(inputPath, outputPath) || (!inputPath.empty() && inputPath == outputPath)) {
        outcome.status = CompressStatus::SameFile;
        return outcome;
    }
    std::error_code ec;
    if (fs::is_directory(outputPath, ec)) {
        outcome.status = CompressStatus::CannotWriteOutput;
        outcome.error = std::make_error_code(std::errc::is_a_directory);
        outcome.detail = outcome.error.message();
        return outcome;
    }

    level = NormaliseLevel(level);
    WriteRules rules;
    rules.inputs = options.inputs;
    rules.sweep = options.sweep;
    // A run that writes nothing destroys nothing: an old output may be the only good copy left of
    // a photo whose original has since rotted, so it is only ever replaced by a complete new one.
    auto fail = [&](CompressStatus status, std::string detail = {}) {
        outcome.oldOutputLeft = SomethingAt(outputPath);
        outcome.status = status;
        outcome.outputSize = 0;
        outcome.detail = std::move(detail);
        return outcome;
    };

    std::vector<std::uint8_t> input;
    FileFacts facts;
    if (ReadWholeFile(inputPath, input, &facts) != ReadStatus::Ok) {
        outcome.error = facts.error;
        return fail(CompressStatus::CannotReadInput, facts.error.message());
    }
    outcome.inputSize = input.size();
    if (input.empty())
        return fail(CompressStatus::NotAnImage, "empty file");
    // Owner-writable, so that the next run into the same place may replace it.
    rules.permissions = facts.permissions | kOwnerWrite;
    if (options.keepFileDates)
        rules.times = &facts.times;

    std::vector<std::uint8_t> output;
    std::string detail;
    TargetReport target;
    const CompressStatus status =
        CompressBuffer(input, level, output, strength, options, &detail, &target, &outcome.extras);
    if (status != CompressStatus::Ok)
        return fail(status, std::move(detail));
    outcome.quality = target.quality;
    outcome.distance = target.distance;
    outcome.targetKept = target.kept;
    outcome.kept = target.keep;
    outcome.copiedInput = output == input;
    std::vector<std::uint8_t>().swap(input);

    std::error_code writeError;
    if (WriteWholeFile(outputPath, output, rules, &writeError) != WriteStatus::Ok) {
        outcome.error = writeError;
        return fail(CompressStatus::CannotWriteOutput, writeError.message());
    }
    outcome.outputSize = output.size();
    return outcome;
}

std::string KeepReasonText(const CompressOutcome& outcome, const EngineOptions& options)
{
    const char* what = options.lossless ? "the lossless rewrite" : "a new encode";
    switch (outcome.kept) {
    case KeepReason::None: break;
    case KeepReason::NotSmaller: return std::string(what) + " would not be smaller";
    case KeepReason::BelowMinSaving: {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%g%%", MinSaving(options) * 100.0);
        return std::string(what) + " would save less than " + percent;
    }
    case KeepReason::TargetUnreachable: return UnreachableText(options.targetDistance);
    case KeepReason::TargetWouldNotSave: return KeptText(outcome.quality, options.targetDistance);
    case KeepReason::OwnOutput: return "already compressed by this program at the same or a coarser level";
    }
    return {};
}

namespace {

// "Image Compressed by P%<how> and reduced by R bytes. ", or the failure line when a size is 0.
std::string SavingLine(std::int64_t inputSize, std::int64_t outputSize, const std::string& how)
{
    if (inputSize == 0 || outputSize == 0)
        return "Could not create file.";
    const double saved = 100.0 - static_cast<double>(outputSize) * 100.0 / static_cast<double>(inputSize);
    const long long percent = static_cast<long long>(std::trunc(saved));
    return "Image Compressed by " + std::to_string(percent) + "%" + how + " and reduced by " +
           std::to_string(inputSize - outputSize) + " bytes. ";
}

}  // namespace

std::string ResultLine(std::int64_t inputSize, std::int64_t outputSize, long level, long aiLevel)
{
    return SavingLine(inputSize, outputSize,
                      " at Compression Level " + std::to_string(level) + " and AILevel " + std::to_string(aiLevel));
}

std::string LosslessResultLine(std::int64_t inputSize, std::int64_t outputSize)
{
    return SavingLine(inputSize, outputSize, " losslessly");
}

std::string WithExtrasNote(std::string line, const CompressOutcome& outcome)
{
    if (outcome.status == CompressStatus::Ok && !outcome.extras.empty())
        line.append(outcome.extras).append(".");
    return line;
}

}  // namespace tramblix
