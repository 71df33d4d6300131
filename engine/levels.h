#pragma once

#include <cstdint>

namespace tramblix {

using CompressionLevel = std::uint32_t;  // 1 (least) .. 10 (most compression)
using FilterStrength = std::int32_t;     // "AI Level" 0 (off) .. 5 (strongest)

inline constexpr int kDefaultQuality = 75;
inline constexpr int kSharpeningFactor = 20;
inline constexpr int kEdgeLiftThreshold = 9;

// Levels above 10 (a negative value seen as unsigned counts as large) become 5; 0 stays 0.
CompressionLevel NormaliseLevel(CompressionLevel level);

// JPEG quality for a level: 1 -> 90 ... 10 -> 15; 0 and anything above 10 -> 75.
int QualityForLevel(CompressionLevel level);

// Strength clamped to 0..5: 6 or more acts as 5, negative as 0.
FilterStrength NormaliseStrength(FilterStrength strength);

}  // namespace tramblix
