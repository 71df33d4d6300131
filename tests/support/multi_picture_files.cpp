#include "tests/support/multi_picture_files.h"

#include <algorithm>
#include <cstring>

namespace tramblix::test {

namespace {

const std::string kXmpSig("http://ns.adobe.com/xap/1.0/\0", 29);

std::string Packet(const std::string& description)
{
    return kXmpSig +
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"5\"" +
           description + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

std::string Item(const std::string& semantic, const std::string& mime, std::size_t length)
{
    return "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"" + semantic + "\" Item:Mime=\"" + mime +
           "\"" + (length ? " Item:Length=\"" + std::to_string(length) + "\"" : "") + "/></rdf:li>";
}

std::string Directory(const std::string& items)
{
    return " xmlns:Container=\"http://ns.google.com/photos/1.0/container/\" "
           "xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\"><Container:Directory><rdf:Seq>" +
           Item("Primary", "image/jpeg", 0) + items + "</rdf:Seq></Container:Directory>";
}

std::uint32_t U32(const Bytes& b, std::size_t at, bool little)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(b[at + (little ? i : 3 - i)]) << (8 * i);
    return v;
}

std::size_t Find(const Bytes& bytes, const std::string& text)
{
    const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    return at == bytes.end() ? std::string::npos : static_cast<std::size_t>(at - bytes.begin());
}

}  // namespace

Bytes WithSegment(const Bytes& jpeg, int code, const std::string& payload)
{
    std::size_t at = 2;
    if (jpeg.size() > 6 && jpeg[3] == 0xE0)
        at = 4 + (jpeg[4] << 8 | jpeg[5]);
    Bytes out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(at));
    const std::size_t length = payload.size() + 2;
    out.insert(out.end(), {0xFF, static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(length >> 8),
                           static_cast<std::uint8_t>(length)});
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at), jpeg.end());
    return out;
}

void PutU32(Bytes& bytes, std::size_t at, std::uint32_t value, bool little)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + (little ? i : 3 - i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool Contains(const Bytes& bytes, const std::string& text)
{
    return Find(bytes, text) != std::string::npos;
}

PhonePhoto MakeGainMapPhoto(const Bytes& primary, const Bytes& gainMap, bool littleEndian)
{
    const Bytes map = WithSegment(gainMap, 0xE1,
                                  Packet(" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" hdrgm:Version=\"1.0\" "
                                         "hdrgm:GainMapMax=\"2.5\" hdrgm:HDRCapacityMax=\"2.5\">"));
    // MPF: TIFF header, an IFD of version, image count and the entries, then two 16-byte entries.
    Bytes tiff = littleEndian ? Bytes{'I', 'I', 42, 0} : Bytes{'M', 'M', 0, 42};
    auto u16 = [&](unsigned v) {
        const Bytes b =
            littleEndian ? Bytes{std::uint8_t(v), std::uint8_t(v >> 8)} : Bytes{std::uint8_t(v >> 8), std::uint8_t(v)};
        tiff.insert(tiff.end(), b.begin(), b.end());
    };
    auto u32 = [&](std::uint32_t v) {
        tiff.resize(tiff.size() + 4);
        PutU32(tiff, tiff.size() - 4, v, littleEndian);
    };
    u32(8);
    u16(3);
    u16(0xB000), u16(7), u32(4), tiff.insert(tiff.end(), {'0', '1', '0', '0'});
    u16(0xB001), u16(4), u32(1), u32(2);
    u16(0xB002), u16(7), u32(32), u32(50);
    u32(0);
    tiff.resize(tiff.size() + 32);
    PhonePhoto photo;
    photo.bytes = WithSegment(primary, 0xE2, std::string("MPF\0", 4) + std::string(tiff.begin(), tiff.end()));
    photo.bytes = WithSegment(photo.bytes, 0xE1,
                              Packet(" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" hdrgm:Version=\"1.0\"" +
                                     Directory(Item("GainMap", "image/jpeg", map.size()))));
    const std::size_t tiffAt = Find(photo.bytes, std::string("MPF\0", 4)) + 4;
    photo.entriesAt = tiffAt + 50;
    photo.little = littleEndian;
    photo.extraAt = photo.bytes.size();
    PutU32(photo.bytes, photo.entriesAt, 0x030000, littleEndian);
    PutU32(photo.bytes, photo.entriesAt + 4, static_cast<std::uint32_t>(photo.bytes.size()), littleEndian);
    PutU32(photo.bytes, photo.entriesAt + 20, static_cast<std::uint32_t>(map.size()), littleEndian);
    PutU32(photo.bytes, photo.entriesAt + 24, static_cast<std::uint32_t>(photo.bytes.size() - tiffAt), littleEndian);
    photo.bytes.insert(photo.bytes.end(), map.begin(), map.end());
    return photo;
}

PhonePhoto MakeMotionPhoto(const Bytes& primary, const Bytes& video, bool microVideo)
{
    const std::string camera = " xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" ";
    const std::string fields =
        microVideo
            ? camera + "GCamera:MicroVideo=\"1\" GCamera:MicroVideoOffset=\"" + std::to_string(video.size()) + "\">"
            : camera + "GCamera:MotionPhoto=\"1\"" + Directory(Item("MotionPhoto", "video/mp4", video.size()));
    PhonePhoto photo;
    photo.bytes = WithSegment(primary, 0xE1, Packet(fields));
    photo.extraAt = photo.bytes.size();
    photo.bytes.insert(photo.bytes.end(), video.begin(), video.end());
    return photo;
}

Bytes FakeVideo(std::size_t size)
{
    Bytes video{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'm', 'p', '4', '2'};
    std::uint32_t state = 12345;
    while (video.size() < size) {
        state = state * 1664525u + 1013904223u;
        video.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    return video;
}

std::string MainXmp(const Bytes& jpeg)
{
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA;) {
        const std::size_t length = jpeg[at + 2] << 8 | jpeg[at + 3];
        const std::string payload(jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                  jpeg.begin() + static_cast<std::ptrdiff_t>(std::min(at + 2 + length, jpeg.size())));
        if (jpeg[at + 1] == 0xE1 && payload.starts_with(kXmpSig))
            return payload.substr(kXmpSig.size());
        at += 2 + length;
    }
    return {};
}

std::size_t FirstJpegLength(const Bytes& bytes)
{
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return 0;
    bool inScan = false;
    for (std::size_t at = 2; at + 1 < bytes.size();) {
        const std::uint8_t code = bytes[at + 1];
        if (bytes[at] != 0xFF || code == 0xFF || code == 0 || (code >= 0xD0 && code <= 0xD7)) {
            if (!inScan)
                return 0;
            at += bytes[at] == 0xFF && code != 0xFF ? 2 : 1;
            continue;
        }
        if (code == 0xD9)
            return at + 2;
        if (at + 4 > bytes.size())
            return 0;
        at += 2 + (bytes[at + 2] << 8 | bytes[at + 3]);
        inScan = code == 0xDA;
    }
    return 0;
}

std::string CheckMpfIndex(const Bytes& file, std::vector<Bytes>* images)
{
    const std::size_t mpf = Find(file, std::string("MPF\0", 4));
    const std::size_t primary = FirstJpegLength(file);
    if (mpf == std::string::npos || mpf > primary)
        return "no MPF index in the primary";
    const std::size_t tiff = mpf + 4;
    const bool little = file[tiff] == 'I';
    const std::size_t ifd = tiff + U32(file, tiff + 4, little);
    const unsigned count = little ? file[ifd] | file[ifd + 1] << 8 : file[ifd] << 8 | file[ifd + 1];
    std::size_t entries = 0, total = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t tag = ifd + 2 + i * 12;
        if ((little ? file[tag] | file[tag + 1] << 8 : file[tag] << 8 | file[tag + 1]) == 0xB002) {
            total = U32(file, tag + 4, little) / 16;
            entries = tiff + U32(file, tag + 8, little);
        }
    }
    if (entries == 0 || total < 2)
        return "no MP entries";
    if (U32(file, entries + 8, little) != 0 || U32(file, entries + 4, little) != primary)
        return "the first entry is not the primary";
    std::size_t previousEnd = primary;
    for (std::size_t i = 1; i < total; ++i) {
        const std::size_t size = U32(file, entries + i * 16 + 4, little);
        const std::size_t start = tiff + U32(file, entries + i * 16 + 8, little);
        if (start < previousEnd || start + size > file.size())
            return "entry " + std::to_string(i) + " overlaps or lies outside the file";
        const Bytes image(file.begin() + static_cast<std::ptrdiff_t>(start),
                          file.begin() + static_cast<std::ptrdiff_t>(start + size));
        if (FirstJpegLength(image) != size)
            return "entry " + std::to_string(i) + " is not one whole JPEG";
        if (images != nullptr)
            images->push_back(image);
        previousEnd = start + size;
    }
    return "";
}

}  // namespace tramblix::test
