#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "engine/codec.h"
#include "engine/image.h"
#include "engine/levels.h"

namespace tramblix {

enum class CompressStatus {
    Ok,  // the output holds the re-encoded picture or an exact copy of the input
    CannotReadInput,
    NotAnImage,
    DamagedImage,
    ImageTooLarge,
    OverMemoryBudget,  // the re-encode would need more memory than EngineOptions::memoryBudget
    OutOfMemory,       // the system refused memory the budget allowed
    CannotWriteOutput,
    SameFile,  // input and output name one file: refused, nothing touched
    Refused,   // no input bytes given to the in-memory engine
    // A picture that is no JPEG and whose JPEG would be larger than it (or miss the target):
    // keeping it would write other bytes under a JPEG's name, so nothing is written.
    NoFittingJpeg,
    InternalError,  // an unexpected exception inside the engine
};

// The status in words, for log lines and error messages ("cannot read the input file", ...).
const char* StatusText(CompressStatus status);

// Standard: standard tables at the level's quality, libjpeg's own quantisation. Efficient: those
// tables re-weighted per band of zig-zag positions and never finer than a JPEG input's own steps,
// with rate-distortion rounding of luma (efficient_encode.cpp): a few percent fewer bytes for the
// same look; slower.
enum class Encoder { Standard, Efficient };

// Kinds of descriptive metadata, for EngineOptions::keepMetadata.
enum MetadataKind : unsigned {
    kMetadataExif = 1,
    kMetadataXmp = 2,
    kMetadataIptc = 4,
    kMetadataIcc = 8,
    kMetadataComment = 16,
    kAllMetadata = 31,
};

class InputSet;
struct TargetReport;
class LeftoverSweep;
class MemoryPool;

struct EngineOptions {
    // Threads one picture's filters may use; 0 means one per core. A batch that already runs
    // one file per core passes 1.
    unsigned threads = 0;
    Encoder encoder = Encoder::Standard;
    // CompressFile: the files and directories a batch reads; its outputs never replace or land
    // among them, whatever links the output tree holds.
    const InputSet* inputs = nullptr;
    // CompressFile: the directories the run has already cleared of killed runs' temporary files.
    LeftoverSweep* sweep = nullptr;
    // Most memory one file may take, counting every buffer the re-encode holds at once; a file
    // that would need more is refused before the big allocations.
    std::uint64_t memoryBudget = kDefaultMemoryBudget;
    // A batch's one budget (of memoryBudget bytes) for all its workers: each picture holds its
    // share there while it is compressed, waiting for room. Null: each file counts alone.
    MemoryPool* memoryPool = nullptr;
    // Most blocks decoded over all scans of a JPEG (progressive files walk them once per scan).
    std::uint64_t workBudget = kDefaultWorkBudget;
    // Rewrites the input's DCT coefficients with better entropy coding: not one pixel changes,
    // the level and AI level do not apply.
    bool lossless = false;
    // Drops EXIF, XMP, IPTC and comments; the ICC profile and a non-default orientation stay.
    bool stripMetadata = false;
    // Kinds of descriptive metadata kept (MetadataKind bits); the others are dropped, the
    // orientation survives (engine/metadata_filter.h). stripMetadata keeps the ICC profile alone.
    unsigned keepMetadata = kAllMetadata;
    // Drops location alone, wherever the file writes it (engine/metadata_filter.h).
    bool stripGps = false;
    // CompressFile gives the output it writes the input's modification and access times.
    bool keepFileDates = false;
    // Drops what a phone photo carries after its main picture (an HDR gain map, a motion
    // photo's video) and the XMP that describes it; by default they are kept (multi_picture.h).
    bool primaryOnly = false;
    // Least share of a JPEG input's bytes a re-encode must save to replace it (0.02 = 2%); below
    // that the input is kept. Empty: the encoder's own (kMinSavingStandard, kMinSavingEfficient).
    std::optional<double> minSaving = std::nullopt;
    // Above 0: the level is ignored and each picture gets the coarsest JPEG quality whose decode
    // stays within this butteraugli distance of the decoded input (engine/target.h). A lossless
    // rewrite changes no pixel and takes no target: the callers refuse the pair.
    double targetDistance = 0.0;
};

// The standard encoder replaces any JPEG it makes smaller at all. The efficient encoder keeps a
// JPEG it would shrink by less than 2%: so small a saving does not pay for the look it costs.
inline constexpr double kMinSavingStandard = 0.0;
inline constexpr double kMinSavingEfficient = 0.02;
// In place, the standard encoder too keeps a file it would shrink by less than 1%: a rewrite
// for a few bytes gives the file a new identity and date, and every backup copies it again.
inline constexpr double kMinSavingInPlace = 0.01;

// Why a run kept the input's own coded data instead of a new encode; the file then holds the
// input byte for byte, or its coded data with only the metadata asked for. Decided where the
// keep-smaller rule is applied; worded by KeepReasonText.
enum class KeepReason {
    None,                // re-encoded (or rewritten losslessly)
    NotSmaller,          // the new encode would not be smaller than the input
    BelowMinSaving,      // it would save less than the least saving (EngineOptions::minSaving)
    TargetUnreachable,   // no quality reaches the target distance
    TargetWouldNotSave,  // the quality the target allows would not save enough
    OwnOutput,           // made by this program at the same or a coarser look: a re-encode only loses
};

struct CompressOutcome {
    CompressStatus status = CompressStatus::Ok;
    std::uint64_t inputSize = 0;
    std::uint64_t outputSize = 0;  // meaningful only when status is Ok
    bool copiedInput = false;      // the output is a byte-for-byte copy of the input
    // What the library or the system said about a failure ("Premature end of JPEG file",
    // "Permission denied"); empty when there is nothing to add to the status.
    std::string detail;
    // What the system (or the file layer, FileError) said when the input could not be read or
    // the output not written: whether a re-run may mend the failure depends on it.
    std::error_code error{};
    // Target runs: the quality written (0: the distance cannot be reached, the input was kept)
    // and the distance measured at it.
    int quality = 0;
    double distance = 0.0;
    // CompressFileAs (engine/file_modes.h): why the file was left alone by choice, and whether an
    // output was written at all.
    std::string skipped{};
    bool written = true;
    // What became of the items after the main picture ("HDR gain map kept", "gain map dropped:
    // its index is damaged"), then what metadata went beyond what the options ask ("ExtendedXMP
    // dropped: it holds location"), joined by ", "; empty when there is nothing to say.
    std::string extras{};
    bool targetKept = false;  // `quality` would not save enough: the input was kept
    // Why the input's coded data was kept (status Ok); None when it was re-encoded.
    KeepReason kept = KeepReason::None;
    // A failure found a file at the output and left it as it was (never removed, never cut).
    bool oldOutputLeft = false;
};

// Why the input was kept, in words for lines and reports ("a new encode would not be smaller");
// empty for KeepReason::None. `options` are those of the run (its least saving, its target).
std::string KeepReasonText(const CompressOutcome& outcome, const EngineOptions& options);

// The reason of a failure for log lines and messages: the status in words, followed by the
// detail in brackets when there is one ("damaged image data (Premature end of JPEG file)").
std::string ReasonText(const CompressOutcome& outcome);

// Reads `inputPath` whole, compresses it in memory and writes `outputPath` atomically.
// Levels above 10 become 5, level 0 gives the default quality; strengths are folded to 0..5.
// On failure nothing is written: a file already at `outputPath` stays as it was
// (`oldOutputLeft`), and none is made. The output gets the input's permissions, owner-writable
// (kOwnerWrite); an empty input is not an image.
CompressOutcome CompressFile(const std::filesystem::path& inputPath, const std::filesystem::path& outputPath,
                             CompressionLevel level, FilterStrength strength, const EngineOptions& options = {});

// The in-memory engine. `output` receives the encoded JPEG when it is smaller than `input`,
// otherwise an exact copy of `input`; it is empty on every failure.
// `detail`, when given, receives what the library said about a failure. With a target distance,
// `target` (when given) receives the quality chosen. An HDR gain map, a motion video and other
// items after a JPEG's main picture are kept (the gain map re-encoded like the main picture),
// the file judged whole; `extras` (when given) receives what became of them (CompressOutcome).
CompressStatus CompressBuffer(std::span<const std::uint8_t> input, CompressionLevel level,
                              std::vector<std::uint8_t>& output, FilterStrength strength,
                              const EngineOptions& options = {}, std::string* detail = nullptr,
                              TargetReport* target = nullptr, std::string* extras = nullptr);

// The input as a run keeps it: byte for byte, or when `options` filter metadata, its coded data
// and any items after its main picture as they are with only the metadata asked for. What a kept
// or skipped file becomes; a picture that is no JPEG is not kept (NoFittingJpeg).
CompressStatus KeepAsAsked(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                           const EngineOptions& options, std::string* detail = nullptr);

CompressStatus ReencodeAtLevel(CompressionLevel level, FilterStrength strength, std::span<const std::uint8_t> input,
                               std::vector<std::uint8_t>& output, const EngineOptions& options = {},
                               std::string* detail = nullptr);

// With options.targetDistance set, `quality` gives way to the one ChooseTargetQuality picks; a
// picture that cannot reach the distance keeps the input (keep-smaller rule) with quality 0.
CompressStatus ReencodeImage(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output, int quality,
                             FilterStrength strength, std::int32_t sharpeningFactor, const EngineOptions& options = {},
                             std::string* detail = nullptr, TargetReport* target = nullptr);

// Runs the treatments the AI level selects on decoded pixels, in place.
void ApplyFilters(Image& image, FilterStrength strength, std::int32_t sharpeningFactor, unsigned threads);

// The single-image result line: "Image Compressed by P% at Compression Level L and AILevel A and
// reduced by R bytes. " (P truncated toward zero), or "Could not create file." when either size is 0.
std::string ResultLine(std::int64_t inputSize, std::int64_t outputSize, long level, long aiLevel);

// The same line for a lossless rewrite, where no level applies: "Image Compressed by P%
// losslessly and reduced by R bytes. ", or "Could not create file.".
std::string LosslessResultLine(std::int64_t inputSize, std::int64_t outputSize);

// A result line with what became of the items after the main picture appended ("... bytes. HDR
// gain map kept."); the line alone when there is nothing to say.
std::string WithExtrasNote(std::string line, const CompressOutcome& outcome);

}  // namespace tramblix
