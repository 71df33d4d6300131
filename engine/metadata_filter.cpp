#include "engine/metadata_filter.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/exif.h"
#include "engine/internal/jpeg_segments.h"
#include "engine/xmp.h"

namespace tramblix {

namespace {

using namespace std::string_view_literals;
using jpeg::NextSegment;
using jpeg::Segment;

constexpr std::string_view kExif = "Exif\0\0"sv;
constexpr std::string_view kXmp = "http://ns.adobe.com/xap/1.0/\0"sv;
constexpr std::string_view kXmpExtension = "http://ns.adobe.com/xmp/extension/\0"sv;
constexpr std::string_view kPhotoshop = "Photoshop 3.0\0"sv;
constexpr std::string_view kOldPhotoshop = "Adobe_Photoshop2.5:"sv;
constexpr std::string_view kIcc = "ICC_PROFILE\0"sv;
constexpr std::uint16_t kGpsTag = 0x8825, kExifIfdTag = 0x8769, kInteropTag = 0xA005, kSubIfdsTag = 0x014A,
                        kXmpTag = 0x02BC, kIptcTag = 0x83BB;
constexpr std::size_t kExtensionHeader = kXmpExtension.size() + 32 + 8;  // signature, GUID, full size, offset

bool StartsWith(std::span<const std::uint8_t> payload, std::string_view prefix)
{
    return payload.size() >= prefix.size() && std::memcmp(payload.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view Text(std::span<const std::uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void AddNote(std::string* notes, std::string_view note)
{
    if (notes == nullptr || note.empty() || notes->find(note) != std::string::npos)
        return;
    notes->append(notes->empty() ? "" : ", ").append(note);
}

// ---- What a segment holds ----

// Where the TIFF structure of an APP1 segment read as EXIF starts: after "Exif\0" in any letter
// case and one more byte (some cameras write another than 0), or after up to 4 stray bytes before
// it, as lenient readers take it; 0 when it is not EXIF.
std::size_t ExifTiffAt(std::span<const std::uint8_t> payload)
{
    for (std::size_t at = 0; at <= 4 && payload.size() > at + 6; ++at) {
        const std::string_view word = Text(payload.subspan(at, 5));
        if (std::equal(word.begin(), word.end(), "exif\0", [](char a, char b) { return std::tolower(a) == b; }))
            return at + 6;
    }
    return 0;
}

// True when `payload` starts with `signature`, any byte standing for each '.' in it, as readers
// that match signatures as regular expressions take them ("Photoshop 3.0\0").
bool StartsLoosely(std::span<const std::uint8_t> payload, std::string_view signature)
{
    return payload.size() >= signature.size() &&
           std::equal(signature.begin(), signature.end(), payload.begin(),
                      [](char s, std::uint8_t p) { return s == '.' || static_cast<std::uint8_t>(s) == p; });
}

// An APP1 segment lenient readers take for XMP without its standard signature.
bool LooksLikeXmp(std::span<const std::uint8_t> payload)
{
    const std::string_view text = Text(payload);
    return text.starts_with("http"sv) || text.starts_with("XMP\0"sv) ||
           text.find("<exif:"sv) != std::string_view::npos || text.find("<?xpacket"sv) != std::string_view::npos;
}

// The kind of descriptive metadata a segment holds; 0 for every other segment.
unsigned KindOf(std::uint8_t marker, std::span<const std::uint8_t> payload)
{
    if (marker == 0xFE)
        return kMetadataComment;
    if (marker == 0xE1 && (ExifTiffAt(payload) != 0))
        return kMetadataExif;
    if (marker == 0xE1 && (StartsWith(payload, kXmp) || StartsWith(payload, kXmpExtension) || LooksLikeXmp(payload)))
        return kMetadataXmp;
    if (marker == 0xED && (StartsLoosely(payload, kPhotoshop) || StartsLoosely(payload, kOldPhotoshop)))
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

// ---- XMP ----

bool RemovesLocation(std::string_view uri, std::string_view local, bool)
{
    return IsLocationProperty(uri, local);
}

// A packet kept only because it locates the pictures after the main one: it keeps that alone.
bool RemovesAllButExtras(std::string_view uri, std::string_view local, bool topLevel)
{
    return IsLocationProperty(uri, local) || (topLevel && !DescribesExtrasProperty(uri, local));
}

bool LocatesAttachedMedia(std::span<const std::uint8_t> payload)
{
    return StartsWith(payload, kXmp) &&
           XmpHolds(Text(payload).substr(kXmp.size()), [](std::string_view uri, std::string_view local, bool) {
               return DescribesExtrasProperty(uri, local);
           });
}

// The packet of an XMP payload rewritten by `remove`; false when it cannot be read.
bool EditPayload(std::vector<std::uint8_t>& payload, const XmpPropertyTest& remove)
{
    if (!StartsWith(payload, kXmp))
        return false;
    const XmpEdit edit = EditXmp(Text(payload).substr(kXmp.size()), remove);
    if (!edit.readable)
        return false;
    if (edit.changed) {
        payload.resize(kXmp.size());
        payload.insert(payload.end(), edit.text.begin(), edit.text.end());
    }
    return true;
}

// `bytes` (a packet inside a bigger structure) without location, in place: the rewritten
// packet padded with spaces where padding belongs. False when it cannot be read.
bool RemoveLocationInPlace(std::span<std::uint8_t> bytes, bool& changed)
{
    const XmpEdit edit = EditXmp(Text(bytes), RemovesLocation);
    if (!edit.readable || edit.text.size() > bytes.size())
        return false;
    changed = edit.changed;
    if (!edit.changed)
        return true;
    std::string padded = edit.text;
    padded.insert(edit.rootEnd, bytes.size() - edit.text.size(), ' ');
    std::memcpy(bytes.data(), padded.data(), padded.size());
    return true;
}

// ---- IPTC-IIM ----

bool IsLocationDataset(std::uint8_t record, std::uint8_t dataset)
{
    // 2:26 content location code, 2:27 its name, 2:90 city, 2:92 sub-location, 2:95
    // province/state, 2:100 country code, 2:101 country name.
    return record == 2 && (dataset == 26 || dataset == 27 || dataset == 90 || dataset == 92 || dataset == 95 ||
                           dataset == 100 || dataset == 101);
}

enum class Filtered { Unchanged, Changed, Unreadable };

// The datasets of an IPTC-IIM block without the location ones (trailing zero padding kept).
Filtered FilterIim(std::span<const std::uint8_t> iim, std::vector<std::uint8_t>& out)
{
    out.clear();
    bool changed = false;
    std::size_t p = 0;
    while (p < iim.size()) {
        if (iim[p] != 0x1C) {
            if (std::any_of(iim.begin() + static_cast<std::ptrdiff_t>(p), iim.end(), [](auto b) { return b != 0; }))
                return Filtered::Unreadable;
            out.insert(out.end(), iim.begin() + static_cast<std::ptrdiff_t>(p), iim.end());
            break;
        }
        if (iim.size() - p < 5)
            return Filtered::Unreadable;
        std::size_t header = 5;
        std::uint64_t length = static_cast<std::uint64_t>(iim[p + 3] << 8 | iim[p + 4]);
        if (length & 0x8000) {  // an extended dataset: the length's own size follows
            const std::size_t bytes = length & 0x7FFF;
            if (bytes == 0 || bytes > 8 || iim.size() - p - 5 < bytes)
                return Filtered::Unreadable;
            length = 0;
            for (std::size_t i = 0; i < bytes; ++i)
                length = length << 8 | iim[p + 5 + i];
            header += bytes;
        }
        if (length > iim.size() - p - header)
            return Filtered::Unreadable;
        const std::size_t end = p + header + static_cast<std::size_t>(length);
        if (IsLocationDataset(iim[p + 1], iim[p + 2]))
            changed = true;
        else
            out.insert(out.end(), iim.begin() + static_cast<std::ptrdiff_t>(p),
                       iim.begin() + static_cast<std::ptrdiff_t>(end));
        p = end;
    }
    return changed ? Filtered::Changed : Filtered::Unchanged;
}

std::uint32_t Be32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
}

// An APP13 Photoshop payload whose IPTC-IIM blocks (resource 0x0404) lose their location
// datasets; the IPTC digest (0x0425) goes when they change, as it no longer matches.
Filtered FilterPhotoshop(std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out)
{
    if (!StartsWith(payload, kPhotoshop))
        return Filtered::Unreadable;
    struct Resource {
        std::size_t at, end, dataAt, dataSize;
        std::uint16_t id;
    };
    std::vector<Resource> resources;
    std::size_t p = kPhotoshop.size();
    while (p < payload.size()) {
        const std::span<const std::uint8_t> rest = payload.subspan(p);
        if (rest.size() < 12) {
            if (std::any_of(rest.begin(), rest.end(), [](auto b) { return b != 0; }))
                return Filtered::Unreadable;
            break;
        }
        const std::string_view type = Text(rest.first(4));
        if (type != "8BIM"sv && type != "PHUT"sv && type != "AgHg"sv && type != "DCSR"sv && type != "MeSa"sv)
            return Filtered::Unreadable;
        const auto id = static_cast<std::uint16_t>(rest[4] << 8 | rest[5]);
        const std::size_t name = (1 + static_cast<std::size_t>(rest[6]) + 1) & ~std::size_t{1};  // padded to even
        if (rest.size() < 6 + name + 4)
            return Filtered::Unreadable;
        const std::size_t size = Be32(rest, 6 + name), dataAt = 6 + name + 4;
        if (size > rest.size() - dataAt)
            return Filtered::Unreadable;
        const std::size_t end = std::min(rest.size(), dataAt + size + (size & 1));
        resources.push_back({p, p + end, p + dataAt, size, id});
        p += end;
    }
    out.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(kPhotoshop.size()));
    bool changed = false;
    std::vector<std::uint8_t> iim;
    for (const Resource& resource : resources) {
        if (resource.id != 0x0404) {
            continue;
        }
        const Filtered filtered = FilterIim(payload.subspan(resource.dataAt, resource.dataSize), iim);
        if (filtered == Filtered::Unreadable)
            return Filtered::Unreadable;
        changed = changed || filtered == Filtered::Changed;
    }
    if (!changed)
        return Filtered::Unchanged;
    for (const Resource& resource : resources) {
        if (resource.id == 0x0425)
            continue;
        if (resource.id != 0x0404) {
            out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(resource.at),
                       payload.begin() + static_cast<std::ptrdiff_t>(resource.end));
            continue;
        }
        FilterIim(payload.subspan(resource.dataAt, resource.dataSize), iim);
        out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(resource.at),
                   payload.begin() + static_cast<std::ptrdiff_t>(resource.dataAt - 4));
        const auto size = static_cast<std::uint32_t>(iim.size());
        out.insert(out.end(), {static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                               static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
        out.insert(out.end(), iim.begin(), iim.end());
        if (iim.size() & 1)
            out.push_back(0);
    }
    return Filtered::Changed;
}

// ---- EXIF ----

// Reads and writes a TIFF structure in place, every access checked against its size.
class Tiff {
public:
    Tiff(std::uint8_t* data, std::size_t size, bool little) : data_(data), size_(size), little_(little) {}

    std::size_t size() const { return size_; }
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
        if (at < size_)
            std::memset(data_ + at, 0, std::min(length, size_ - at));
    }
    void Move(std::size_t to, std::size_t from, std::size_t length) { std::memmove(data_ + to, data_ + from, length); }
    std::span<std::uint8_t> Bytes(std::size_t at, std::size_t length) { return {data_ + at, length}; }

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

// The directories of an EXIF block, walked as its readers walk them, and the location in them.
class ExifLocation {
public:
    explicit ExifLocation(Tiff& tiff) : tiff_(tiff) {}

    // Returns whether anything changed.
    bool Remove(std::size_t ifd0)
    {
        Walk(ifd0, 0, true);
        for (const std::size_t ifd : ifds_)
            RemoveFrom(ifd);
        for (const std::size_t gps : gps_)
            if (tiff_.Fits(gps, 2) && !Protected(gps, 2))
                WipeDirectory(gps);
        return changed_;
    }

private:
    // The entries of the directory at `ifd` that lie inside the block.
    std::size_t Entries(std::size_t ifd) const
    {
        return tiff_.Fits(ifd, 2) ? std::min<std::size_t>(tiff_.U16(ifd), (tiff_.size() - ifd - 2) / 12) : 0;
    }

    void Walk(std::size_t ifd, int depth, bool chain)
    {
        for (int links = 0; links < 16 && ifd != 0; ++links) {
            if (depth > 8 || ifds_.size() >= 64 || !tiff_.Fits(ifd, 2) ||
                std::find(ifds_.begin(), ifds_.end(), ifd) != ifds_.end())
                return;
            ifds_.push_back(ifd);
            const std::size_t count = Entries(ifd);
            tables_.push_back({ifd, 2 + count * 12 + 4});
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t entry = ifd + 2 + i * 12;
                const std::uint32_t tag = tiff_.U16(entry);
                if (tag == kExifIfdTag || tag == kInteropTag)
                    Walk(tiff_.U32(entry + 8), depth + 1, false);
                if (tag == kSubIfdsTag) {
                    const std::size_t n = std::min<std::size_t>(tiff_.U32(entry + 4), 16);
                    const std::size_t at = n == 1 ? entry + 8 : tiff_.U32(entry + 8);
                    for (std::size_t k = 0; k < n && tiff_.Fits(at + 4 * k, 4); ++k)
                        Walk(tiff_.U32(at + 4 * k), depth + 1, false);
                }
            }
            const std::size_t next = ifd + 2 + tiff_.U16(ifd) * std::size_t{12};
            if (!chain || !tiff_.Fits(next, 4))
                return;  // IFD0 may lack its link to the next directory
            ifd = tiff_.U32(next);
        }
    }

    bool Protected(std::size_t at, std::size_t length) const
    {
        return std::any_of(tables_.begin(), tables_.end(), [&](const auto& table) {
            return at < table.first + table.second && table.first < at + length;
        });
    }

    // Zeroes the values of an entry (those stored outside it) unless a walked directory is there.
    void WipeValue(std::size_t entry)
    {
        const std::uint64_t size = static_cast<std::uint64_t>(TypeSize(tiff_.U16(entry + 2))) * tiff_.U32(entry + 4);
        if (size > 4 && size <= tiff_.size() && !Protected(tiff_.U32(entry + 8), static_cast<std::size_t>(size)))
            tiff_.Zero(tiff_.U32(entry + 8), static_cast<std::size_t>(size));
    }

    void WipeDirectory(std::size_t ifd)
    {
        const std::size_t count = Entries(ifd);
        for (std::size_t i = 0; i < count; ++i)
            WipeValue(ifd + 2 + i * 12);
        tiff_.Zero(ifd, 2 + 12 * count + 4);
        changed_ = true;
    }

    // The value bytes of an entry; empty when they are not inside the block.
    std::span<std::uint8_t> Value(std::size_t entry)
    {
        const std::uint64_t size = static_cast<std::uint64_t>(TypeSize(tiff_.U16(entry + 2))) * tiff_.U32(entry + 4);
        const std::size_t at = size <= 4 ? entry + 8 : tiff_.U32(entry + 8);
        if (size == 0 || size > tiff_.size() || !tiff_.Fits(at, static_cast<std::size_t>(size)))
            return {};
        return tiff_.Bytes(at, static_cast<std::size_t>(size));
    }

    // Removes entry `i` of the directory at `ifd`: the ones after it and the link to the next
    // directory (when there is one) move up; offsets count from the TIFF header, so nothing else moves.
    void RemoveEntry(std::size_t ifd, std::size_t i)
    {
        const std::size_t count = tiff_.U16(ifd), entry = ifd + 2 + i * 12;
        std::size_t after = ifd + 2 + count * 12;
        if (tiff_.Fits(after, 4))
            after += 4;
        after = std::min(after, tiff_.size());
        tiff_.Move(entry, entry + 12, after - entry - 12);
        // The 12 bytes left behind are zeroed, but for those a remaining entry's value lies in (a
        // directory without its link to the next one may be followed straight by values).
        for (std::size_t at = after - 12; at < after; ++at) {
            bool value = false;
            for (std::size_t k = 0; k + 1 < Entries(ifd) && !value; ++k) {
                const std::size_t other = ifd + 2 + k * 12;
                const std::uint64_t size =
                    static_cast<std::uint64_t>(TypeSize(tiff_.U16(other + 2))) * tiff_.U32(other + 4);
                value = size > 4 && at >= tiff_.U32(other + 8) && at - tiff_.U32(other + 8) < size;
            }
            if (!value)
                tiff_.Zero(at, 1);
        }
        tiff_.Put16(ifd, count - 1);
        changed_ = true;
    }

    void RemoveFrom(std::size_t ifd)
    {
        for (std::size_t i = 0; i < Entries(ifd);) {
            const std::size_t entry = ifd + 2 + i * 12;
            const std::uint32_t tag = tiff_.U16(entry);
            bool remove = false;
            if (tag == kGpsTag) {
                gps_.push_back(tiff_.U32(entry + 8));
                remove = true;
            } else if (tag == kXmpTag || tag == kIptcTag) {
                const std::span<std::uint8_t> value = Value(entry);
                bool edited = false;
                // A block that cannot be read to find its location goes whole.
                remove = value.empty() ||
                         !(tag == kXmpTag ? RemoveLocationInPlace(value, edited) : FilterIimInPlace(value, edited));
                changed_ = changed_ || edited;
                if (remove)
                    WipeValue(entry);
            }
            if (remove)
                RemoveEntry(ifd, i);
            else
                ++i;
        }
    }

    static bool FilterIimInPlace(std::span<std::uint8_t> value, bool& changed)
    {
        std::vector<std::uint8_t> kept;
        const Filtered filtered = FilterIim(value, kept);
        changed = filtered == Filtered::Changed;
        if (filtered == Filtered::Unreadable)
            return false;
        if (changed) {
            std::copy(kept.begin(), kept.end(), value.begin());
            std::fill(value.begin() + static_cast<std::ptrdiff_t>(kept.size()), value.end(), 0);
        }
        return true;
    }

    Tiff& tiff_;
    std::vector<std::size_t> ifds_, gps_;
    std::vector<std::pair<std::size_t, std::size_t>> tables_;  // walked directories: start, size
    bool changed_ = false;
};

// The location in the EXIF block starting at `tiffAt` of `payload`, removed in place. Unreadable
// when it holds no TIFF structure to walk.
Filtered RemoveExifLocation(std::span<std::uint8_t> payload, std::size_t tiffAt)
{
    if (tiffAt == 0 || payload.size() < tiffAt + 8)
        return Filtered::Unreadable;
    std::uint8_t* data = payload.data() + tiffAt;
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M'))
        return Filtered::Unreadable;
    Tiff tiff(data, payload.size() - tiffAt, little);
    if (tiff.U16(2) != 42 || !tiff.Fits(tiff.U32(4), 2))
        return Filtered::Unreadable;
    return ExifLocation(tiff).Remove(tiff.U32(4)) ? Filtered::Changed : Filtered::Unchanged;
}

// ---- ExtendedXMP ----

// The GUID of an extension segment; empty when it has no full header.
std::string_view ExtensionGuid(std::span<const std::uint8_t> payload)
{
    return payload.size() >= kExtensionHeader ? Text(payload.subspan(kXmpExtension.size(), 32)) : std::string_view{};
}

// The extended packet made of the segments with `guid`; false when they do not make a whole one.
bool AssembleExtension(const std::vector<std::vector<std::uint8_t>>& payloads, std::string_view guid,
                       std::string& packet)
{
    std::uint32_t fullSize = 0;
    std::vector<std::pair<std::uint32_t, std::span<const std::uint8_t>>> chunks;
    std::uint64_t total = 0;
    for (const auto& payload : payloads) {
        if (!StartsWith(payload, kXmpExtension) || payload.size() < kExtensionHeader || ExtensionGuid(payload) != guid)
            continue;
        const std::size_t at = kXmpExtension.size() + 32;
        fullSize = Be32(payload, at);
        chunks.emplace_back(Be32(payload, at + 4), std::span(payload).subspan(kExtensionHeader));
        total += chunks.back().second.size();
    }
    if (total != fullSize)
        return false;
    std::sort(chunks.begin(), chunks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    packet.clear();
    for (const auto& [offset, bytes] : chunks) {
        if (offset != packet.size())
            return false;
        packet.append(Text(bytes));
    }
    return true;
}

// The GUIDs of the ExtendedXMP packets among `extensions` (segment payloads) that hold location,
// are incomplete, or cannot be read to find out and name a location: they go whole.
std::vector<std::string> ExtensionsWithLocation(const std::vector<std::vector<std::uint8_t>>& extensions,
                                                std::string* notes)
{
    std::vector<std::string> dropped;
    for (const auto& payload : extensions) {
        const std::string guid(ExtensionGuid(payload));
        if (std::find(dropped.begin(), dropped.end(), guid) != dropped.end())
            continue;
        std::string packet;
        bool readable = false;
        const bool whole = AssembleExtension(extensions, guid, packet);
        const bool holds = whole && XmpHolds(packet, RemovesLocation, &readable);
        if (holds || !whole || (!readable && MayNameLocation(packet))) {
            dropped.push_back(guid);
            AddNote(notes, holds   ? "ExtendedXMP dropped: it holds location"
                           : whole ? "ExtendedXMP dropped: it cannot be read as XML"
                                   : "ExtendedXMP dropped: it is incomplete");
        }
    }
    return dropped;
}

struct HeaderSegment {
    std::size_t strayFrom = 0;  // the stray bytes before it start here (== marker: none)
    std::size_t marker = 0;
    std::uint8_t code = 0;
    std::vector<std::uint8_t> payload;
};

bool RemovesExtendedNote(std::string_view uri, std::string_view local, bool)
{
    return uri == "http://ns.adobe.com/xmp/note/"sv && local == "HasExtendedXMP"sv;
}

// Sets right a JFIF version other than 1.x, which decoders warn about and read as 1.02.
void MendJfif(std::vector<std::uint8_t>& payload)
{
    if (StartsWith(payload, "JFIF\0"sv) && payload.size() >= 7 && payload[5] != 1) {
        payload[5] = 1;
        payload[6] = 2;
    }
}

}  // namespace

bool FiltersMetadata(const EngineOptions& options)
{
    return (options.keepMetadata & kAllMetadata) != kAllMetadata || options.stripGps;
}

bool WipeExifGps(std::vector<std::uint8_t>& payload)
{
    return StartsWith(payload, kExif) && RemoveExifLocation(payload, kExif.size()) != Filtered::Unreadable;
}

bool RemoveXmpLocation(std::vector<std::uint8_t>& payload)
{
    return EditPayload(payload, RemovesLocation);
}

bool RemoveXmpSegmentsLocation(std::vector<std::vector<std::uint8_t>>& payloads, std::string* notes)
{
    std::vector<std::vector<std::uint8_t>> extensions;
    for (const auto& payload : payloads)
        if (StartsWith(payload, kXmpExtension))
            extensions.push_back(payload);
    const std::vector<std::string> dropped = ExtensionsWithLocation(extensions, notes);
    std::erase_if(payloads, [&](const std::vector<std::uint8_t>& payload) {
        return StartsWith(payload, kXmpExtension) &&
               std::find(dropped.begin(), dropped.end(), ExtensionGuid(payload)) != dropped.end();
    });
    for (auto& payload : payloads) {
        if (!StartsWith(payload, kXmp))
            continue;
        if (!RemoveXmpLocation(payload))
            return false;
        if (!dropped.empty())
            EditPayload(payload, RemovesExtendedNote);
    }
    return true;
}

bool FilterJpegMetadata(std::vector<std::uint8_t>& jpeg, const EngineOptions& options, std::string* notes)
{
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    const std::span<const std::uint8_t> file(jpeg);
    const bool cleaning = (options.keepMetadata & kAllMetadata) != kAllMetadata;
    const bool location = options.stripGps;
    // The header, walked first: ExtendedXMP is judged whole, over its segments.
    std::vector<HeaderSegment> header;
    Segment segment;
    std::size_t at = 2, scanAt = 0;
    for (;;) {
        if (!NextSegment(file, at, segment))
            return false;
        if (segment.code == 0xDA || segment.code == 0xD9) {
            scanAt = segment.marker;
            header.push_back({at, segment.marker, 0, {}});  // the stray bytes before the scan
            break;
        }
        if (segment.code == 0xD8)
            return false;
        header.push_back({at, segment.marker, segment.code, {segment.payload.begin(), segment.payload.end()}});
        at = segment.end;
    }
    std::vector<std::vector<std::uint8_t>> extensions;
    for (const HeaderSegment& s : header)
        if (s.code == 0xE1 && StartsWith(s.payload, kXmpExtension))
            extensions.push_back(s.payload);
    const std::vector<std::string> droppedGuids = location && (options.keepMetadata & kMetadataXmp) != 0
                                                      ? ExtensionsWithLocation(extensions, notes)
                                                      : std::vector<std::string>{};

    std::vector<std::uint8_t> out = {0xFF, 0xD8};
    out.reserve(jpeg.size());
    std::size_t insertAt = 2;  // where a minimal EXIF segment goes: after JFIF when it leads
    int droppedOrientation = 1;
    bool exifKept = false;
    for (HeaderSegment& s : header) {
        if (!cleaning)
            out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(s.strayFrom),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(s.marker));
        if (s.code == 0)
            break;
        if (s.code == 0x01 || (s.code >= 0xD0 && s.code <= 0xD7)) {  // markers without a length
            out.insert(out.end(), {0xFF, s.code});
            continue;
        }
        std::vector<std::uint8_t>& payload = s.payload;
        const unsigned kind = KindOf(s.code, payload);
        bool keep = kind == 0 || (options.keepMetadata & kind) != 0;
        if (kind == kMetadataExif && droppedOrientation == 1 && StartsWith(payload, kExif))
            droppedOrientation = ExifOrientationFromApp1(payload);
        if (kind == kMetadataXmp && !keep && LocatesAttachedMedia(payload)) {
            // The packet that locates the pictures after this one stays, with that alone.
            keep = EditPayload(payload, RemovesAllButExtras);
        } else if (keep && location && kind == kMetadataExif) {
            const Filtered filtered = RemoveExifLocation(payload, ExifTiffAt(payload));
            keep = filtered != Filtered::Unreadable;
            if (!keep)
                AddNote(notes, "EXIF dropped: it cannot be read");
        } else if (keep && location && kind == kMetadataXmp) {
            if (StartsWith(payload, kXmpExtension)) {
                keep =
                    std::find(droppedGuids.begin(), droppedGuids.end(), ExtensionGuid(payload)) == droppedGuids.end();
            } else if (StartsWith(payload, kXmp)) {
                // A packet that cannot be read stays only when it does not even name a location.
                keep = RemoveXmpLocation(payload) || !MayNameLocation(Text(payload));
                if (keep && !droppedGuids.empty())
                    EditPayload(payload, RemovesExtendedNote);
                if (!keep)
                    AddNote(notes, "XMP dropped: it cannot be read as XML");
            } else {
                keep = !MayNameLocation(Text(payload));
                if (!keep)
                    AddNote(notes, "XMP without its standard signature dropped");
            }
        } else if (keep && location && kind == kMetadataIptc) {
            std::vector<std::uint8_t> filtered;
            const Filtered result =
                StartsWith(payload, kPhotoshop) ? FilterPhotoshop(payload, filtered) : Filtered::Unreadable;
            keep = result != Filtered::Unreadable;
            if (result == Filtered::Changed)
                payload = std::move(filtered);
            if (!keep)
                AddNote(notes, "IPTC dropped: it cannot be read");
        }
        if (!keep)
            continue;
        if (cleaning && s.code == 0xE0)
            MendJfif(payload);
        exifKept = exifKept || kind == kMetadataExif;
        AppendSegment(out, s.code, payload);
        if (s.code == 0xE0 && insertAt == 2 && out.size() == 2 + 4 + payload.size())
            insertAt = out.size();
    }
    // From the first scan on, as it was; cleaning ends the file at its EOI.
    std::size_t end = jpeg.size();
    if (cleaning) {
        for (std::size_t pos = scanAt; NextSegment(file, pos, segment); pos = segment.end) {
            if (segment.code == 0xD9) {
                end = segment.end;
                break;
            }
        }
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(scanAt),
               jpeg.begin() + static_cast<std::ptrdiff_t>(end));
    if (!exifKept && droppedOrientation != 1) {
        std::vector<std::uint8_t> exif;
        AppendSegment(exif, 0xE1, OrientationOnlyExif(droppedOrientation));
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), exif.begin(), exif.end());
    }
    jpeg = std::move(out);
    return true;
}

}  // namespace tramblix
