#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tramblix {

// An 8-bit image in memory: 3 samples per pixel (R, G, B) or 1 (grey).
// Rows are `stride` bytes apart; stride >= width * channels.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> data;

    Image() = default;
    Image(int w, int h, int c)
        : width(w),
          height(h),
          channels(c),
          stride(static_cast<std::ptrdiff_t>(w) * c),
          data(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * static_cast<std::size_t>(c))
    {}

    bool empty() const { return width <= 0 || height <= 0; }
    std::uint8_t* row(int y) { return data.data() + y * stride; }
    const std::uint8_t* row(int y) const { return data.data() + y * stride; }
    std::size_t rowBytes() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(channels); }
};

// A JPEG marker segment kept from the input (APP1 EXIF/XMP, COM), without its length field.
struct Marker {
    int code = 0;  // JPEG_APP0 + n or JPEG_COM
    std::vector<std::uint8_t> bytes;
};

// The pixel density a JFIF segment states: unit 0 gives only the aspect ratio, 1 dots per inch,
// 2 dots per centimetre.
struct Density {
    std::uint8_t unit = 0;
    std::uint16_t x = 1;
    std::uint16_t y = 1;
};

// The quantisation steps (natural order) of the JPEG the pixels were decoded from, while the
// pixels still line up with its 8x8 blocks: luma always, chroma only when it was 4:2:0 with one
// table for both channels (0 entries: none).
struct SourceSteps {
    std::uint16_t luma[64] = {};
    std::uint16_t chroma[64] = {};
    bool present() const { return luma[0] != 0; }
    bool hasChroma() const { return chroma[0] != 0; }
};

// What the decoder hands to the encoder: pixels in the colours to be written, the ICC profile
// those pixels are in (empty: none), the metadata segments to carry over, the density, and the
// steps of the JPEG they came from (cleared once the pixels change).
struct DecodedImage {
    Image pixels;
    std::vector<std::uint8_t> icc;
    std::vector<Marker> markers;
    Density density;
    SourceSteps sourceSteps;
};

}  // namespace tramblix
