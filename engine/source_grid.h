#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace tramblix {

// For pixels that carry no JPEG's steps (a JPEG once decoded and saved in another format): the
// luma steps of the libjpeg standard table whose grid their 8x8 blocks sit on, or nothing. On
// such a grid most values of the blocks' transforms lie within rounding noise of whole steps;
// elsewhere about 40% do by chance. The coarsest quality that fits wins (a finer table whose
// steps divide the source's fits too). `lumaRow(y, row)` fills one row of `width` luma samples.
std::optional<std::array<std::uint16_t, 64>> GuessLumaGrid(
    int width, int height, const std::function<void(int y, std::uint8_t* row)>& lumaRow);

}  // namespace tramblix
