#include "engine/own_output.h"

#include <algorithm>
#include <array>

#include "engine/codec.h"
#include "engine/efficient_encode.h"
#include "engine/levels.h"

namespace tramblix {

namespace {

// Where the k-th value of a table stored in zig-zag order sits in natural order.
constexpr std::array<std::uint8_t, 64> kNaturalOrder = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                                        12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                                        35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                                        58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

using Table = std::array<std::uint16_t, 64>;

bool IsFrameHeader(std::uint8_t marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Reads the DQT segment body [at, end) into `tables`; false when it is malformed.
bool ReadTables(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t end,
                std::array<std::optional<Table>, 4>& tables)
{
    while (at < end) {
        const bool wide = (bytes[at] >> 4) != 0;
        const unsigned id = bytes[at] & 0x0F;
        ++at;
        if (id > 3 || at + (wide ? 128 : 64) > end)
            return false;
        Table table{};
        for (std::size_t k = 0; k < 64; ++k, at += wide ? 2 : 1)
            table[kNaturalOrder[k]] = wide ? static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]) : bytes[at];
        tables[id] = table;
    }
    return true;
}

// The tables of `quality` as the standard encoder writes them: luma, then the chroma table twice.
std::array<Table, 3> StandardTables(int quality)
{
    std::array<Table, 3> steps{};
    StandardLumaSteps(quality, steps[0].data());
    StandardChromaSteps(quality, steps[1].data());
    steps[2] = steps[1];
    return steps;
}

std::array<Table, 3> EfficientTables(int quality, const EfficientTuning& tuning, float lookFactor = 1.0f)
{
    std::uint16_t raw[3][64];
    EfficientSteps(quality, tuning, lookFactor, raw);
    std::array<Table, 3> steps{};
    for (std::size_t t = 0; t < 3; ++t)
        std::copy_n(raw[t], 64, steps[t].begin());
    return steps;
}

bool SameSteps(const JpegTables& file, const std::array<Table, 3>& ours)
{
    for (int c = 0; c < file.components; ++c)
        if (file.steps[static_cast<std::size_t>(c)] != ours[static_cast<std::size_t>(c)])
            return false;
    return true;
}

// Every step of the file at least ours: the efficient encoder at this quality keeps exactly these.
bool AtLeast(const JpegTables& file, const std::array<Table, 3>& ours)
{
    for (std::size_t c = 0; c < static_cast<std::size_t>(file.components); ++c)
        for (std::size_t i = 0; i < 64; ++i)
            if (file.steps[c][i] < ours[c][i])
                return false;
    return true;
}

int EqualSteps(const Table& a, const Table& b)
{
    int equal = 0;
    for (std::size_t i = 0; i < 64; ++i)
        equal += a[i] == b[i] ? 1 : 0;
    return equal;
}

// The level whose efficient tables, at their look or made coarser to fit beside the standard
// file (ToolsToShrink), the file holds: at least each step, three quarters of them exactly (the
// rest a JPEG input's own coarser steps). The factor is found from the coarsest luma step.
std::optional<int> EfficientLevelQuality(const JpegTables& file)
{
    const std::size_t planes = static_cast<std::size_t>(file.components);
    for (CompressionLevel level = 1; level <= 10; ++level) {
        const int quality = QualityForLevel(level);
        const std::array<Table, 3> plain = EfficientTables(quality, kEfficientTuning);
        const auto coarsest = std::max_element(plain[0].begin(), plain[0].end());
        const float ratio = static_cast<float>(file.steps[0][static_cast<std::size_t>(coarsest - plain[0].begin())]) /
                            static_cast<float>(*coarsest);
        for (float factor = std::max(1.0f, ratio - 0.03f); factor <= ratio + 0.03f; factor += 0.001f) {
            const std::array<Table, 3> ours = EfficientTables(quality, kEfficientTuning, factor);
            int equal = 0;
            for (std::size_t c = 0; c < planes; ++c)
                equal += EqualSteps(file.steps[c], ours[c]);
            if (4 * equal >= 3 * 64 * static_cast<int>(planes) && AtLeast(file, ours))
                return quality;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<JpegTables> ReadJpegTables(std::span<const std::uint8_t> jpeg)
{
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return std::nullopt;
    std::array<std::optional<Table>, 4> tables;
    std::array<int, 3> selector{-1, -1, -1};
    std::array<int, 3> sampling{};
    int components = 0;
    bool progressive = false;
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
        if (IsFrameHeader(marker) && length >= 11 && components == 0) {
            progressive = marker == 0xC2;
            components = jpeg[at + 9];
            for (int c = 0; c < std::min(components, 3) && at + 12 + 3 * static_cast<std::size_t>(c) < end; ++c) {
                sampling[static_cast<std::size_t>(c)] = jpeg[at + 11 + 3 * static_cast<std::size_t>(c)];
                selector[static_cast<std::size_t>(c)] = jpeg[at + 12 + 3 * static_cast<std::size_t>(c)] & 0x03;
            }
        }
        at = end;
    }
    if (selector[0] < 0 || !tables[static_cast<std::size_t>(selector[0])])
        return std::nullopt;
    JpegTables result;
    result.components = components == 3 ? 3 : 1;
    for (std::size_t c = 0; c < static_cast<std::size_t>(result.components); ++c) {
        if (selector[c] < 0 || !tables[static_cast<std::size_t>(selector[c])])
            return std::nullopt;
        result.steps[c] = *tables[static_cast<std::size_t>(selector[c])];
    }
    // One component is grey whatever its factors say; colour is ours at 4:2:0 alone.
    result.ourSampling = components == 1 || (components == 3 && sampling == std::array<int, 3>{0x22, 0x11, 0x11});
    result.ownCrTable = components == 3 && selector[2] != selector[1];
    result.progressive = progressive;
    return result;
}

std::optional<OwnLook> OwnLookOf(const JpegTables& tables)
{
    if (!tables.ourSampling)
        return std::nullopt;
    if (!tables.ownCrTable)
        for (int quality = 1; quality <= 100; ++quality)
            if (SameSteps(tables, StandardTables(quality)))
                return OwnLook{Encoder::Standard, quality};
    if (tables.components == 3 && !tables.ownCrTable)
        return std::nullopt;
    if (const std::optional<int> quality = EfficientLevelQuality(tables))
        return OwnLook{Encoder::Efficient, *quality};
    // The coarsest quality whose tables (the level's or a target's flatter ones) it still holds.
    for (int quality = 1; quality <= 100; ++quality)
        for (const EfficientTuning& tuning : {kEfficientTuning, kFlatTuning}) {
            const std::array<Table, 3> ours = EfficientTables(quality, tuning);
            if (AtLeast(tables, ours) && (tables.components == 3 || 4 * EqualSteps(tables.steps[0], ours[0]) >= 64))
                return OwnLook{Encoder::Efficient, quality};
        }
    return std::nullopt;
}

namespace {

// Tables are not enough: a damaged, cut or 12-bit file may carry ours. Only a file every scan of
// which reads cleanly is one this program wrote; the others take the usual way to their verdict.
bool IsCompleteOf(std::span<const std::uint8_t> jpeg, const EngineOptions& options)
{
    return IsCompleteJpeg(jpeg, DecodeLimits{options.memoryBudget, options.workBudget});
}

}  // namespace

std::string OwnOutputReason(std::span<const std::uint8_t> jpeg, int quality, const EngineOptions& options)
{
    if (options.lossless)
        return {};
    const std::optional<JpegTables> tables = ReadJpegTables(jpeg);
    const std::optional<OwnLook> own = tables ? OwnLookOf(*tables) : std::nullopt;
    if (!own)
        return {};
    // A target measures against the decoded input, so a file it made passes a coarser answer on
    // every run: whatever look ours has, a target leaves it alone. Its quality may be as fine as
    // the sequential files cameras write with the same tables, so only our progressive ones count.
    if (options.targetDistance > 0.0) {
        if (!tables->progressive || !IsCompleteOf(jpeg, options))
            return {};
        return "already compressed by this program (quality " + std::to_string(own->quality) + ")";
    }
    // The efficient encoder at this quality would keep a file's coarser steps: the same tables again.
    const bool coarser = own->quality <= quality || (options.encoder == Encoder::Efficient && tables->ourSampling &&
                                                     (tables->components == 1 || tables->ownCrTable) &&
                                                     AtLeast(*tables, EfficientTables(quality, kEfficientTuning)));
    if (!coarser || !IsCompleteOf(jpeg, options))
        return {};
    return "already compressed by this program at the same or a coarser level (quality " +
           std::to_string(own->quality) + ")";
}

}  // namespace tramblix
