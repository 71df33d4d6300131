#include "app/display_image.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "engine/codec.h"
#include "engine/preview.h"

QImage ToQImage(const tramblix::Image& image)
{
    if (image.empty() || (image.channels != 3 && image.channels != 1))
        return {};
    const QImage view(image.data.data(), image.width, image.height, static_cast<qsizetype>(image.stride),
                      image.channels == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    return view.copy();
}

QImage DecodeJpegToQImage(const QByteArray& bytes)
{
    tramblix::Image decoded;
    const std::span<const std::uint8_t> span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                             static_cast<std::size_t>(bytes.size()));
    if (!tramblix::DecodeJpegForDisplay(span, decoded))
        return {};
    return ToQImage(decoded);
}

std::optional<tramblix::Image> DecodeAnyForDisplay(std::span<const std::uint8_t> bytes)
{
    tramblix::Image jpeg;
    if (tramblix::DecodeJpegForDisplay(bytes, jpeg))
        return jpeg;
    tramblix::DecodedImage decoded;
    if (tramblix::DecodeImage(bytes, decoded) != tramblix::DecodeStatus::Ok)
        return std::nullopt;
    tramblix::Image& grey = decoded.pixels;
    if (grey.channels == 3)
        return std::move(grey);
    // The output of a grey picture decodes as RGB; measured against it, the input must be RGB too.
    tramblix::Image rgb(grey.width, grey.height, 3);
    for (int y = 0; y < grey.height; ++y)
        for (int x = 0; x < grey.width; ++x)
            std::fill_n(rgb.row(y) + 3 * x, 3, grey.row(y)[x]);
    return rgb;
}
