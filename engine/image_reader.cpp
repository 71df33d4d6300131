#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QImageReader>

#include "engine/codec.h"
#include "engine/internal/jpeg_common.h"

// QImageReader works without a QGuiApplication (plug-ins are found through the installed plug-in
// path) and separate readers may run on several threads at once.

namespace tramblix {

namespace {

std::uint32_t Le16(std::span<const std::uint8_t> b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at)
{
    return Le16(b, at) | (Le16(b, at + 2) << 16);
}

// Qt's BMP reader hands back a partly filled picture when the pixel data is cut short, so the
// length is checked against the header. Only the last row may lack its padding.
bool BmpComplete(std::span<const std::uint8_t> b)
{
    if (b.size() < 26)
        return false;
    const std::uint64_t offset = Le32(b, 10);
    const std::uint32_t headerSize = Le32(b, 14);
    std::uint64_t width = 0, height = 0, bitsPerPixel = 0, compression = 0, imageSize = 0;
    if (headerSize == 12) {  // OS/2 core header
        width = Le16(b, 18);
        height = Le16(b, 20);
        bitsPerPixel = Le16(b, 24);
    } else if (headerSize >= 40 && b.size() >= 54) {
        const auto signedWidth = static_cast<std::int32_t>(Le32(b, 18));
        const auto signedHeight = static_cast<std::int32_t>(Le32(b, 22));  // negative: stored top-down
        width = signedWidth < 0 ? -static_cast<std::int64_t>(signedWidth) : signedWidth;
        height = signedHeight < 0 ? -static_cast<std::int64_t>(signedHeight) : signedHeight;
        bitsPerPixel = Le16(b, 28);
        compression = Le32(b, 30);
        imageSize = Le32(b, 34);
    } else {
        return false;
    }
    std::uint64_t needed = offset + imageSize;                       // RLE and embedded formats: the stated data size
    if (compression == 0 || compression == 3 || compression == 6) {  // uncompressed rows
        if (width == 0 || height == 0)
            return false;
        const std::uint64_t stride = (width * bitsPerPixel + 31) / 32 * 4;
        needed = offset + stride * (height - 1) + (width * bitsPerPixel + 7) / 8;
    }
    return b.size() >= needed;
}

// Skips GIF data sub-blocks from `pos`; false when the terminating empty block is missing.
bool SkipSubBlocks(std::span<const std::uint8_t> b, std::size_t& pos)
{
    while (pos < b.size()) {
        const std::size_t length = b[pos++];
        if (length == 0)
            return true;
        pos += length;
    }
    return false;
}

// Qt's GIF reader, too, returns what it has of a cut frame. The first frame is what we encode,
// so its data blocks must all be there.
bool GifFirstFrameComplete(std::span<const std::uint8_t> b)
{
    if (b.size() < 13)
        return false;
    std::size_t pos = 13;
    if (b[10] & 0x80)
        pos += 3u << ((b[10] & 7) + 1);  // global colour table
    while (pos < b.size()) {
        const std::uint8_t block = b[pos];
        if (block == 0x21) {  // extension: label, then sub-blocks
            pos += 2;
            if (!SkipSubBlocks(b, pos))
                return false;
        } else if (block == 0x2C) {  // image descriptor
            if (pos + 10 > b.size())
                return false;
            const std::uint8_t flags = b[pos + 9];
            pos += 10;
            if (flags & 0x80)
                pos += 3u << ((flags & 7) + 1);  // local colour table
            pos += 1;                            // LZW minimum code size
            return SkipSubBlocks(b, pos);
        } else {
            return false;  // the trailer before any frame, or garbage
        }
    }
    return false;
}

std::uint32_t Be32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

// The ICC profile of a PNG's iCCP chunk when it describes grey; empty otherwise. Compressed
// profiles over 64 KiB are left alone: grey profiles are small, and inflating is unbounded.
std::vector<std::uint8_t> PngGreyProfile(std::span<const std::uint8_t> b)
{
    constexpr std::uint32_t kMaxCompressed = 64 * 1024;
    for (std::size_t at = 8; at + 12 <= b.size();) {
        const std::uint32_t length = Be32(b, at);
        if (length > b.size() - at - 12 || std::memcmp(&b[at + 4], "IDAT", 4) == 0)
            break;
        if (std::memcmp(&b[at + 4], "iCCP", 4) == 0 && length <= kMaxCompressed) {
            const auto* data = reinterpret_cast<const char*>(&b[at + 8]);
            const auto* nul = static_cast<const char*>(std::memchr(data, 0, length));
            const std::size_t name = nul == nullptr ? length : static_cast<std::size_t>(nul - data) + 2;  // and method
            if (name >= length)
                break;
            QByteArray zlib("\0\1\0\0", 4);  // qUncompress's size hint, 64 KiB; it grows as needed
            zlib.append(data + name, static_cast<qsizetype>(length - name));
            const QByteArray icc = qUncompress(zlib);
            if (icc.size() >= 20 && icc.mid(16, 4) == "GRAY")
                return {icc.begin(), icc.end()};
            break;
        }
        at += 12 + static_cast<std::size_t>(length);
    }
    return {};
}

// The formats we take: the usual still-picture formats. Readers with weak signatures (WBMP, TGA)
// would otherwise turn random bytes into a "picture".
bool Accepted(const QByteArray& format)
{
    return format == "png" || format == "bmp" || format == "gif" || format == "tiff" || format == "tif" ||
           format == "webp";
}

void AllowLargeImages()
{
    // Qt refuses images above 128 MiB by default; ours are bounded by kMaxPixels instead
    // (up to 8 bytes a pixel for 16-bit RGBA while Qt decodes).
    static std::once_flag once;
    std::call_once(once, [] {
        constexpr int needed = static_cast<int>(kMaxPixels * 8 / (1024 * 1024));
        const int current = QImageReader::allocationLimit();
        if (current != 0 && current < needed)
            QImageReader::setAllocationLimit(needed);
    });
}

// Above kMaxPixels, or a side longer than a JPEG can hold (65500): such a picture could be
// decoded but never written.
bool TooLarge(const QSize& size)
{
    constexpr int kMaxJpegSide = 65500;
    return static_cast<std::uint64_t>(size.width()) * static_cast<std::uint64_t>(size.height()) > kMaxPixels ||
           size.width() > kMaxJpegSide || size.height() > kMaxJpegSide;
}

bool IsGrey(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16: return true;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8: return image.isGrayscale();  // looks at the colour table only
    default: return false;
    }
}

// Transparent pixels are put on white: out = premultiplied colour + (255 - alpha).
void CompositeOnWhite(const QImage& premultiplied, Image& out)
{
    for (int y = 0; y < out.height; ++y) {
        const std::uint8_t* source = premultiplied.constScanLine(y);
        std::uint8_t* target = out.row(y);
        for (int x = 0; x < out.width; ++x, source += 4, target += 3) {
            const int white = 255 - source[3];
            target[0] = static_cast<std::uint8_t>(source[0] + white);
            target[1] = static_cast<std::uint8_t>(source[1] + white);
            target[2] = static_cast<std::uint8_t>(source[2] + white);
        }
    }
}

void CopyRows(const QImage& image, Image& out)
{
    for (int y = 0; y < out.height; ++y)
        std::memcpy(out.row(y), image.constScanLine(y), out.rowBytes());
}

// What Qt holds while it decodes (its own image, then our conversion of it) besides our pixels.
std::uint64_t QtDecodeBytes(const QImageReader& reader, std::uint64_t pixels)
{
    const QImage::Format format = reader.imageFormat();
    const int bits = format == QImage::Format_Invalid ? 64 : QImage::toPixelFormat(format).bitsPerPixel();
    return pixels * static_cast<std::uint64_t>(std::max(bits, 32)) / 8 + pixels * 4;
}

DecodeStatus ReadWithQt(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits,
                        DecodeDetail* detail)
{
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX))
        return DecodeStatus::NotAnImage;
    AllowLargeImages();

    // No copy: the buffer reads the caller's bytes in place.
    QByteArray data =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    QBuffer device(&data);
    if (!device.open(QIODevice::ReadOnly))
        return DecodeStatus::NotAnImage;
    QImageReader reader(&device);
    reader.setAutoTransform(true);  // the output carries no orientation tag, so turn the pixels
    const QByteArray format = reader.format();
    if (!Accepted(format))
        return DecodeStatus::NotAnImage;
    if ((format == "bmp" && !BmpComplete(bytes)) || (format == "gif" && !GifFirstFrameComplete(bytes)))
        return DecodeStatus::Damaged;
    // Checked before Qt allocates: a GIF is decoded onto its whole logical screen, however small
    // its frame, so a few bytes can ask for gigabytes.
    // A reader that cannot tell the size beforehand is held by Qt's allocation limit alone.
    QSize size = reader.size();
    if (format == "gif")  // Qt reports the first frame's size but paints it onto the whole screen
        size = size.expandedTo(QSize(static_cast<int>(Le16(bytes, 6)), static_cast<int>(Le16(bytes, 8))));
    if (size.isValid() && TooLarge(size))
        return DecodeStatus::TooLarge;
    if (size.isValid()) {
        const auto pixels = static_cast<std::uint64_t>(size.width()) * static_cast<std::uint64_t>(size.height());
        const std::uint64_t needed = std::max(bytes.size() + QtDecodeBytes(reader, pixels) + pixels * 3,
                                              PipelineBytes(bytes.size(), size.width(), size.height(), 3));
        if (const DecodeStatus room = jpeg::Reserve(limits, needed, detail); room != DecodeStatus::Ok)
            return room;
    }

    QImage image;
    if (!reader.read(&image) || image.isNull())
        return reader.error() == QImageReader::UnsupportedFormatError ? DecodeStatus::NotAnImage
                                                                      : DecodeStatus::Damaged;
    if (TooLarge(image.size()))
        return DecodeStatus::TooLarge;

    DecodedImage result;
    const bool alpha = image.hasAlphaChannel();
    const bool grey = !alpha && IsGrey(image);
    const QImage converted = image.convertToFormat(grey    ? QImage::Format_Grayscale8
                                                   : alpha ? QImage::Format_RGBA8888_Premultiplied
                                                           : QImage::Format_RGB888);
    if (converted.isNull())  // Qt could not allocate it
        return DecodeStatus::OutOfMemory;
    result.pixels = Image(image.width(), image.height(), grey ? 1 : 3);
    if (alpha)
        CompositeOnWhite(converted, result.pixels);
    else
        CopyRows(converted, result.pixels);
    // The pixel values stay in the picture's colour space, so its profile goes along; sRGB needs
    // none. Qt reads no grey profiles, so a grey PNG's is taken from the file itself.
    const QColorSpace space = image.colorSpace();
    if (!grey && space.isValid() && space != QColorSpace(QColorSpace::SRgb)) {
        const QByteArray icc = space.iccProfile();
        result.icc.assign(icc.begin(), icc.end());
    } else if (grey && format == "png") {
        result.icc = PngGreyProfile(bytes);
    }
    out = std::move(result);
    return DecodeStatus::Ok;
}

}  // namespace

DecodeStatus DecodeWithImageReader(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits,
                                   DecodeDetail* detail)
{
    try {
        return ReadWithQt(bytes, out, limits, detail);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::OutOfMemory;
    }
}

}  // namespace tramblix
