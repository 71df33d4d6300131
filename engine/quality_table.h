#pragma once

#include <cstdint>

namespace tramblix {

using CompressionLevel = std::uint32_t;  // 1 (least) .. 10 (most compression)

inline constexpr int kDefaultQuality = 75;

// Levels above 10 (a negative value seen as unsigned counts as large) become 5; 0 stays 0.
CompressionLevel NormaliseLevel(CompressionLevel level);

// JPEG quality for a level: 1 -> 90 ... 10 -> 15; 0 and anything above 10 -> 75.
int QualityForLevel(CompressionLevel level);

// The luma steps (natural order) libjpeg's jpeg_set_quality gives `quality` (1-100).
void StandardLumaSteps(int quality, std::uint16_t steps[64]);
// The same for the standard chrominance table (both chroma components share it).
void StandardChromaSteps(int quality, std::uint16_t steps[64]);

}  // namespace tramblix
