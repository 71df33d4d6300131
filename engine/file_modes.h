#pragma once

#include <filesystem>
#include <optional>
#include <span>

#include "engine/compress.h"

namespace tramblix {

// What a run does with a file besides CompressFile's plain INPUT -> OUTPUT.
struct FileMode {
    // The input is replaced by its compressed version, only when smaller, atomically; the output
    // path is not used. A file with more than one hard link is left alone (replacing it would
    // split the links).
    bool inPlace = false;
    // Compressed in memory and measured; nothing is written.
    bool dryRun = false;
    // Above 0: a JPEG whose luminance table means an IJG quality at or below this is left alone.
    int skipAtOrBelowQuality = 0;
    // A file that is no JPEG is left alone: its output would keep a name that says otherwise.
    bool jpegOnly = false;

    bool Plain() const { return !inPlace && !dryRun && skipAtOrBelowQuality <= 0 && !jpegOnly; }
};

// CompressFile under `mode`; the plain mode is CompressFile itself. A file left alone by choice
// comes back Ok with `skipped` set; it is copied to the output like a kept file (none when it is
// no JPEG). In place, a file kept or left alone is rewritten only when the metadata filters take
// something away (`written` false otherwise): they are never cancelled by those rules.
CompressOutcome CompressFileAs(const std::filesystem::path& inputPath, const std::filesystem::path& outputPath,
                               CompressionLevel level, FilterStrength strength, const EngineOptions& options,
                               const FileMode& mode);

// The IJG quality (1..100) the luminance table of a JPEG's first component means; nothing when
// `jpeg` is no JPEG or its header segments cannot be walked to that table.
std::optional<int> JpegQualityOf(std::span<const std::uint8_t> jpeg);

}  // namespace tramblix
