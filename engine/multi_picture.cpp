#include "engine/multi_picture.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "engine/internal/jpeg_segments.h"
#include "engine/metadata_filter.h"
#include "engine/xmp.h"

namespace tramblix {

namespace {

using namespace std::string_view_literals;
using jpeg::NextSegment;
using jpeg::Segment;
using jpeg::TiffReader;

constexpr std::string_view kXmpSignature = "http://ns.adobe.com/xap/1.0/\0"sv;
constexpr std::string_view kXmpExtension = "http://ns.adobe.com/xmp/extension/\0"sv;
constexpr std::string_view kMpfSignature = "MPF\0"sv;
constexpr std::string_view kIsoSignature = "urn:iso:std:iso:ts:21496:-1\0"sv;
constexpr std::string_view kContainerNs = "http://ns.google.com/photos/1.0/container/";
constexpr std::string_view kItemNs = "http://ns.google.com/photos/1.0/container/item/";
constexpr std::string_view kCameraNs = "http://ns.google.com/photos/1.0/camera/";
constexpr std::string_view kGainMapNs = "http://ns.adobe.com/hdr-gain-map/1.0/";
constexpr std::uint8_t kApp0 = 0xE0, kApp1 = 0xE1, kApp2 = 0xE2, kSos = 0xDA, kSoi = 0xD8, kEoi = 0xD9;
constexpr std::size_t kMaxPayload = 65533;
constexpr std::size_t kMpEntrySize = 16;
constexpr std::uint16_t kMpEntryTag = 0xB002, kNumberOfImagesTag = 0xB001;
// How far an item's bytes may lie from where its index puts it and still be found: editors that
// insert a segment before the items shift them by its size without mending the offsets. Within
// this distance the one place that carries the item's signature (a whole JPEG of the stated size,
// an MP4 "ftyp" box) is taken; two such places, or none, leave the item unlocatable.
constexpr std::size_t kLocateTolerance = 1024;

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view prefix)
{
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

bool IsJpegStart(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

std::string_view Text(std::span<const std::uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

enum class Role { MainXmp, XmpExtension, Mpf, Iso, Other };

Role RoleOf(const Segment& segment)
{
    if (segment.code == kApp1 && StartsWith(segment.payload, kXmpSignature))
        return Role::MainXmp;
    if (segment.code == kApp1 && StartsWith(segment.payload, kXmpExtension))
        return Role::XmpExtension;
    if (segment.code == kApp2 && StartsWith(segment.payload, kMpfSignature))
        return Role::Mpf;
    if (segment.code == kApp2 && StartsWith(segment.payload, kIsoSignature))
        return Role::Iso;
    return Role::Other;
}

// The segments before the first scan; false when they cannot be walked.
bool HeaderSegments(std::span<const std::uint8_t> jpeg, std::vector<Segment>& segments)
{
    if (!IsJpegStart(jpeg))
        return false;
    Segment segment;
    for (std::size_t pos = 2; NextSegment(jpeg, pos, segment); pos = segment.end) {
        if (segment.code == kSos)
            return true;
        if (segment.code == kEoi)
            return false;
        segments.push_back(segment);
    }
    return false;
}

// ---- XMP, read as text: the few properties that locate and describe the items ----

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The prefix the packet declares for `uri` ("Container"); empty when it declares none.
std::string PrefixFor(std::string_view xmp, std::string_view uri)
{
    for (std::size_t at = xmp.find("xmlns:"); at != std::string_view::npos; at = xmp.find("xmlns:", at + 1)) {
        const std::size_t name = at + 6;
        const std::size_t equals = xmp.find('=', name);
        if (equals == std::string_view::npos)
            break;
        std::size_t quote = equals + 1;
        while (quote < xmp.size() && IsSpace(xmp[quote]))
            ++quote;
        if (quote >= xmp.size() || (xmp[quote] != '"' && xmp[quote] != '\''))
            continue;
        const std::size_t close = xmp.find(xmp[quote], quote + 1);
        if (close == std::string_view::npos)
            break;
        std::string_view prefix = xmp.substr(name, equals - name);
        while (!prefix.empty() && IsSpace(prefix.back()))
            prefix.remove_suffix(1);
        if (xmp.substr(quote + 1, close - quote - 1) == uri)
            return std::string(prefix);
    }
    return {};
}

// The value of property `name` ("Item:Length") in `xmp`, written as an attribute (name="v") or
// as a simple element (<name>v</name>), as offsets into `xmp`.
std::optional<TextSpan> FindProperty(std::string_view xmp, std::string_view name)
{
    for (std::size_t at = xmp.find(name); at != std::string_view::npos; at = xmp.find(name, at + 1)) {
        if (at == 0)
            continue;
        const char before = xmp[at - 1];
        std::size_t after = at + name.size();
        if (before == '<' && after < xmp.size() && xmp[after] == '>') {
            const std::size_t close = xmp.find('<', after + 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            return TextSpan{after + 1, close - after - 1};
        }
        if (!IsSpace(before))
            continue;
        while (after < xmp.size() && IsSpace(xmp[after]))
            ++after;
        if (after >= xmp.size() || xmp[after] != '=')
            continue;
        ++after;
        while (after < xmp.size() && IsSpace(xmp[after]))
            ++after;
        if (after >= xmp.size() || (xmp[after] != '"' && xmp[after] != '\''))
            continue;
        const std::size_t close = xmp.find(xmp[after], after + 1);
        if (close == std::string_view::npos)
            return std::nullopt;
        return TextSpan{after + 1, close - after - 1};
    }
    return std::nullopt;
}

// A decimal count of bytes; empty for anything else, and for counts no file could hold.
std::optional<std::uint64_t> ParseCount(std::string_view text)
{
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    if (text.empty() || text.size() > 15)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

struct ContainerItem {
    std::string semantic;
    std::string mime;
    std::optional<std::uint64_t> length;
    std::uint64_t padding = 0;
    TextSpan lengthAt;  // in the packet, after its signature
};

struct XmpFacts {
    std::vector<ContainerItem> items;
    bool containerBroken = false;
    std::optional<std::uint64_t> microVideoOffset;
    TextSpan microVideoAt;
    bool microVideoBroken = false;
    bool gainMap = false;  // the packet carries hdrgm: values
};

std::string_view ValueAt(std::string_view text, const TextSpan& span)
{
    return text.substr(span.at, span.size);
}

// The Container:Directory's items, in order: each rdf:li of its sequence.
void ReadContainer(std::string_view xmp, XmpFacts& facts)
{
    const std::string container = PrefixFor(xmp, kContainerNs);
    if (container.empty())
        return;
    const std::size_t open = xmp.find("<" + container + ":Directory");
    if (open == std::string_view::npos)
        return;
    const std::size_t close = xmp.find("</" + container + ":Directory>", open);
    const std::string item = PrefixFor(xmp, kItemNs);
    if (close == std::string_view::npos || item.empty()) {
        facts.containerBroken = true;
        return;
    }
    std::vector<std::size_t> starts;
    for (std::size_t at = xmp.find("<rdf:li", open); at < close; at = xmp.find("<rdf:li", at + 1)) {
        if (at + 7 < xmp.size() && (IsSpace(xmp[at + 7]) || xmp[at + 7] == '>'))
            starts.push_back(at);
    }
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t from = starts[i];
        const std::string_view chunk = xmp.substr(from, (i + 1 < starts.size() ? starts[i + 1] : close) - from);
        ContainerItem entry;
        if (const auto semantic = FindProperty(chunk, item + ":Semantic"))
            entry.semantic = ValueAt(chunk, *semantic);
        if (const auto mime = FindProperty(chunk, item + ":Mime"))
            entry.mime = ValueAt(chunk, *mime);
        if (const auto length = FindProperty(chunk, item + ":Length")) {
            entry.length = ParseCount(ValueAt(chunk, *length));
            entry.lengthAt = TextSpan{from + length->at, length->size};
            facts.containerBroken = facts.containerBroken || !entry.length;
        }
        if (const auto padding = FindProperty(chunk, item + ":Padding")) {
            const auto value = ParseCount(ValueAt(chunk, *padding));
            facts.containerBroken = facts.containerBroken || !value;
            entry.padding = value.value_or(0);
        }
        facts.items.push_back(std::move(entry));
    }
}

XmpFacts ReadXmp(std::string_view xmp)
{
    XmpFacts facts;
    ReadContainer(xmp, facts);
    facts.gainMap = xmp.find(kGainMapNs) != std::string_view::npos;
    const std::string camera = PrefixFor(xmp, kCameraNs);
    if (!camera.empty()) {
        if (const auto offset = FindProperty(xmp, camera + ":MicroVideoOffset")) {
            facts.microVideoOffset = ParseCount(ValueAt(xmp, *offset));
            facts.microVideoAt = *offset;
            facts.microVideoBroken = !facts.microVideoOffset;
            if (facts.microVideoOffset == 0u)
                facts.microVideoOffset.reset();  // the video was taken out: nothing to locate
        }
    }
    return facts;
}

// True when the JPEG at the start of `bytes` describes itself as a gain map.
bool CarriesGainMapSegments(std::span<const std::uint8_t> bytes)
{
    std::vector<Segment> segments;
    if (!HeaderSegments(bytes, segments))
        return false;
    return std::any_of(segments.begin(), segments.end(), [](const Segment& segment) {
        const Role role = RoleOf(segment);
        return role == Role::Iso ||
               (role == Role::MainXmp && Text(segment.payload).find(kGainMapNs) != std::string::npos);
    });
}

// True when `bytes` start with an MP4 (ISO base media) file's "ftyp" box that fits in them.
bool IsMp4Start(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8 || !StartsWith(bytes.subspan(4), "ftyp"))
        return false;
    const std::size_t size =
        static_cast<std::size_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | static_cast<std::size_t>(bytes[3]);
    return size >= 8 && size <= std::min<std::size_t>(bytes.size(), 4096);
}

std::uint32_t LittleU32(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// A Samsung-style trailer at the end of the file: records (each a 4-byte kind, a name and the
// data, such as "MotionPhoto_Data" and its MP4) followed by a directory "SEFH" whose entries give
// each record's distance back from it and size, the directory's size and "SEFT". Its offsets
// count from its own end, so kept whole it stays right after any main picture.
struct SefTrailer {
    std::size_t start = 0;  // its first record
    bool video = false;
};

std::optional<SefTrailer> ReadSefTrailer(std::span<const std::uint8_t> file, std::size_t from)
{
    constexpr std::size_t kEntrySize = 12, kHeadSize = 12;
    if (file.size() < from + 8 + kHeadSize || !StartsWith(file.last(4), "SEFT"))
        return std::nullopt;
    const std::size_t directorySize = LittleU32(file, file.size() - 8);
    if (directorySize < kHeadSize + kEntrySize || directorySize > file.size() - 8 - from)
        return std::nullopt;
    const std::size_t directory = file.size() - 8 - directorySize;
    const std::size_t count = LittleU32(file, directory + 8);
    if (!StartsWith(file.subspan(directory), "SEFH") || count == 0 || count > (directorySize - kHeadSize) / kEntrySize)
        return std::nullopt;
    SefTrailer trailer{directory, false};
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = directory + kHeadSize + i * kEntrySize;
        const std::size_t back = LittleU32(file, entry + 4), size = LittleU32(file, entry + 8);
        if (back > directory - from || size < 8 || size > back)
            return std::nullopt;
        const std::size_t record = directory - back;
        // A record repeats its entry's kind and names itself within its size.
        const std::size_t nameSize = LittleU32(file, record + 4);
        if (std::memcmp(file.data() + record, file.data() + entry, 4) != 0 || nameSize > size - 8)
            return std::nullopt;
        trailer.start = std::min(trailer.start, record);
        trailer.video = trailer.video || Text(file.subspan(record + 8, nameSize)) == "MotionPhoto_Data";
    }
    return trailer;
}

// True when bytes no index locates look like a picture or a video of their own rather than
// padding or junk: an MP4 box, a JPEG, a Samsung-style trailer. Such bytes are kept.
bool LooksLikeMedia(std::span<const std::uint8_t> bytes, bool& video)
{
    constexpr std::string_view kFtyp = "ftyp", kJpeg = "\xFF\xD8\xFF", kSef = "SEFH";
    const std::string_view text = Text(bytes);
    video = false;
    for (std::size_t at = text.find(kFtyp); at != std::string_view::npos; at = text.find(kFtyp, at + 1))
        video = video || (at >= 4 && IsMp4Start(bytes.subspan(at - 4)));
    return video || text.find(kJpeg) != std::string_view::npos || text.find(kSef) != std::string_view::npos;
}

// ---- Locating the items ----

class ExtrasReader {
public:
    explicit ExtrasReader(std::span<const std::uint8_t> file) : file_(file) {}

    PictureExtras Read();

private:
    bool ReadMpf(std::span<const std::uint8_t> payload);
    bool AddContainerItems(const XmpFacts& facts);
    bool AddMicroVideo(const XmpFacts& facts);
    bool Add(const ExtraItem& item);
    bool Check();
    void AddTrailer();
    enum class Found { Exact, Moved, Unsure, None };
    Found Locate(std::int64_t declared, const std::function<bool(std::size_t)>& carries, std::size_t& start) const;
    bool Fail(const char* why)
    {
        extras_.items.clear();
        extras_.damage =
            what_ + (what_ == "gain map" && TailHoldsVideo() ? " and motion video" : "") + " dropped: " + why;
        return false;
    }
    // A video no index names (a Samsung-style trailer after a gain map) goes with the rest.
    bool TailHoldsVideo() const
    {
        bool video = false;
        const std::optional<SefTrailer> trailer = ReadSefTrailer(file_, extras_.primaryEnd);
        return (trailer && trailer->video) || (LooksLikeMedia(file_.subspan(extras_.primaryEnd), video) && video);
    }

    std::span<const std::uint8_t> file_;
    PictureExtras extras_;
    std::string what_;
};

PictureExtras ExtrasReader::Read()
{
    std::vector<Segment> segments;
    const std::size_t end = JpegLength(file_);
    if (end == 0 || !HeaderSegments(file_, segments))
        return extras_;
    extras_.primaryEnd = end;
    std::optional<std::span<const std::uint8_t>> mpf;
    for (const Segment& segment : segments) {
        switch (RoleOf(segment)) {
        case Role::MainXmp:
            if (extras_.xmp.empty() || !StartsWith(extras_.xmp.front(), kXmpSignature))
                extras_.xmp.insert(extras_.xmp.begin(), {segment.payload.begin(), segment.payload.end()});
            break;
        case Role::XmpExtension: extras_.xmp.emplace_back(segment.payload.begin(), segment.payload.end()); break;
        case Role::Mpf:
            if (!mpf)
                mpf = segment.payload;
            break;
        case Role::Iso: extras_.iso.emplace_back(segment.payload.begin(), segment.payload.end()); break;
        case Role::Other: break;
        }
    }
    XmpFacts facts;
    if (!extras_.xmp.empty() && StartsWith(extras_.xmp.front(), kXmpSignature))
        facts = ReadXmp(Text(extras_.xmp.front()).substr(kXmpSignature.size()));
    const bool announced =
        mpf || facts.items.size() > 1 || facts.containerBroken || facts.microVideoOffset || facts.microVideoBroken;
    if (!announced) {
        AddTrailer();
        return extras_;
    }

    const bool gainMap = facts.gainMap || !extras_.iso.empty() ||
                         std::any_of(facts.items.begin(), facts.items.end(),
                                     [](const ContainerItem& item) { return item.semantic == "GainMap"; });
    const bool video = facts.microVideoOffset || std::any_of(facts.items.begin(), facts.items.end(), [](auto& item) {
                           return item.mime.starts_with("video/") || item.semantic == "MotionPhoto";
                       });
    what_ = gainMap ? "gain map" : video ? "motion video" : "embedded picture";

    if (facts.containerBroken || facts.microVideoBroken) {
        Fail("its index is damaged");
        return extras_;
    }
    for (const ContainerItem& item : facts.items)
        extras_.containerLengths.push_back(item.length ? item.lengthAt : TextSpan{});
    if (facts.microVideoOffset)
        extras_.microVideoOffset = facts.microVideoAt;
    if ((!mpf || ReadMpf(*mpf)) && AddContainerItems(facts) && AddMicroVideo(facts) && Check())
        AddTrailer();
    return extras_;
}

bool ExtrasReader::ReadMpf(std::span<const std::uint8_t> payload)
{
    const auto payloadAt = static_cast<std::size_t>(payload.data() - file_.data());
    extras_.mpf.assign(payload.begin(), payload.end());
    const std::span<const std::uint8_t> tiff = payload.subspan(kMpfSignature.size());
    const std::size_t tiffAt = payloadAt + kMpfSignature.size();
    if (tiff.size() < 8)
        return Fail("its index is damaged");
    const bool little = StartsWith(tiff, "II*\0"sv);
    if (!little && !StartsWith(tiff, "MM\0*"sv))
        return Fail("its index is damaged");
    const TiffReader reader(tiff, little);
    const std::size_t ifd = reader.u32(4);
    if (!reader.fits(ifd, 2))
        return Fail("its index is damaged");
    const std::size_t count = reader.u16(ifd);
    if (!reader.fits(ifd + 2, count * 12))
        return Fail("its index is damaged");
    std::optional<std::size_t> entries, images;
    std::size_t entryBytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t tag = ifd + 2 + i * 12;
        if (reader.u16(tag) == kMpEntryTag) {
            entryBytes = reader.u32(tag + 4);
            entries = reader.u32(tag + 8);
        } else if (reader.u16(tag) == kNumberOfImagesTag) {
            images = reader.u32(tag + 8);
        }
    }
    if (!entries || entryBytes == 0 || entryBytes % kMpEntrySize != 0 || !reader.fits(*entries, entryBytes) ||
        (images && *images != entryBytes / kMpEntrySize) || reader.u32(*entries + 8) != 0)
        return Fail("its index is damaged");
    extras_.mpfEntries = kMpfSignature.size() + *entries;
    extras_.mpfEntryCount = entryBytes / kMpEntrySize;
    extras_.mpfLittleEndian = little;
    for (std::size_t i = 1; i < extras_.mpfEntryCount; ++i) {
        const std::size_t entry = *entries + i * kMpEntrySize;
        const std::size_t size = reader.u32(entry + 4);
        std::size_t start = tiffAt + reader.u32(entry + 8);
        const Found found = Locate(
            static_cast<std::int64_t>(start),
            [&](std::size_t at) {
                return size != 0 && size <= file_.size() - at && JpegLength(file_.subspan(at, size)) == size;
            },
            start);
        const bool inFile = size != 0 && start < file_.size() && size <= file_.size() - start;
        if (found == Found::Unsure)
            return Fail("its index matches more than one place");
        if (found == Found::None && !inFile)
            return Fail("its index points outside the file");
        if (start < extras_.primaryEnd)
            return Fail("its index points into the main picture");
        if (!IsJpegStart(file_.subspan(start, size)))
            return Fail(what_ == "gain map" ? "it is not a JPEG" : "its index points at no picture");
        extras_.items.push_back(
            ExtraItem{start, size, ExtraKind::Other, static_cast<int>(i), -1, false, found == Found::Moved});
    }
    return true;
}

ExtrasReader::Found ExtrasReader::Locate(std::int64_t declared, const std::function<bool(std::size_t)>& carries,
                                         std::size_t& start) const
{
    const auto fileSize = static_cast<std::int64_t>(file_.size());
    const auto primaryEnd = static_cast<std::int64_t>(extras_.primaryEnd);
    if (declared >= primaryEnd && declared < fileSize && carries(static_cast<std::size_t>(declared))) {
        start = static_cast<std::size_t>(declared);
        return Found::Exact;
    }
    const auto tolerance = static_cast<std::int64_t>(kLocateTolerance);
    std::optional<std::size_t> seen;
    for (std::int64_t at = std::max(primaryEnd, declared - tolerance); at <= declared + tolerance && at < fileSize;
         ++at) {
        if (!carries(static_cast<std::size_t>(at)))
            continue;
        if (seen)
            return Found::Unsure;
        seen = static_cast<std::size_t>(at);
    }
    if (!seen)
        return Found::None;
    start = *seen;
    return Found::Moved;
}

// Container items lie end to end from the end of the file back, each followed by its padding. An
// item whose stated length is a little off is found by its signature, its real length then
// written into the output.
bool ExtrasReader::AddContainerItems(const XmpFacts& facts)
{
    std::size_t end = file_.size();
    for (std::size_t i = facts.items.size(); i-- > 1;) {
        const ContainerItem& item = facts.items[i];
        if (!item.length || *item.length == 0)
            return Fail("its index is damaged");
        const std::uint64_t padding = i + 1 == facts.items.size() ? 0 : item.padding;
        if (padding > end)
            return Fail("its index points outside the file");
        end -= static_cast<std::size_t>(padding);
        ExtraKind kind = ExtraKind::Other;
        if (item.semantic == "GainMap")
            kind = ExtraKind::GainMap;
        else if (item.mime.starts_with("video/") || item.semantic == "MotionPhoto")
            kind = ExtraKind::Video;
        const bool jpeg = kind == ExtraKind::GainMap || item.mime == "image/jpeg";
        std::size_t start = 0;
        const Found found = Locate(
            static_cast<std::int64_t>(end) - static_cast<std::int64_t>(*item.length),
            [&](std::size_t at) {
                if (at >= end)
                    return false;  // past where the next item starts
                const std::span<const std::uint8_t> bytes = file_.subspan(at, end - at);
                return jpeg ? JpegLength(bytes) == bytes.size() : kind == ExtraKind::Video && IsMp4Start(bytes);
            },
            start);
        if (found == Found::Unsure)
            return Fail("its index matches more than one place");
        if (found == Found::None) {
            if (*item.length > end)
                return Fail("its index points outside the file");
            start = end - static_cast<std::size_t>(*item.length);
        }
        const std::uint64_t primaryPadding = i == 1 ? facts.items[0].padding : 0;
        if (start < extras_.primaryEnd || start - extras_.primaryEnd < primaryPadding)
            return Fail("its index points into the main picture");
        if (!Add(ExtraItem{start, end - start, kind, -1, static_cast<int>(i), false, found == Found::Moved}))
            return false;
        end = start;
    }
    return true;
}

// The video runs from MicroVideoOffset bytes before the end of the file to the end; an offset a
// little off is mended as a Container length is.
bool ExtrasReader::AddMicroVideo(const XmpFacts& facts)
{
    if (!facts.microVideoOffset)
        return true;
    const std::uint64_t offset = *facts.microVideoOffset;
    const std::size_t end = file_.size();
    std::size_t start = 0;
    const Found found = Locate(
        static_cast<std::int64_t>(end) - static_cast<std::int64_t>(offset),
        [&](std::size_t at) { return IsMp4Start(file_.subspan(at)); }, start);
    if (found == Found::Unsure)
        return Fail("its index matches more than one place");
    if (found == Found::None) {
        if (offset > end)
            return Fail("its index points outside the file");
        start = end - static_cast<std::size_t>(offset);
    }
    if (start < extras_.primaryEnd)
        return Fail("its index points into the main picture");
    return Add(ExtraItem{start, end - start, ExtraKind::Video, -1, -1, true, found == Found::Moved});
}

// Merges an item with one another index gave at the same place; the two must agree.
bool ExtrasReader::Add(const ExtraItem& item)
{
    for (ExtraItem& known : extras_.items) {
        if (known.start != item.start)
            continue;
        if (known.size != item.size)
            return Fail("its index is damaged");
        if (item.kind != ExtraKind::Other)
            known.kind = item.kind;
        if (item.containerItem >= 0)
            known.containerItem = item.containerItem;
        known.microVideo = known.microVideo || item.microVideo;
        known.moved = known.moved || item.moved;
        return true;
    }
    extras_.items.push_back(item);
    return true;
}

bool ExtrasReader::Check()
{
    std::vector<ExtraItem>& items = extras_.items;
    std::sort(items.begin(), items.end(), [](const ExtraItem& a, const ExtraItem& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (items[i - 1].start + items[i - 1].size > items[i].start)
            return Fail("its items overlap");
    }
    for (ExtraItem& item : items) {
        const std::span<const std::uint8_t> bytes = file_.subspan(item.start, item.size);
        if (item.kind == ExtraKind::Other && IsJpegStart(bytes) && CarriesGainMapSegments(bytes))
            item.kind = ExtraKind::GainMap;
        if (item.kind == ExtraKind::GainMap && !IsJpegStart(bytes))
            return Fail("it is not a JPEG");
    }
    extras_.tailEnd = items.empty() ? extras_.primaryEnd : items.back().start + items.back().size;
    return true;
}

// What follows the last item located (or the main picture): a Samsung-style trailer is an item
// kept whole; other bytes that look like a picture or a video are kept as they are, so nothing
// that may be the user's is lost; padding and junk are not.
void ExtrasReader::AddTrailer()
{
    if (extras_.tailEnd == 0)
        extras_.tailEnd = extras_.primaryEnd;
    const std::size_t from = extras_.tailEnd;
    if (from >= file_.size())
        return;
    const std::span<const std::uint8_t> rest = file_.subspan(from);
    bool video = false;
    if (const std::optional<SefTrailer> trailer = ReadSefTrailer(file_, from))
        extras_.items.push_back(ExtraItem{trailer->start, file_.size() - trailer->start,
                                          trailer->video ? ExtraKind::Video : ExtraKind::Other, -1, -1});
    else if (LooksLikeMedia(rest, video))
        extras_.items.push_back(ExtraItem{from, rest.size(), video ? ExtraKind::Video : ExtraKind::Other, -1, -1});
    else
        return;
    extras_.tailEnd = file_.size();
}

// ---- Writing ----

// Adds what went beyond what was asked to `notes` ("..., XMP dropped: ..."), once.
void AddNote(std::string* notes, std::string_view note)
{
    if (notes != nullptr && notes->find(note) == std::string::npos)
        notes->append(notes->empty() ? "" : ", ").append(note);
}

struct NewSegment {
    std::uint8_t code = 0;
    std::vector<std::uint8_t> payload;
};

void PutSegment(std::vector<std::uint8_t>& out, const NewSegment& segment)
{
    const std::size_t length = segment.payload.size() + 2;
    out.insert(out.end(),
               {0xFF, segment.code, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)});
    out.insert(out.end(), segment.payload.begin(), segment.payload.end());
}

// `jpeg` (through its EOI) with its XMP, MPF and ISO 21496-1 segments replaced by `added`, which
// go after the leading APP0/APP1 segments (JFIF, EXIF), where MPF belongs. `payloadAt` receives
// where each added payload starts in `out`.
bool ReplaceLocatingSegments(std::span<const std::uint8_t> jpeg, const std::vector<NewSegment>& added,
                             std::vector<std::uint8_t>& out, std::vector<std::size_t>& payloadAt)
{
    const std::size_t end = JpegLength(jpeg);
    if (end == 0)
        return false;
    out.assign({0xFF, 0xD8});
    payloadAt.clear();
    bool inserted = false;
    Segment segment;
    for (std::size_t pos = 2;; pos = segment.end) {
        if (!NextSegment(jpeg, pos, segment))
            return false;
        if (!inserted && segment.code != kApp0 && segment.code != kApp1) {
            for (const NewSegment& extra : added) {
                if (extra.payload.size() > kMaxPayload)
                    return false;
                payloadAt.push_back(out.size() + 4);
                PutSegment(out, extra);
            }
            inserted = true;
        }
        if (segment.code == kSos || segment.code == kEoi) {
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.marker),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(end));
            return true;
        }
        if (RoleOf(segment) == Role::Other)
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.marker),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(segment.end));
    }
}

void PutU32(std::uint8_t* at, std::uint32_t value, bool little)
{
    for (int i = 0; i < 4; ++i)
        at[little ? i : 3 - i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string EscapedAttribute(std::string_view value)
{
    std::string out;
    for (const char c : value)
        out += c == '"' ? "&quot;" : c == '<' ? "&lt;" : std::string(1, c);
    return out;
}

// The simple properties of namespace `uri` whose names start with one of `names` (all when
// empty), as ` prefix:name="value"` attributes, and its declaration.
void CopyProperties(std::string_view xmp, std::string_view uri, std::initializer_list<std::string_view> names,
                    std::string& declarations, std::string& attributes)
{
    const std::string prefix = PrefixFor(xmp, uri);
    if (prefix.empty())
        return;
    const std::string lead = prefix + ":";
    std::vector<std::string> seen;
    for (std::size_t at = xmp.find(lead); at != std::string_view::npos; at = xmp.find(lead, at + 1)) {
        std::size_t end = at + lead.size();
        while (end < xmp.size() && (std::isalnum(static_cast<unsigned char>(xmp[end])) || xmp[end] == '_'))
            ++end;
        const std::string name(xmp.substr(at, end - at));
        const std::string_view local = std::string_view(name).substr(lead.size());
        if (local.empty() || std::find(seen.begin(), seen.end(), name) != seen.end() ||
            (names.size() != 0 &&
             std::none_of(names.begin(), names.end(), [&](std::string_view n) { return local.starts_with(n); })))
            continue;
        // Only plain values (numbers, flags): anything with markup or quotes in it would read
        // differently once written as an attribute of its own.
        const auto value = FindProperty(xmp, name);
        if (!value || ValueAt(xmp, *value).find_first_of("<>\"'=&") != std::string_view::npos)
            continue;
        seen.push_back(name);
        attributes += " " + name + "=\"" + EscapedAttribute(ValueAt(xmp, *value)) + "\"";
    }
    if (!seen.empty())
        declarations += " xmlns:" + prefix + "=\"" + std::string(uri) + "\"";
}

// An XMP packet with only what locates and describes the items: the hdrgm: values, the
// motion-photo fields and the Container:Directory, under the prefixes the input used; empty
// when the input's XMP holds none of them.
std::vector<std::uint8_t> MinimalXmp(std::string_view xmp)
{
    std::string declarations, attributes, directory;
    CopyProperties(xmp, kGainMapNs, {}, declarations, attributes);
    CopyProperties(xmp, kCameraNs, {"MotionPhoto", "MicroVideo"}, declarations, attributes);
    const std::string container = PrefixFor(xmp, kContainerNs), item = PrefixFor(xmp, kItemNs);
    if (!container.empty() && !item.empty()) {
        const std::size_t open = xmp.find("<" + container + ":Directory");
        const std::string closing = "</" + container + ":Directory>";
        const std::size_t close = xmp.find(closing, open);
        if (open != std::string_view::npos && close != std::string_view::npos) {
            directory = xmp.substr(open, close + closing.size() - open);
            declarations += " xmlns:" + container + "=\"" + std::string(kContainerNs) + "\" xmlns:" + item + "=\"" +
                            std::string(kItemNs) + "\"";
        }
    }
    if (declarations.empty())
        return {};  // nothing to locate or describe: no packet at all
    std::string packet(kXmpSignature);
    packet +=
        "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
        "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\"";
    packet +=
        declarations + attributes + ">" + directory + "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
    return {packet.begin(), packet.end()};
}

// The main XMP packet with every Container length and MicroVideoOffset that does not state its
// item's new size (or distance from the end) written anew: items re-encoded, and items found a
// little away from where the input's index put them.
std::vector<std::uint8_t> UpdatedXmp(const PictureExtras& extras, const std::vector<std::size_t>& newSizes,
                                     const std::vector<std::size_t>& newDistances)
{
    const std::string_view packet = Text(extras.xmp.front()).substr(kXmpSignature.size());
    std::vector<std::pair<TextSpan, std::string>> edits;
    auto edit = [&](const TextSpan& span, std::size_t value) {
        if (span.size != 0 && ValueAt(packet, span) != std::to_string(value))
            edits.emplace_back(span, std::to_string(value));
    };
    for (std::size_t i = 0; i < extras.items.size(); ++i) {
        if (const int index = extras.items[i].containerItem; index >= 0)
            edit(extras.containerLengths[static_cast<std::size_t>(index)], newSizes[i]);
        if (extras.items[i].microVideo)
            edit(extras.microVideoOffset, newDistances[i]);
    }
    std::sort(edits.begin(), edits.end(), [](const auto& a, const auto& b) { return a.first.at > b.first.at; });
    std::vector<std::uint8_t> xmp = extras.xmp.front();
    for (const auto& [span, value] : edits) {
        const auto at = xmp.begin() + static_cast<std::ptrdiff_t>(kXmpSignature.size() + span.at);
        xmp.erase(at, at + static_cast<std::ptrdiff_t>(span.size));
        xmp.insert(xmp.begin() + static_cast<std::ptrdiff_t>(kXmpSignature.size() + span.at), value.begin(),
                   value.end());
    }
    return xmp;
}

}  // namespace

std::size_t JpegLength(std::span<const std::uint8_t> bytes)
{
    if (!IsJpegStart(bytes))
        return 0;
    Segment segment;
    for (std::size_t pos = 2; NextSegment(bytes, pos, segment); pos = segment.end) {
        if (segment.code == kEoi)
            return segment.end;
        if (segment.code == kSoi)
            return 0;  // another picture starts: this one never ended
    }
    return 0;
}

PictureExtras FindPictureExtras(std::span<const std::uint8_t> file)
{
    return ExtrasReader(file).Read();
}

std::string ExtrasNote(const PictureExtras& extras, const char* verb)
{
    std::string note;
    auto add = [&](ExtraKind kind, const char* what) {
        if (std::none_of(extras.items.begin(), extras.items.end(), [&](const ExtraItem& i) { return i.kind == kind; }))
            return;
        note.append(note.empty() ? "" : ", ").append(what).append(" ").append(verb);
    };
    add(ExtraKind::GainMap, "HDR gain map");
    add(ExtraKind::Video, "motion video");
    add(ExtraKind::Other, "other embedded data");
    return note;
}

std::string ExtrasLossReason(const PictureExtras& extras)
{
    constexpr std::string_view kDropped = " dropped: ";
    const std::size_t at = extras.damage.find(kDropped);
    if (at == std::string::npos)
        return extras.damage;
    return "its " + extras.damage.substr(0, at) + " would be dropped:" + extras.damage.substr(at + kDropped.size() - 1);
}

std::string DescribeExtras(std::span<const std::uint8_t> file)
{
    const PictureExtras extras = FindPictureExtras(file);
    std::string text;
    auto add = [&](ExtraKind kind, const char* what) {
        if (std::any_of(extras.items.begin(), extras.items.end(), [&](const ExtraItem& i) { return i.kind == kind; }))
            text.append(text.empty() ? "" : " and ").append(what);
    };
    if (extras.keepable()) {
        add(ExtraKind::GainMap, "an HDR gain map");
        add(ExtraKind::Video, "a motion video");
        add(ExtraKind::Other, "other embedded data");
    }
    return text;
}

bool AssemblePictures(std::span<const std::uint8_t> input, const PictureExtras& extras,
                      std::span<const std::uint8_t> primary, const std::vector<std::vector<std::uint8_t>>& replaced,
                      bool minimalXmp, std::vector<std::uint8_t>& out, bool withoutLocation, std::string* notes)
{
    out.clear();
    if (!extras.keepable() || replaced.size() != extras.items.size() || extras.tailEnd > input.size())
        return false;
    // Everything after the main picture, gaps between items included, with replaced items in.
    std::vector<std::uint8_t> tail;
    std::vector<std::size_t> newStarts, newSizes;
    std::size_t pos = extras.primaryEnd;
    for (std::size_t i = 0; i < extras.items.size(); ++i) {
        const ExtraItem& item = extras.items[i];
        tail.insert(tail.end(), input.begin() + static_cast<std::ptrdiff_t>(pos),
                    input.begin() + static_cast<std::ptrdiff_t>(item.start));
        const std::span<const std::uint8_t> bytes =
            replaced[i].empty() ? input.subspan(item.start, item.size) : std::span<const std::uint8_t>(replaced[i]);
        newStarts.push_back(tail.size());
        newSizes.push_back(bytes.size());
        tail.insert(tail.end(), bytes.begin(), bytes.end());
        pos = item.start + item.size;
    }

    std::vector<NewSegment> added;
    if (!extras.xmp.empty() && StartsWith(extras.xmp.front(), kXmpSignature)) {
        std::vector<std::size_t> newDistances;
        for (const std::size_t start : newStarts)
            newDistances.push_back(tail.size() - start);
        // The input's packet, not the filtered one of `primary`, is written back: it holds the lengths.
        std::vector<std::vector<std::uint8_t>> xmp = extras.xmp;
        xmp.front() = UpdatedXmp(extras, newSizes, newDistances);
        // Cut down to what locates and describes the items: the packet as written without the rest
        // (never larger), or, when it cannot be read as XML, one made anew from what it holds.
        const auto cutDown = [&] {
            xmp.resize(1);
            const std::string_view packet = Text(xmp.front()).substr(kXmpSignature.size());
            const XmpEdit edit = EditXmp(packet, [](std::string_view uri, std::string_view local, bool topLevel) {
                return IsLocationProperty(uri, local) || (topLevel && !DescribesExtrasProperty(uri, local));
            });
            std::vector<std::uint8_t> cut(kXmpSignature.begin(), kXmpSignature.end());
            cut.insert(cut.end(), edit.text.begin(), edit.text.end());
            xmp.front() = edit.readable ? std::move(cut) : MinimalXmp(packet);
        };
        if (minimalXmp)
            cutDown();
        // Location goes from what is written. A packet that cannot be read to find it stays only
        // when it does not even name a location; else it keeps only what locates the items, and
        // that on the same terms.
        const auto namesLocation = [&] {
            return std::any_of(xmp.begin(), xmp.end(),
                               [](const auto& payload) { return MayNameLocation(Text(payload)); });
        };
        if ((withoutLocation || minimalXmp) && !xmp.front().empty() && !RemoveXmpSegmentsLocation(xmp, notes) &&
            namesLocation()) {
            if (minimalXmp)
                return false;
            cutDown();
            AddNote(notes, "XMP cut to what locates the extras: it cannot be read as XML");
            if (!xmp.front().empty() && !RemoveXmpSegmentsLocation(xmp, notes) && namesLocation())
                return false;
        }
        for (std::vector<std::uint8_t>& payload : xmp)
            if (!payload.empty())
                added.push_back({kApp1, std::move(payload)});
    }
    for (const std::vector<std::uint8_t>& iso : extras.iso)
        added.push_back({kApp2, iso});
    const std::size_t mpfIndex = added.size();
    if (!extras.mpf.empty())
        added.push_back({kApp2, extras.mpf});

    std::vector<std::uint8_t> head;
    std::vector<std::size_t> payloadAt;
    if (!ReplaceLocatingSegments(primary, added, head, payloadAt))
        return false;
    if (!extras.mpf.empty()) {
        const std::size_t mpfAt = payloadAt[mpfIndex];
        const std::size_t tiffAt = mpfAt + kMpfSignature.size();
        const bool little = extras.mpfLittleEndian;
        std::uint8_t* entries = head.data() + mpfAt + extras.mpfEntries;
        if (head.size() + tail.size() > 0xFFFFFFFFu)
            return false;
        PutU32(entries + 4, static_cast<std::uint32_t>(head.size()), little);
        for (std::size_t i = 0; i < extras.items.size(); ++i) {
            const int entry = extras.items[i].mpfEntry;
            if (entry < 0)
                continue;
            std::uint8_t* at = entries + static_cast<std::size_t>(entry) * kMpEntrySize;
            PutU32(at + 4, static_cast<std::uint32_t>(newSizes[i]), little);
            PutU32(at + 8, static_cast<std::uint32_t>(head.size() + newStarts[i] - tiffAt), little);
        }
    }
    out = std::move(head);
    out.insert(out.end(), tail.begin(), tail.end());
    // Read back as any reader would: an index that does not lead to exactly these bytes (XMP too
    // odd to be written back as it reads) is never handed out.
    const PictureExtras written = FindPictureExtras(out);
    bool same = written.keepable() && written.items.size() == extras.items.size();
    for (std::size_t i = 0; same && i < extras.items.size(); ++i)
        same = written.items[i].start == out.size() - tail.size() + newStarts[i] &&
               written.items[i].size == newSizes[i] && written.items[i].kind == extras.items[i].kind;
    if (!same)
        out.clear();
    return same;
}

bool RestoreDescriptiveXmp(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& jpeg, std::string* notes)
{
    std::vector<Segment> inputSegments, ownSegments;
    if (!HeaderSegments(jpeg, ownSegments))
        return false;
    const auto isXmp = [](const Segment& segment) {
        return RoleOf(segment) == Role::MainXmp || RoleOf(segment) == Role::XmpExtension;
    };
    if (std::any_of(ownSegments.begin(), ownSegments.end(), isXmp) || !HeaderSegments(input, inputSegments))
        return true;
    std::vector<NewSegment> added;
    for (const Segment& segment : inputSegments) {
        if (!isXmp(segment))
            continue;
        if (RoleOf(segment) == Role::XmpExtension) {
            added.push_back({kApp1, {segment.payload.begin(), segment.payload.end()}});
            continue;
        }
        const XmpEdit edit = EditXmp(
            Text(segment.payload).substr(kXmpSignature.size()),
            [](std::string_view uri, std::string_view local, bool) { return DescribesExtrasProperty(uri, local); });
        if (!edit.readable) {
            AddNote(notes, "XMP dropped: it cannot be read as XML");
            return true;  // its extension segments are of no use without it
        }
        NewSegment main{kApp1, {kXmpSignature.begin(), kXmpSignature.end()}};
        main.payload.insert(main.payload.end(), edit.text.begin(), edit.text.end());
        added.insert(added.begin(), std::move(main));
    }
    if (added.empty() || RoleOf(Segment{0, kApp1, added.front().payload, 0}) != Role::MainXmp)
        return true;
    std::vector<std::uint8_t> out;
    std::vector<std::size_t> payloadAt;
    if (!ReplaceLocatingSegments(jpeg, added, out, payloadAt))
        return true;  // a segment too long to write: the picture stays as it is
    jpeg = std::move(out);
    return true;
}

bool RestoreGainMapSegments(std::span<const std::uint8_t> original, std::span<const std::uint8_t> encoded,
                            std::vector<std::uint8_t>& out)
{
    std::vector<Segment> segments;
    if (!HeaderSegments(original, segments))
        return false;
    // Its own MPF, should it have one, is left out: its offsets would describe the old bytes.
    std::vector<NewSegment> added;
    for (const Segment& segment : segments) {
        const Role role = RoleOf(segment);
        if (role == Role::MainXmp || role == Role::XmpExtension || role == Role::Iso)
            added.push_back({segment.code, {segment.payload.begin(), segment.payload.end()}});
    }
    std::vector<std::size_t> payloadAt;
    return ReplaceLocatingSegments(encoded, added, out, payloadAt);
}

}  // namespace tramblix
