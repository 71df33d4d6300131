#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <QByteArray>
#include <QImage>

#include "engine/image.h"

// The decoder's RGB or grey pixels as a QImage that owns a copy of them.
QImage ToQImage(const tramblix::Image& image);

// Decodes JPEG bytes for display; a null image when they are not a decodable JPEG.
QImage DecodeJpegToQImage(const QByteArray& bytes);

// Decodes any picture the engine reads for display, always as RGB: JPEG upright as its EXIF
// orientation says, other formats through the engine's decoder. Nothing when it cannot.
std::optional<tramblix::Image> DecodeAnyForDisplay(std::span<const std::uint8_t> bytes);
