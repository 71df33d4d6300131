#pragma once

// Inputs a fuzz target passes over. A few hundred header bytes can announce a picture of
// hundreds of megapixels that the engine accepts and really decodes (and filters and encodes);
// that costs seconds, not a finding, and would starve the search. Pictures above the engine's
// own limit are kept: their refusal is cheap and must stay so.

#include <cstdint>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QtGlobal>

#include "fuzz_cases.h"

namespace tramblix::fuzz {

inline constexpr std::uint64_t kMaxFuzzPixels = 1024 * 1024;

// The picture's size as its header states it; 0 when the header does not say. Other formats
// than JPEG are asked only when `otherFormats` (the display decoder reads JPEG alone).
inline std::uint64_t AnnouncedPixels(Bytes file, bool otherFormats)
{
    int width = 0, height = 0, components = 0;
    if (ReadJpegHeader(file, width, height, components))
        return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (!otherFormats || (file.size() >= 2 && file[0] == 0xFF && file[1] == 0xD8))
        return 0;  // a JPEG whose header does not read is never Qt's business
    QByteArray data =
        QByteArray::fromRawData(reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size()));
    QBuffer device(&data);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device);
    QSize size = reader.size();
    // Qt states a GIF's size as that of its first frame but decodes onto the whole logical
    // screen, which a few bytes can make hundreds of megapixels. Each side counts on its own: a
    // screen 0 pixels wide and a frame 1 pixel high still paint a large picture.
    if (file.size() >= 10 && file[0] == 'G' && file[1] == 'I' && file[2] == 'F')
        size = size.expandedTo(QSize(file[6] | file[7] << 8, file[8] | file[9] << 8));
    return size.isValid() ? static_cast<std::uint64_t>(size.width()) * static_cast<std::uint64_t>(size.height()) : 0;
}

// Qt's image plug-ins report every broken file on standard error; thousands of such lines a
// second would bury the fuzzer's own output.
inline void SilenceQt()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

inline bool TooCostly(Bytes file, std::uint64_t budget, bool otherFormats)
{
    const std::uint64_t pixels = AnnouncedPixels(file, otherFormats);
    return pixels > budget && pixels <= kMaxPixels;
}

}  // namespace tramblix::fuzz
