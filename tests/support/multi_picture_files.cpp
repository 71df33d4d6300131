#include "tests/support/multi_picture_files.h"

#include <algorithm>
#include <utility>

namespace tramblix::test {

namespace {

const std::string kXmpSig("http://ns.adobe.com/xap/1.0/\0", 29);
const std::string kIsoSig("urn:iso:std:iso:ts:21496:-1\0", 28);

std::string Packet(const std::string& attributes, const std::string& content = "")
{
    return kXmpSig +
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-"
           "syntax-ns#\"><rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
           "xmp:Rating=\"5\" " +
           attributes + ">" + content + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

std::string Directory(const std::string& semantic, const std::string& mime, std::size_t length)
{
    return "<Container:Directory xmlns:Container=\"http://ns.google.com/photos/1.0/container/\" "
           "xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\"><rdf:Seq><rdf:li rdf:parseType=\"Resource\">"
           "<Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/></rdf:li><rdf:li "
           "rdf:parseType=\"Resource\"><Container:Item Item:Semantic=\"" +
           semantic + "\" Item:Mime=\"" + mime + "\" Item:Length=\"" + std::to_string(length) +
           "\"/></rdf:li></rdf:Seq></Container:Directory>";
}

// `jpeg` with segments added after SOI (after JFIF when there is one), in this order.
Bytes WithSegments(const Bytes& jpeg, const std::vector<std::pair<int, std::string>>& segments)
{
    const std::size_t at = jpeg[3] == 0xE0 ? 4 + (jpeg[4] << 8 | jpeg[5]) : 2;
    Bytes out(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(at));
    for (const auto& [code, payload] : segments) {
        const std::size_t length = payload.size() + 2;
        out.insert(out.end(), {0xFF, std::uint8_t(code), std::uint8_t(length >> 8), std::uint8_t(length)});
        out.insert(out.end(), payload.begin(), payload.end());
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at), jpeg.end());
    return out;
}

std::uint32_t Get(const Bytes& b, std::size_t at, int width, bool little)
{
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v |= std::uint32_t(b[at + static_cast<std::size_t>(little ? i : width - 1 - i)]) << (8 * i);
    return v;
}

void Put(Bytes& b, std::size_t at, std::uint32_t v, int width, bool little)
{
    for (int i = 0; i < width; ++i)
        b[at + static_cast<std::size_t>(little ? i : width - 1 - i)] = std::uint8_t(v >> (8 * i));
}

std::size_t Find(const Bytes& bytes, const std::string& text)
{
    const Bytes wanted(text.begin(), text.end());
    const auto at = std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end());
    return at == bytes.end() ? std::string::npos : static_cast<std::size_t>(at - bytes.begin());
}

}  // namespace

Bytes MakeGainMapPhoto(const Bytes& primary, const Bytes& gainMap, bool littleEndian, const std::string& moreXmp)
{
    const std::string hdrgm = "xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\" hdrgm:Version=\"1.0\" " + moreXmp;
    const Bytes map = WithSegments(gainMap, {{0xE1, Packet(hdrgm + " hdrgm:GainMapMax=\"2.5\"")},
                                             {0xE2, kIsoSig + std::string("\0\0\0\0\1\2\3", 7)}});
    // MPF: TIFF header, an IFD of version, image count and entries (at 50), two 16-byte entries.
    Bytes mpf(4 + 50 + 32);
    const std::pair<std::uint32_t, int> fields[] = {{8, 4},      {3, 2},      {0xB000, 2}, {7, 2}, {4, 4},
                                                    {0, 4},      {0xB001, 2}, {4, 2},      {1, 4}, {2, 4},
                                                    {0xB002, 2}, {7, 2},      {32, 4},     {50, 4}};
    std::size_t at = 8;
    for (const auto& [value, width] : fields)
        Put(mpf, at, value, width, littleEndian), at += static_cast<std::size_t>(width);
    std::copy_n("MPF\0", 4, mpf.begin());
    std::copy_n(littleEndian ? "II*\0" : "MM\0*", 4, mpf.begin() + 4);
    std::copy_n("0100", 4, mpf.begin() + 22);
    Bytes photo = WithSegments(primary, {{0xE1, Packet(hdrgm, Directory("GainMap", "image/jpeg", map.size()))},
                                         {0xE2, kIsoSig + std::string("\0\0", 2)},
                                         {0xE2, std::string(mpf.begin(), mpf.end())}});
    const std::size_t tiff = Find(photo, std::string("MPF\0", 4)) + 4, entries = tiff + 50;
    Put(photo, entries, 0x030000, 4, littleEndian);
    Put(photo, entries + 4, static_cast<std::uint32_t>(photo.size()), 4, littleEndian);
    Put(photo, entries + 20, static_cast<std::uint32_t>(map.size()), 4, littleEndian);
    Put(photo, entries + 24, static_cast<std::uint32_t>(photo.size() - tiff), 4, littleEndian);
    photo.insert(photo.end(), map.begin(), map.end());
    return photo;
}

Bytes MakeMotionPhoto(const Bytes& primary, const Bytes& video, bool microVideo, int error)
{
    const std::string camera = "xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" ";
    const std::size_t stated = video.size() + static_cast<std::size_t>(error);
    Bytes photo = WithSegments(
        primary,
        {{0xE1,
          microVideo
              ? Packet(camera + "GCamera:MicroVideo=\"1\" GCamera:MicroVideoOffset=\"" + std::to_string(stated) + "\"")
              : Packet(camera + "GCamera:MotionPhoto=\"1\"", Directory("MotionPhoto", "video/mp4", stated))}});
    photo.insert(photo.end(), video.begin(), video.end());
    return photo;
}

Bytes FakeVideo(std::size_t size)
{
    Bytes video{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'm', 'p', '4', '2',
                0, 0, 0, 0,    'i', 's', 'o', 'm', 'm', 'p', '4', '2'};
    const std::size_t media = std::max<std::size_t>(size, 32) - video.size();
    video.insert(video.end(), {std::uint8_t(media >> 24), std::uint8_t(media >> 16), std::uint8_t(media >> 8),
                               std::uint8_t(media), 'm', 'd', 'a', 't'});
    for (std::uint32_t state = 12345; video.size() < size; video.push_back(std::uint8_t(state >> 24)))
        state = state * 1664525u + 1013904223u;
    return video;
}

bool Contains(const Bytes& bytes, const std::string& text)
{
    return Find(bytes, text) != std::string::npos;
}

std::string CheckMpfIndex(const Bytes& file, std::vector<Bytes>* images)
{
    auto whole = [&](std::size_t start, std::size_t size) {  // SOI ... EOI
        return size >= 4 && start + size <= file.size() && Get(file, start, 2, false) == 0xFFD8 &&
               Get(file, start + size - 2, 2, false) == 0xFFD9;
    };
    const std::size_t mpf = Find(file, std::string("MPF\0", 4));
    if (mpf == std::string::npos)
        return "no MPF index";
    const std::size_t tiff = mpf + 4, ifd = tiff + Get(file, tiff + 4, 4, file[tiff] == 'I');
    const bool little = file[tiff] == 'I';
    std::size_t entries = 0, count = 0;
    for (std::size_t i = 0; i < Get(file, ifd, 2, little); ++i) {
        if (Get(file, ifd + 2 + i * 12, 2, little) == 0xB002) {
            count = Get(file, ifd + 6 + i * 12, 4, little) / 16;
            entries = tiff + Get(file, ifd + 10 + i * 12, 4, little);
        }
    }
    std::size_t previousEnd = Get(file, entries + 4, 4, little);
    if (count < 2 || Get(file, entries + 8, 4, little) != 0 || mpf > previousEnd || !whole(0, previousEnd))
        return "the first entry is not the primary";
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t size = Get(file, entries + i * 16 + 4, 4, little);
        const std::size_t start = tiff + Get(file, entries + i * 16 + 8, 4, little);
        if (start < previousEnd || !whole(start, size))
            return "entry " + std::to_string(i) + " overlaps, lies outside the file or is no whole JPEG";
        if (images != nullptr)
            images->emplace_back(file.begin() + static_cast<std::ptrdiff_t>(start),
                                 file.begin() + static_cast<std::ptrdiff_t>(start + size));
        previousEnd = start + size;
    }
    return "";
}

}  // namespace tramblix::test
