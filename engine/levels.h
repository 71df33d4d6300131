#pragma once

#include <cstdint>

#include "engine/quality_table.h"

namespace tramblix {

using FilterStrength = std::int32_t;  // "AI Level" 0 (off) .. 5 (strongest)

inline constexpr int kSharpeningFactor = 20;
inline constexpr int kEdgeLiftThreshold = 9;

// Strength clamped to 0..5: 6 or more acts as 5, negative as 0.
FilterStrength NormaliseStrength(FilterStrength strength);

}  // namespace tramblix
