#pragma once

// How a fuzz input is read and what must hold for it. Shared by the fuzz targets and by the
// regression test that replays the inputs they found, so a replay checks exactly what the
// fuzzer checked.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/multi_picture.h"
#include "engine/preview.h"

namespace tramblix::fuzz {

using Bytes = std::span<const std::uint8_t>;

// CompressBuffer input: byte 0 picks the level (0..11, so 0 and "above 10" are reached too),
// byte 1 the AI level (-1..6, folded by the engine), the filter threads (1 or 2), the encoder
// (bit 0x10: efficient) and whether byte 0 also sets the least saving (bit 0x20: 0-21%); the rest
// is the file.
struct CompressCase {
    CompressionLevel level = 5;
    FilterStrength strength = 0;
    unsigned threads = 1;
    Encoder encoder = Encoder::Standard;
    std::optional<double> minSaving;
    Bytes file;
};

inline std::optional<CompressCase> ParseCompressCase(Bytes data)
{
    if (data.size() < 2)
        return std::nullopt;
    CompressCase c;
    c.level = data[0] % 12;
    c.strength = static_cast<FilterStrength>(data[1] % 8) - 1;
    c.threads = (data[1] & 0x08) ? 2 : 1;
    c.encoder = (data[1] & 0x10) ? Encoder::Efficient : Encoder::Standard;
    if (data[1] & 0x20)
        c.minSaving = (data[0] / 12) * 0.01;
    c.file = data.subspan(2);
    return c;
}

// Runs the engine on one case; returns what went wrong, or "" when every rule held.
inline std::string CheckCompress(const CompressCase& c)
{
    std::vector<std::uint8_t> output;
    EngineOptions options;
    options.threads = c.threads;
    options.encoder = c.encoder;
    options.minSaving = c.minSaving;
    const CompressStatus status = CompressBuffer(c.file, c.level, output, c.strength, options);
    if (status != CompressStatus::Ok)
        return output.empty() ? "" : "a failed call left output bytes";
    if (c.file.empty())
        return "empty input accepted";
    if (output.size() > c.file.size())
        return "output larger than input";
    if (output.size() == c.file.size())
        return std::equal(output.begin(), output.end(), c.file.begin()) ? "" : "same size but not a copy";
    const bool jpeg = c.file.size() >= 2 && c.file[0] == 0xFF && c.file[1] == 0xD8;
    const double least = c.minSaving.value_or(c.encoder == Encoder::Efficient ? kMinSavingEfficient : 0.0);
    if (jpeg && static_cast<double>(c.file.size() - output.size()) < least * static_cast<double>(c.file.size()))
        return "replaced a JPEG for less than the least saving";
    // A new encode must be a clean JPEG that keeps the picture's orientation.
    DecodedImage decoded;
    const DecodeStatus again = DecodeJpeg(output, decoded);
    if (again != DecodeStatus::Ok)
        return "the encoded output does not decode cleanly";
    const int before = JpegExifOrientation(c.file);
    if (before != 1 && JpegExifOrientation(output) != before)
        return "EXIF orientation lost";
    // Extras kept are still located by indexes that point at them, and only a gain map changes.
    const PictureExtras extras = FindPictureExtras(c.file);
    if (!extras.keepable())
        return "";
    const PictureExtras kept = FindPictureExtras(output);
    if (!kept.keepable() || kept.items.size() != extras.items.size())
        return "the extras or their index were lost";
    const Bytes out(output);
    for (std::size_t i = 0; i < kept.items.size(); ++i) {
        const ExtraItem &was = extras.items[i], &is = kept.items[i];
        if (was.kind != is.kind ||
            (was.kind != ExtraKind::GainMap &&
             !std::ranges::equal(c.file.subspan(was.start, was.size), out.subspan(is.start, is.size))))
            return "an embedded item changed";
    }
    return "";
}

// Preview decoder input: bytes 0 and 1 give the box (0 = unconstrained side); the rest is the file.
struct PreviewCase {
    int boxWidth = 0;
    int boxHeight = 0;
    Bytes file;
};

inline std::optional<PreviewCase> ParsePreviewCase(Bytes data)
{
    if (data.size() < 2)
        return std::nullopt;
    return PreviewCase{data[0], data[1], data.subspan(2)};
}

inline std::string CheckPreview(const PreviewCase& c)
{
    Image image;
    if (!DecodeJpegForDisplay(c.file, image, c.boxWidth, c.boxHeight))
        return image.empty() ? "" : "a failed decode changed its output";
    if (image.empty() || image.channels != 3 || image.stride != static_cast<std::ptrdiff_t>(image.rowBytes()) ||
        image.data.size() != image.rowBytes() * static_cast<std::size_t>(image.height))
        return "the decoded image is malformed";
    int width = 0, height = 0, components = 0;
    if (!ReadJpegHeader(c.file, width, height, components))
        return "decoded a file whose header does not read";
    const std::uint64_t pixels = static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height);
    if (pixels > static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height))
        return "the preview is larger than the picture";
    return "";
}

}  // namespace tramblix::fuzz
