#include "engine/preview.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/internal/jpeg_common.h"

namespace tramblix {

namespace {

// The smallest N/8 (N = 1..8) at which the picture still covers the box; a side given as 0 does
// not constrain. Pictures smaller than the box are decoded at their own size, never enlarged:
// the panes stretch them anyway and enlarging adds nothing but memory.
unsigned ScaleEighths(std::uint64_t width, std::uint64_t height, int boxWidth, int boxHeight)
{
    for (unsigned n = 1; n < 8; ++n) {
        const std::uint64_t scaledWidth = (width * n + 7) / 8;  // libjpeg rounds up too
        const std::uint64_t scaledHeight = (height * n + 7) / 8;
        if ((boxWidth <= 0 || scaledWidth >= static_cast<std::uint64_t>(boxWidth)) &&
            (boxHeight <= 0 || scaledHeight >= static_cast<std::uint64_t>(boxHeight)))
            return n;
    }
    return 8;
}

}  // namespace

bool DecodeJpegForDisplay(std::span<const std::uint8_t> bytes, Image& out, int boxWidth, int boxHeight)
{
    try {
        // Warnings do not stop a display decode: a cut-off photo shows what it has, as in any viewer.
        jpeg::Decompressor d;
        if (!jpeg::ReadHeader(d, bytes, jpeg::kKeepIcc))
            return false;
        const int orientation = JpegExifOrientation(bytes);
        const bool turned = orientation >= 5;  // the box is compared with the upright picture
        if (boxWidth > 0 || boxHeight > 0) {
            d.cinfo.scale_num = ScaleEighths(d.cinfo.image_width, d.cinfo.image_height, turned ? boxHeight : boxWidth,
                                             turned ? boxWidth : boxHeight);
            d.cinfo.scale_denom = 8;
        }

        // The limits apply to what this decode will hold: the pixels at the chosen scale (a 1/8
        // thumbnail of a huge photo is small) and the coefficients, which a multi-scan file keeps
        // at full size whatever the scale.
        if (!jpeg::CalcOutputDimensions(d) || jpeg::ExceedsPixelLimit(d.cinfo.output_width, d.cinfo.output_height))
            return false;
        const std::uint64_t pixelBytes = std::uint64_t{d.cinfo.output_width} * d.cinfo.output_height * 3;
        if (bytes.size() + jpeg::CoefficientBytes(d.cinfo) + pixelBytes * (orientation == 1 ? 1 : 2) > d.memoryBudget)
            return false;

        const bool cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
        const std::vector<std::uint8_t> icc = cmyk ? jpeg::IccProfile(d.cinfo) : std::vector<std::uint8_t>();

        Image image;
        if (jpeg::DecodePixels(d, icc, true, image) != DecodeStatus::Ok)
            return false;
        jpeg::FinishDecompress(d);  // every row is in; what follows the last one does not matter here
        out = orientation == 1 ? std::move(image) : ApplyExifOrientation(image, orientation);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

Image ApplyExifOrientation(const Image& image, int orientation)
{
    if (orientation < 2 || orientation > 8 || image.empty())
        return image;
    const int w = image.width;
    const int h = image.height;
    const int c = image.channels;
    const bool turned = orientation >= 5;
    Image result(turned ? h : w, turned ? w : h, c);
    // For each target row: where its first pixel lies in the source, and how far (in bytes) the
    // source moves from one target pixel to the next.
    const std::ptrdiff_t pixel = c;
    const std::ptrdiff_t stride = image.stride;
    for (int ty = 0; ty < result.height; ++ty) {
        std::ptrdiff_t offset = 0;
        std::ptrdiff_t step = 0;
        switch (orientation) {
        case 2:  // mirror left to right
            offset = ty * stride + (w - 1) * pixel;
            step = -pixel;
            break;
        case 3:  // turn 180 degrees
            offset = (h - 1 - ty) * stride + (w - 1) * pixel;
            step = -pixel;
            break;
        case 4:  // mirror top to bottom
            offset = (h - 1 - ty) * stride;
            step = pixel;
            break;
        case 5:  // transpose
            offset = ty * pixel;
            step = stride;
            break;
        case 6:  // turn 90 degrees clockwise
            offset = (h - 1) * stride + ty * pixel;
            step = -stride;
            break;
        case 7:  // transverse
            offset = (h - 1) * stride + (w - 1 - ty) * pixel;
            step = -stride;
            break;
        default:  // 8: turn 90 degrees anticlockwise
            offset = (w - 1 - ty) * pixel;
            step = stride;
            break;
        }
        std::uint8_t* target = result.row(ty);
        for (int tx = 0; tx < result.width; ++tx, offset += step, target += c)
            std::memcpy(target, image.data.data() + offset, static_cast<std::size_t>(c));
    }
    return result;
}

}  // namespace tramblix
