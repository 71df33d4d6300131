#include "app/display_image.h"

#include <cstdint>
#include <span>

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
