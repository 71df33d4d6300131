#pragma once

// JPEGs made and read with libjpeg directly, so the engine is checked (and measured) against a
// codec it does not drive itself. Each libjpeg step runs in a function of its own that holds the
// setjmp point, with the libjpeg object owned by its caller.

#include <cstdint>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <functional>
#include <ostream>
#include <span>
#include <utility>
#include <vector>

#include <jpeglib.h>

namespace tramblix::test {

using Bytes = std::vector<std::uint8_t>;

struct JpegRecipe {
    int width = 48;
    int height = 32;
    J_COLOR_SPACE input = JCS_RGB;    // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK samples
    J_COLOR_SPACE coded = JCS_YCbCr;  // colour space inside the file
    int hSampling = 2;                // of the first component
    int vSampling = 2;
    bool progressive = false;  // jpeg_simple_progression
    bool arithmetic = false;
    bool optimise = false;  // optimised Huffman tables
    int restartRows = 0;
    int adobeMarker = -1;  // -1: libjpeg's choice
    int quality = 95;
    std::vector<std::pair<int, Bytes>> markers{};  // written in this order after the frame header
    Bytes icc{};
    // Runs last before jpeg_start_compress (a scan script, say). libjpeg may jump out of it, so
    // it must hold nothing with a destructor across a libjpeg call.
    std::function<void(jpeg_compress_struct&)> configure{};
};

// How a parameterised test names a recipe in its output: "120x72 colour 3->3 2x2 q95 progressive".
void PrintTo(const JpegRecipe& recipe, std::ostream* os);

inline int Components(J_COLOR_SPACE space)
{
    return space == JCS_GRAYSCALE ? 1 : space == JCS_CMYK ? 4 : 3;
}

// Smooth ramps, one direction per channel: survives JPEG almost unchanged.
Bytes Ramps(int width, int height, int channels);

// Interleaved samples of recipe.input, width x height; empty when libjpeg refused.
Bytes MakeJpeg(const JpegRecipe& recipe, std::span<const std::uint8_t> samples);
// The recipe over Ramps.
Bytes MakeJpeg(const JpegRecipe& recipe);

// Files of the kinds a photo folder holds, for runs of the real program:
// a camera-like photo (texture and noise at quality 95), which any level makes smaller;
Bytes PhotoLike(int width, int height, unsigned seed = 1);
// three by three flat grey pixels, optimised, which no re-encode makes smaller;
Bytes TinyFlatJpeg();
// a JPEG cut right before its first scan and closed with an EOI: damaged.
Bytes WithoutScans(Bytes jpeg);

struct Pixels {
    int width = 0;
    int height = 0;
    int components = 0;
    Bytes samples;     // interleaved rows, no padding
    int warnings = 0;  // libjpeg's warnings (a truncated file decodes with warnings only)
};

// Decodes with libjpeg's defaults (accurate DCT, smooth upsampling) into `output` (JCS_UNKNOWN:
// libjpeg's choice for the file). False when libjpeg gave up.
bool DecodeWithLibjpeg(std::span<const std::uint8_t> jpeg, Pixels& pixels, J_COLOR_SPACE output = JCS_UNKNOWN);

// What libjpeg itself reads from a file's header.
struct HeaderFacts {
    bool ok = false;
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
    int hSampling = 0;  // of the first component
    int vSampling = 0;
    Bytes icc;
};

HeaderFacts Inspect(std::span<const std::uint8_t> jpeg);

}  // namespace tramblix::test
