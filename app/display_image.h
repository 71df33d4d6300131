#pragma once

#include <QByteArray>
#include <QImage>

#include "engine/image.h"

// The decoder's RGB or grey pixels as a QImage that owns a copy of them.
QImage ToQImage(const tramblix::Image& image);

// Decodes JPEG bytes for display; a null image when they are not a decodable JPEG.
QImage DecodeJpegToQImage(const QByteArray& bytes);
