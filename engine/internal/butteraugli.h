#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined (the engine's own
// sources, and white-box tests and benchmarks that link engine_internal).
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

// libjxl's butteraugli, kept behind plain types so that jxl headers stay inside the engine.

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/image.h"

namespace tramblix {

// Butteraugli's distance per pixel, row after row (width x height).
struct DistanceMap {
    int width = 0;
    int height = 0;
    std::vector<float> values;
    float at(int x, int y) const { return values[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x]; }
};

// What one comparison of a picture of `pixels` pixels holds at its peak: butteraugli's planes and
// blurs (about 270 bytes a pixel measured on libjxl 0.7) plus our packed copies.
std::uint64_t ButteraugliBytes(std::uint64_t pixels);

// The largest butteraugli distance between `reference` and `distorted` (same size and channels,
// both taken as sRGB, default intensity target; grey is measured as RGB), and its map when `map`
// is given. Pictures smaller than butteraugli's 8 x 8 minimum are measured with their edges
// repeated. Nothing when the library fails.
std::optional<double> ButteraugliMaxDistance(const Image& reference, const Image& distorted,
                                             DistanceMap* map = nullptr);

}  // namespace tramblix
