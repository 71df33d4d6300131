#include "engine/metadata_filter.h"

#include <cstring>
#include <string>
#include <string_view>

#include "engine/exif.h"

namespace tramblix {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kExif = "Exif\0\0"sv;
constexpr std::string_view kXmp = "http://ns.adobe.com/xap/1.0/\0"sv;
constexpr std::string_view kXmpExtension = "http://ns.adobe.com/xmp/extension/\0"sv;
constexpr std::string_view kPhotoshop = "Photoshop 3.0\0"sv;
constexpr std::string_view kIcc = "ICC_PROFILE\0"sv;
constexpr std::uint16_t kGpsTag = 0x8825;

bool StartsWith(std::span<const std::uint8_t> payload, std::string_view prefix)
{
    return payload.size() >= prefix.size() && std::memcmp(payload.data(), prefix.data(), prefix.size()) == 0;
}

// The kind of descriptive metadata a segment holds; 0 for every other segment.
unsigned KindOf(std::uint8_t marker, std::span<const std::uint8_t> payload)
{
    if (marker == 0xFE)
        return kMetadataComment;
    if (marker == 0xE1 && StartsWith(payload, kExif))
        return kMetadataExif;
    if (marker == 0xE1 && (StartsWith(payload, kXmp) || StartsWith(payload, kXmpExtension)))
        return kMetadataXmp;
    if (marker == 0xED && StartsWith(payload, kPhotoshop))
        return kMetadataIptc;
    if (marker == 0xE2 && StartsWith(payload, kIcc))
        return kMetadataIcc;
    return 0;
}

void AppendSegment(std::vector<std::uint8_t>& out, std::uint8_t marker, std::span<const std::uint8_t> payload)
{
    const std::size_t length = payload.size() + 2;
    out.insert(out.end(), {0xFF, marker, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    out.insert(out.end(), payload.begin(), payload.end());
}

// Reads and writes a TIFF structure in place, every access checked against its size.
class Tiff {
public:
    Tiff(std::uint8_t* data, std::size_t size, bool little) : data_(data), size_(size), little_(little) {}

    bool Fits(std::size_t at, std::size_t length) const { return at <= size_ && length <= size_ - at; }
    std::uint32_t U16(std::size_t at) const
    {
        return little_ ? data_[at] | (data_[at + 1] << 8) : (data_[at] << 8) | data_[at + 1];
    }
    std::uint32_t U32(std::size_t at) const
    {
        return little_ ? U16(at) | (U16(at + 2) << 16) : (U16(at) << 16) | U16(at + 2);
    }
    void Put16(std::size_t at, std::uint32_t value)
    {
        data_[at + (little_ ? 0 : 1)] = static_cast<std::uint8_t>(value);
        data_[at + (little_ ? 1 : 0)] = static_cast<std::uint8_t>(value >> 8);
    }
    void Zero(std::size_t at, std::size_t length)
    {
        if (Fits(at, length))
            std::memset(data_ + at, 0, length);
    }
    void Move(std::size_t to, std::size_t from, std::size_t length) { std::memmove(data_ + to, data_ + from, length); }

private:
    std::uint8_t* data_;
    std::size_t size_;
    bool little_;
};

std::size_t TypeSize(std::uint32_t type)
{
    switch (type) {
    case 3:
    case 8: return 2;
    case 4:
    case 9:
    case 11:
    case 13: return 4;
    case 5:
    case 10:
    case 12: return 8;
    default: return 1;
    }
}

// Every entry of the directory at `ifd` and the values it points to, zeroed.
void WipeDirectory(Tiff& tiff, std::size_t ifd)
{
    if (!tiff.Fits(ifd, 2))
        return;
    const std::size_t count = tiff.U16(ifd);
    for (std::size_t i = 0; i < count && tiff.Fits(ifd + 2 + i * 12, 12); ++i) {
        const std::size_t entry = ifd + 2 + i * 12;
        const std::uint64_t size = static_cast<std::uint64_t>(TypeSize(tiff.U16(entry + 2))) * tiff.U32(entry + 4);
        if (size > 4 && size <= 0xFFFFFFFFu)
            tiff.Zero(tiff.U32(entry + 8), static_cast<std::size_t>(size));
    }
    tiff.Zero(ifd, 2 + 12 * count + 4);
}

// Removes every property whose name starts with `name`: attributes (` name="..."`) and elements
// (`<name ...>...</name>` or `<name .../>`).
void RemoveProperty(std::string& xml, std::string_view name)
{
    std::size_t at = 0;
    while ((at = xml.find(name, at)) != std::string::npos) {
        const std::size_t nameEnd = xml.find_first_of(" \t\r\n/>=", at);
        if (at == 0 || nameEnd == std::string::npos) {
            ++at;
            continue;
        }
        const std::string full = xml.substr(at, nameEnd - at);
        const char before = xml[at - 1];
        std::size_t end = std::string::npos;
        if (before == '<') {
            const std::size_t close = xml.find('>', nameEnd);
            if (close != std::string::npos && xml[close - 1] == '/')
                end = close + 1;
            else if (const std::size_t closing = xml.find("</" + full + ">", nameEnd); closing != std::string::npos)
                end = closing + full.size() + 3;
        } else if ((before == ' ' || before == '\t' || before == '\r' || before == '\n') && xml[nameEnd] == '=' &&
                   nameEnd + 1 < xml.size() && (xml[nameEnd + 1] == '"' || xml[nameEnd + 1] == '\'')) {
            if (const std::size_t quote = xml.find(xml[nameEnd + 1], nameEnd + 2); quote != std::string::npos)
                end = quote + 1;
        }
        if (end == std::string::npos) {
            ++at;
            continue;
        }
        xml.erase(at - 1, end - (at - 1));
        at -= 1;
    }
}

// An XMP packet that tells where a gain map or a video inside the file lies is part of the
// picture, not a description of it: it stays whatever --keep says.
bool LocatesAttachedMedia(std::span<const std::uint8_t> payload)
{
    const std::string_view xml(reinterpret_cast<const char*>(payload.data()), payload.size());
    for (const std::string_view mark :
         {"http://ns.google.com/photos/1.0/container/"sv, "hdrgm:"sv, "GCamera:MicroVideo"sv, "GCamera:MotionPhoto"sv})
        if (xml.find(mark) != std::string_view::npos)
            return true;
    return false;
}

}  // namespace

bool FiltersMetadata(const EngineOptions& options)
{
    return (options.keepMetadata & kAllMetadata) != kAllMetadata || options.stripGps;
}

void WipeExifGps(std::vector<std::uint8_t>& payload)
{
    if (!StartsWith(payload, kExif) || payload.size() < kExif.size() + 8)
        return;
    std::uint8_t* data = payload.data() + kExif.size();
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M'))
        return;
    Tiff tiff(data, payload.size() - kExif.size(), little);
    if (tiff.U16(2) != 42)
        return;
    const std::size_t ifd = tiff.U32(4);
    if (!tiff.Fits(ifd, 2))
        return;
    const std::size_t count = tiff.U16(ifd);
    if (!tiff.Fits(ifd + 2, count * 12 + 4))
        return;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + i * 12;
        if (tiff.U16(entry) != kGpsTag)
            continue;
        WipeDirectory(tiff, tiff.U32(entry + 8));
        // The entries after it and the link to the next directory move up; offsets count from
        // the TIFF header, so nothing else moves.
        const std::size_t after = ifd + 2 + count * 12 + 4;
        tiff.Move(entry, entry + 12, after - entry - 12);
        tiff.Zero(after - 12, 12);
        tiff.Put16(ifd, static_cast<std::uint32_t>(count - 1));
        return;
    }
}

void RemoveXmpLocation(std::vector<std::uint8_t>& payload)
{
    if (!StartsWith(payload, kXmp))
        return;
    std::string xml(payload.begin() + static_cast<std::ptrdiff_t>(kXmp.size()), payload.end());
    for (const std::string_view name :
         {"exif:GPS"sv, "Iptc4xmpExt:LocationCreated"sv, "Iptc4xmpExt:LocationShown"sv, "Iptc4xmpCore:Location"sv,
          "Iptc4xmpCore:CountryCode"sv, "photoshop:City"sv, "photoshop:State"sv, "photoshop:Country"sv})
        RemoveProperty(xml, name);
    payload.resize(kXmp.size());
    payload.insert(payload.end(), xml.begin(), xml.end());
}

bool FilterJpegMetadata(std::vector<std::uint8_t>& jpeg, const EngineOptions& options)
{
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    std::vector<std::uint8_t> out = {0xFF, 0xD8};
    out.reserve(jpeg.size());
    std::size_t insertAt = 2;  // where a minimal EXIF segment goes: after JFIF when it leads
    int droppedOrientation = 1;
    bool exifKept = false;
    std::size_t at = 2;
    for (;;) {
        if (at + 2 > jpeg.size() || jpeg[at] != 0xFF)
            return false;
        const std::uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) {
            ++at;  // a fill byte
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) {
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at), jpeg.end());
            break;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            out.insert(out.end(), {0xFF, marker});
            at += 2;
            continue;
        }
        if (at + 4 > jpeg.size())
            return false;
        const std::size_t length = static_cast<std::size_t>(jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (length < 2 || at + 2 + length > jpeg.size())
            return false;
        std::vector<std::uint8_t> payload(jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                          jpeg.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        const unsigned kind = KindOf(marker, payload);
        if (kind != 0 && (options.keepMetadata & kind) == 0 &&
            !(kind == kMetadataXmp && LocatesAttachedMedia(payload))) {
            if (kind == kMetadataExif && droppedOrientation == 1)
                droppedOrientation = ExifOrientationFromApp1(payload);
        } else {
            if (kind == kMetadataExif && options.stripGps)
                WipeExifGps(payload);
            if (kind == kMetadataXmp && options.stripGps)
                RemoveXmpLocation(payload);
            exifKept = exifKept || kind == kMetadataExif;
            AppendSegment(out, marker, payload);
            if (marker == 0xE0 && insertAt == 2 && out.size() == 2 + 2 + length)
                insertAt = out.size();
        }
        at += 2 + length;
    }
    if (!exifKept && droppedOrientation != 1) {
        std::vector<std::uint8_t> segment;
        AppendSegment(segment, 0xE1, OrientationOnlyExif(droppedOrientation));
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), segment.begin(), segment.end());
    }
    jpeg = std::move(out);
    return true;
}

}  // namespace tramblix
