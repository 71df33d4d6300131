#include "tests/support/location_files.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace tramblix::test {

namespace {

std::string Be(std::uint64_t value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

std::string Box(const std::string& type, const std::string& payload)
{
    return Be(payload.size() + 8, 4) + type + payload;
}

// A TIFF block laid out as written: Data appends values, Ifd a directory of {tag, type, count, value}.
struct Tiff {
    bool little;
    std::string b = little ? std::string("II*\0\0\0\0\0", 8) : std::string("MM\0*\0\0\0\0", 8);

    void Put(std::size_t at, std::uint32_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            b[at + static_cast<std::size_t>(little ? i : bytes - 1 - i)] = static_cast<char>(value >> (8 * i));
    }
    std::uint32_t Data(const std::string& data)
    {
        b += data;
        return static_cast<std::uint32_t>(b.size() - data.size());
    }
    std::uint32_t Ifd(const std::vector<std::array<std::uint32_t, 4>>& entries, bool link = true, int count = -1)
    {
        const std::size_t at = b.size();
        b.append(2 + 12 * entries.size() + (link ? 4 : 0), '\0');
        Put(at, count < 0 ? static_cast<std::uint32_t>(entries.size()) : static_cast<std::uint32_t>(count), 2);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& [tag, type, n, value] = entries[i];
            Put(at + 2 + 12 * i, tag, 2), Put(at + 4 + 12 * i, type, 2), Put(at + 6 + 12 * i, n, 4);
            Put(at + 10 + 12 * i, value, type == 3 ? 2 : 4);
        }
        return static_cast<std::uint32_t>(at);
    }
};

}  // namespace

std::string XmpPayload(const std::string& attributes, const std::string& content)
{
    return std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
           "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
           "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
           "xmlns:exif='http://ns.adobe.com/exif/1.0/' xmlns:dc='http://purl.org/dc/elements/1.1/' "
           "xmlns:xmp='http://ns.adobe.com/xap/1.0/' xmp:Rating='4' " +
           attributes + "><dc:title><rdf:Alt><rdf:li xml:lang='x-default'>Trip</rdf:li></rdf:Alt></dc:title>" +
           content + "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
}

std::string WithSegments(const std::string& jpeg, const Segments& segments)
{
    std::string out;
    for (const auto& [code, payload] : segments)
        out += (code < 0 ? "" : "\xFF" + std::string(1, char(code)) + Be(payload.size() + 2, 2)) + payload;
    return std::string(jpeg).insert(jpeg[3] == '\xE0' ? 4 + (jpeg[4] << 8 | jpeg[5]) : 2, out);
}

std::vector<std::string> ExtendedXmp(const std::string& packet, const std::string& guid, std::size_t chunk)
{
    std::vector<std::string> payloads;
    for (std::size_t at = 0; at < packet.size(); at += chunk)
        payloads.push_back(std::string("http://ns.adobe.com/xmp/extension/\0", 35) + guid + Be(packet.size(), 4) +
                           Be(at, 4) + packet.substr(at, chunk));
    return payloads;
}

std::string ExifPayload(const std::string& how, bool littleEndian)
{
    Tiff t{littleEndian};
    const std::array<std::uint32_t, 4> make{0x010F, 2, 6, t.Data(std::string("kept\0", 6))},
        orientation{0x0112, 3, 1, 6};
    const auto gps = [&] { return t.Ifd({{2, 5, 3, t.Data(std::string(24, '\xAB'))}}); };
    std::uint32_t ifd0 = 0;
    if (how == "ExifIfd" || how == "Interop") {
        const std::uint32_t g = gps();
        const std::uint32_t sub = how == "ExifIfd"
                                      ? t.Ifd({{0x8825, 4, 1, g}})
                                      : t.Ifd({{0x9000, 7, 4, 0x30323331}, {0xA005, 4, 1, t.Ifd({{0x8825, 4, 1, g}})}});
        ifd0 = t.Ifd({make, orientation, {0x8769, 4, 1, sub}});
    } else if (how == "Ifd1") {
        const std::uint32_t ifd1 = t.Ifd({{0x8825, 4, 1, gps()}});
        ifd0 = t.Ifd({make, orientation});
        t.Put(ifd0 + 26, ifd1, 4);
    } else if (how == "TwoPointers") {
        ifd0 = t.Ifd({make, orientation, {0x8825, 4, 1, gps()}, {0x8825, 4, 1, gps()}});
    } else if (how == "Loop") {
        const std::uint32_t g = gps(), at = static_cast<std::uint32_t>(t.b.size());
        ifd0 = t.Ifd({make, orientation, {0x8769, 4, 1, at}, {0x8825, 4, 1, at}, {0x8825, 4, 1, g}});
    } else if (how == "NoNextLink" || how == "Truncated") {
        ifd0 = t.Ifd({make, orientation, {0x8825, 4, 1, gps()}}, false, how == "Truncated" ? 9 : -1);
    } else if (how == "XmpInside") {
        const std::string xmp = XmpPayload("exif:GPSLatitude='48,51N'").substr(29);
        ifd0 = t.Ifd({make, orientation, {0x02BC, 1, static_cast<std::uint32_t>(xmp.size()), t.Data(xmp)}});
    } else if (how == "IptcInside") {
        const std::string iim = Iim();
        ifd0 = t.Ifd({make, orientation, {0x83BB, 7, static_cast<std::uint32_t>(iim.size()), t.Data(iim)}});
    }
    t.Put(4, ifd0, 4);
    return std::string("Exif\0\0", 6) + t.b;
}

std::string Iim(bool extended)
{
    const std::pair<char, const char*> datasets[] = {{5, "kept"},           {90, "Paris"}, {92, "Champ de Mars"},
                                                     {95, "Ile-de-France"}, {100, "FRA"},  {101, "France"},
                                                     {27, "Europe"},        {25, "kept"}};
    std::string iim("\x1C\x02\0\0\x02\0\x04", 7);  // the record's version
    for (const auto& [dataset, value] : datasets)
        iim += (extended && dataset == 90 ? std::string{'\x1C', 2, 90, '\x80', 4} + Be(std::strlen(value), 4)
                                          : std::string{'\x1C', 2, dataset} + Be(std::strlen(value), 2)) +
               value;
    return iim;
}

std::string PhotoshopPayload(const std::string& iim)
{
    const auto resource = [](int id, const std::string& data) {
        return "8BIM" + Be(id, 2) + std::string(2, '\0') + Be(data.size(), 4) + data +
               std::string(data.size() % 2, '\0');
    };
    return std::string("Photoshop 3.0\0", 14) + resource(0x0404, iim) + resource(0x0425, std::string(16, '\x11'));
}

std::string Mp4(const std::string& how)
{
    const std::string xyz = Box("\xA9xyz", Be(18, 2) + Be(0x15C7, 2) + "+48.8584+002.2945/");
    const std::string make = Box("\xA9mak", Be(4, 2) + Be(0x15C7, 2) + "kept");
    const std::string mdat = Box("mdat", std::string(64, '\x5A'));
    std::string moov = Box("mvhd", std::string(100, '\0'));
    if (how == "Udta" || how == "LargeMdat")
        moov += Box("udta", make + xyz);
    else if (how == "Track")
        moov += Box("trak", Box("tkhd", std::string(84, '\0')) + Box("udta", xyz + make));
    else if (how == "Loci")
        moov += Box("udta", Box("loci", std::string(6, '\0') + "Paris" + std::string(20, '\0')) + make);
    else if (how == "Keys") {
        const auto key = [](const std::string& name) { return Be(name.size() + 8, 4) + "mdta" + name; };
        const auto item = [](int index, const std::string& value) {
            return Box(Be(index, 4), Box("data", Be(1, 4) + Be(0, 4) + value));
        };
        moov += Box("meta", Box("hdlr", std::string(8, '\0') + "mdta" + std::string(13, '\0')) +
                                Box("keys", Be(0, 4) + Be(2, 4) + key("com.apple.quicktime.make") +
                                                key("com.apple.quicktime.location.ISO6709")) +
                                Box("ilst", item(1, "kept") + item(2, "+48.8584+002.2945+035.000/")));
    } else if (how == "ItunesMeta") {
        const std::string hdlr = Box("hdlr", std::string(8, '\0') + "mdir" + std::string(13, '\0'));
        const std::string item = Box("\xA9xyz", Box("data", Be(1, 4) + Be(0, 4) + "+48.8584+002.2945/"));
        moov += Box("udta", Box("meta", Be(0, 4) + hdlr + Box("ilst", item + make)));
    }
    std::string top = Box("ftyp", "mp42" + Be(0, 4) + "isommp42");
    if (how == "Xmp")
        top += Box("uuid", "\xBE\x7A\xCF\xCB\x97\xA9\x42\xE8\x9C\x71\x99\x94\x91\xE3\xAF\xAC" +
                               XmpPayload("exif:GPSLatitude='48,51N' xmp:Label='kept'").substr(29));
    if (how == "LargeMdat")
        return top + Be(1, 4) + "mdat" + Be(16 + 64, 8) + std::string(64, '\x5A') + Box("moov", moov);
    if (how == "InTrailer")  // records around it, as Samsung's SEF trailer has
        return std::string("\0\0\x30\x0a\x10\0\0\0MotionPhoto_Data", 24) + Mp4("Udta") + "SEFH" +
               std::string(9, '\x7F');
    if (how == "Broken")
        return top + Box("moov", moov + Box("udta", xyz)).replace(0, 4, Be(1 << 20, 4)) + mdat;
    return top + Box("moov", moov) + mdat;
}

}  // namespace tramblix::test
