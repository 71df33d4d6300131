#include "engine/exif.h"

#include <algorithm>
#include <cstring>

#include "engine/preview.h"

namespace tramblix {

namespace {

constexpr std::uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr std::uint16_t kOrientationTag = 0x0112;

class TiffReader {
public:
    TiffReader(std::span<const std::uint8_t> tiff, bool littleEndian) : tiff_(tiff), little_(littleEndian) {}

    bool fits(std::size_t at, std::size_t length) const { return at <= tiff_.size() && length <= tiff_.size() - at; }

    std::uint32_t u16(std::size_t at) const
    {
        return little_ ? tiff_[at] | (tiff_[at + 1] << 8) : (tiff_[at] << 8) | tiff_[at + 1];
    }

    std::uint32_t u32(std::size_t at) const
    {
        return little_ ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    }

private:
    std::span<const std::uint8_t> tiff_;
    bool little_;
};

}  // namespace

int ExifOrientationFromApp1(std::span<const std::uint8_t> payload)
{
    if (payload.size() < sizeof kExifSignature + 8 ||
        std::memcmp(payload.data(), kExifSignature, sizeof kExifSignature) != 0)
        return 1;
    const std::span<const std::uint8_t> tiff = payload.subspan(sizeof kExifSignature);
    bool little = false;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (!(tiff[0] == 'M' && tiff[1] == 'M'))
        return 1;
    const TiffReader reader(tiff, little);
    if (reader.u16(2) != 42)
        return 1;
    const std::size_t ifd = reader.u32(4);  // the first IFD describes the main picture
    if (!reader.fits(ifd, 2))
        return 1;
    const std::size_t count = reader.u16(ifd);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + i * 12;
        if (!reader.fits(entry, 12))
            return 1;
        if (reader.u16(entry) != kOrientationTag)
            continue;
        const std::uint32_t type = reader.u16(entry + 2);
        if (reader.u32(entry + 4) < 1)
            return 1;
        std::uint32_t value = 0;
        if (type == 3)  // SHORT, as the standard says
            value = reader.u16(entry + 8);
        else if (type == 4)  // LONG, written by a few tools
            value = reader.u32(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

std::vector<std::uint8_t> OrientationOnlyExif(int orientation)
{
    // Big-endian TIFF: header, one IFD with one SHORT entry, no next IFD.
    const auto value = static_cast<std::uint8_t>(orientation);
    return {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
            0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, value, 0, 0, 0, 0, 0, 0};
}

void StripMetadata(std::vector<Marker>& markers)
{
    constexpr int kApp1 = 0xE1, kApp13 = 0xED, kComment = 0xFE;
    int orientation = 1;
    for (const Marker& marker : markers) {
        if (marker.code == kApp1 && marker.bytes.size() >= sizeof kExifSignature &&
            std::memcmp(marker.bytes.data(), kExifSignature, sizeof kExifSignature) == 0) {
            orientation = ExifOrientationFromApp1(marker.bytes);
            break;
        }
    }
    std::erase_if(markers, [](const Marker& marker) {
        return marker.code == kApp1 || marker.code == kApp13 || marker.code == kComment;
    });
    if (orientation != 1)
        markers.insert(markers.begin(), Marker{kApp1, OrientationOnlyExif(orientation)});
}

int JpegExifOrientation(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return 1;
    std::size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (bytes[pos] != 0xFF)
            return 1;  // not at a marker: the header is broken
        const std::uint8_t code = bytes[pos + 1];
        if (code == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        pos += 2;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD8))  // markers without a length
            continue;
        if (code == 0xDA || code == 0xD9)  // scan data: EXIF comes before it
            return 1;
        const std::size_t length = (bytes[pos] << 8) | bytes[pos + 1];
        if (length < 2 || length > bytes.size() - pos)
            return 1;
        const std::span<const std::uint8_t> payload = bytes.subspan(pos + 2, length - 2);
        if (code == 0xE1 && payload.size() >= sizeof kExifSignature &&
            std::memcmp(payload.data(), kExifSignature, sizeof kExifSignature) == 0)
            return ExifOrientationFromApp1(payload);
        pos += length;
    }
    return 1;
}

}  // namespace tramblix
