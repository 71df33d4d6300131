#pragma once

#include <cstdint>
#include <vector>

#include "engine/image.h"

namespace tramblix {

// What the efficient encoder does beyond the standard one. With everything off it computes
// the standard encoder's coefficients itself, so its pixels are the standard encoder's.
struct EfficientTools {
    // Steps re-weighted from the standard tables at the level's quality, for the eye and SSIM.
    bool tunedTables = true;
    // Luma: rate-distortion optimised values (a trellis weighing squared error against bits).
    bool rdQuantise = true;
    // Never quantise finer than the JPEG the pixels came from: where the level's step is finer
    // than that file's, take the file's own.
    bool sourceGrid = true;
};

// Encodes like EncodeJpeg (same segments, sampling, scan script and Huffman optimisation) but
// with its own steps, and computes and quantises the DCT coefficients itself, handing them to
// libjpeg whole. One
// thread; the bytes depend only on the pixels, `quality` and `tools`.
// Returns false when encoding failed; `out` is then empty. Throws std::bad_alloc when memory runs out.
bool EncodeJpegEfficient(const DecodedImage& image, int quality, std::vector<std::uint8_t>& out,
                         const EfficientTools& tools = {});

}  // namespace tramblix
