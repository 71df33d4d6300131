#include "engine/exif.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/icc.h"
#include "engine/internal/jpeg_segments.h"
#include "engine/preview.h"

namespace tramblix {

using jpeg::NextSegment;
using jpeg::Segment;
using jpeg::TiffReader;

namespace {

constexpr std::uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr std::uint16_t kOrientationTag = 0x0112;

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
    return {'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0, 42,    0, 0, 0, 8, 0, 1,
            0x01, 0x12, 0,   3,   0, 0, 0,   1,   0, value, 0, 0, 0, 0, 0, 0};
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

namespace {

bool StartsWith(std::span<const std::uint8_t> payload, std::string_view prefix)
{
    return payload.size() >= prefix.size() && std::memcmp(payload.data(), prefix.data(), prefix.size()) == 0;
}

// Segments a stripped file keeps: those that say how to decode it (tables, frame, scans, restart
// interval), JFIF, the Adobe transform and the ICC profile. Every other APPn segment and every
// comment is metadata or describes data after EOI, which is dropped.
bool KeepSegment(std::uint8_t code, std::span<const std::uint8_t> payload)
{
    using namespace std::string_view_literals;
    if (code == 0xFE)
        return false;
    if (code < 0xE0 || code > 0xEF)
        return true;
    return (code == 0xE0 && StartsWith(payload, "JFIF\0"sv)) ||
           (code == 0xE2 && StartsWith(payload, "ICC_PROFILE\0"sv)) || (code == 0xEE && StartsWith(payload, "Adobe"sv));
}

// Where the next marker starts at or after `pos`: entropy-coded data, stuffed zeros, restart
// markers and fill bytes are passed over.
std::size_t NextMarker(std::span<const std::uint8_t> bytes, std::size_t pos)
{
    while (pos + 1 < bytes.size()) {
        const std::uint8_t next = bytes[pos + 1];
        if (bytes[pos] != 0xFF || next == 0xFF) {
            ++pos;
            continue;
        }
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
            pos += 2;
            continue;
        }
        return pos;
    }
    return bytes.size();
}

}  // namespace

namespace {

bool HasNoLength(std::uint8_t code)
{
    return code == 0x01 || (code >= 0xD0 && code <= 0xD9);
}

// Where the header's ICC chunks that make the profile start (FindIccProfile): stray chunks and
// those of a cut profile are left out with the rest of what no reader would use.
std::vector<std::size_t> ProfileChunksAt(std::span<const std::uint8_t> jpeg)
{
    std::vector<std::span<const std::uint8_t>> payloads;
    std::vector<std::size_t> at;
    Segment segment;
    for (std::size_t pos = 2; NextSegment(jpeg, pos, segment) && segment.code != 0xDA && segment.code != 0xD9;
         pos = segment.end) {
        if (segment.code == 0xE2 && IsIccChunk(segment.payload)) {
            payloads.push_back(segment.payload);
            at.push_back(segment.marker);
        }
    }
    std::vector<std::size_t> kept;
    for (const std::size_t chunk : FindIccProfile(payloads).chunks)
        kept.push_back(at[chunk]);
    return kept;
}

// Fields a decoder warns about and decodes as if they were right, set right in the copy at
// `segment` (its bytes from the marker on): a JFIF version other than 1.x, and spectral
// selection or successive approximation in the scan of a sequential frame.
void MendSegment(std::uint8_t* segment, std::uint8_t code, std::size_t payloadSize, bool sequential)
{
    std::uint8_t* payload = segment + 4;
    if (code == 0xE0 && payloadSize >= 7 && payload[5] != 1) {
        payload[5] = 1;
        payload[6] = 2;
    }
    if (code == 0xDA && sequential && payloadSize >= 4) {
        payload[payloadSize - 3] = 0;
        payload[payloadSize - 2] = 63;
        payload[payloadSize - 1] = 0;
    }
}

}  // namespace

bool StripJpegFile(std::span<const std::uint8_t> jpeg, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    const std::vector<std::size_t> profileAt = ProfileChunksAt(jpeg);
    out.assign(jpeg.begin(), jpeg.begin() + 2);
    using namespace std::string_view_literals;
    int orientation = 0;  // 0: no EXIF segment seen yet
    bool orientationWritten = false, inHeader = true, sequential = false;
    Segment segment;
    for (std::size_t pos = 2;; pos = segment.end) {
        if (!NextSegment(jpeg, pos, segment))
            return false;  // no EOI, or a length past the end
        // Bytes before a marker are a scan's coded data; in the header they are stray bytes,
        // which a clean file does not have.
        if (!inHeader)
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(pos),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(segment.marker));
        const std::uint8_t code = segment.code;
        if (HasNoLength(code)) {
            out.insert(out.end(), {0xFF, code});
            if (code == 0xD9)
                break;
            continue;
        }
        const std::span<const std::uint8_t> payload = segment.payload;
        if (code == 0xE1 && inHeader && orientation == 0 && StartsWith(payload, "Exif\0\0"sv))
            orientation = ExifOrientationFromApp1(payload);
        // The orientation goes where the EXIF segment stood: after JFIF, before the frame.
        if (!orientationWritten && orientation > 1 && !(code >= 0xE0 && code <= 0xEF)) {
            const std::vector<std::uint8_t> exif = OrientationOnlyExif(orientation);
            const std::size_t size = exif.size() + 2;
            out.insert(out.end(),
                       {0xFF, 0xE1, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size & 0xFF)});
            out.insert(out.end(), exif.begin(), exif.end());
            orientationWritten = true;
        }
        if (code == 0xC0 || code == 0xC1 || code == 0xC9)
            sequential = true;
        inHeader = inHeader && code != 0xDA;
        if (!KeepSegment(code, payload) ||
            (code == 0xE2 && std::find(profileAt.begin(), profileAt.end(), segment.marker) == profileAt.end()))
            continue;
        const std::size_t at = out.size();
        out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.marker),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(segment.end));
        MendSegment(out.data() + at, code, payload.size(), sequential);
    }
    return out.size() <= jpeg.size();
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

namespace tramblix::jpeg {

bool NextSegment(std::span<const std::uint8_t> jpeg, std::size_t pos, Segment& segment)
{
    segment.marker = NextMarker(jpeg, pos);
    if (segment.marker + 2 > jpeg.size())
        return false;
    segment.code = jpeg[segment.marker + 1];
    segment.payload = {};
    segment.end = segment.marker + 2;
    if (HasNoLength(segment.code))
        return true;
    if (segment.marker + 4 > jpeg.size())
        return false;
    const std::size_t length = (jpeg[segment.marker + 2] << 8) | jpeg[segment.marker + 3];
    if (length < 2 || length > jpeg.size() - segment.marker - 2)
        return false;
    segment.payload = jpeg.subspan(segment.marker + 4, length - 2);
    segment.end += length;
    return true;
}

}  // namespace tramblix::jpeg
