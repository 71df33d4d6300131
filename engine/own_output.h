#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/compress.h"

namespace tramblix {

// What decides a JPEG's look, read from its header: the quantisation tables (natural order) of
// its components and their sampling.
struct JpegTables {
    int components = 0;
    // Luma, then each chroma component's table; `components` of them are set.
    std::array<std::array<std::uint16_t, 64>, 3> steps{};
    // Y at 2x2 and both chroma at 1x1 (4:2:0), or one grey component: what our encoders write.
    bool ourSampling = false;
    // Cr quantised with a table of its own, as the efficient encoder writes colour.
    bool ownCrTable = false;
    // Progressive Huffman coding, as both our encoders write.
    bool progressive = false;
};

// The tables of a JPEG's first frame; nothing when `jpeg` is no JPEG, its header segments cannot
// be walked to them or a component's table is missing.
std::optional<JpegTables> ReadJpegTables(std::span<const std::uint8_t> jpeg);

// The encoder and quality whose tables and sampling a JPEG carries, when they are what ours
// write: the standard tables at that quality exactly, or the efficient encoder's tables at that
// quality or coarser (it keeps a JPEG input's coarser steps; a shrunk encode is coarser still;
// the quality is then the coarsest whose tables it still holds). A grey file counts as the
// efficient encoder's only when a quarter of its steps are that quality's exactly.
struct OwnLook {
    Encoder encoder = Encoder::Standard;
    int quality = 0;
};
std::optional<OwnLook> OwnLookOf(const JpegTables& tables);

// Why a JPEG is left alone by a command writing `quality` (or a target) with `options`: its tables
// and sampling are what this program writes at the same look or a coarser one, so encoding it
// again would only wear it down. Empty when it is not so, or when the command changes no pixel.
std::string OwnOutputReason(std::span<const std::uint8_t> jpeg, int quality, const EngineOptions& options);

}  // namespace tramblix
