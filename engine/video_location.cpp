// The location an MP4 or QuickTime file carries, blanked where it lies (metadata_filter.h).

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metadata_filter.h"
#include "engine/xmp.h"

namespace tramblix {

namespace {

using namespace std::string_view_literals;

constexpr std::uint32_t Type(const char (&name)[5])
{
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[3]));
}

constexpr std::uint32_t kCopyrightXyz = 0xA978797A;  // "©xyz"
constexpr std::uint8_t kXmpUuid[16] = {0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8,
                                       0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};
constexpr int kMaxDepth = 12;

bool IsDigit(std::uint8_t c)
{
    return c >= '0' && c <= '9';
}

// True when `bytes` hold a point as ISO 6709 writes it ("+48.8584+002.2945/"): a sign, at least
// two digits, a sign, at least three digits, each number perhaps with a fraction.
bool HoldsIso6709(std::span<const std::uint8_t> bytes)
{
    const auto number = [&](std::size_t at, std::size_t digits) -> std::size_t {
        if (at >= bytes.size() || (bytes[at] != '+' && bytes[at] != '-'))
            return 0;
        std::size_t end = at + 1;
        while (end < bytes.size() && IsDigit(bytes[end]))
            ++end;
        if (end - at - 1 < digits)
            return 0;
        if (end < bytes.size() && bytes[end] == '.')
            for (++end; end < bytes.size() && IsDigit(bytes[end]);)
                ++end;
        return end;
    };
    for (std::size_t at = 0; at < bytes.size(); ++at)
        if (const std::size_t latitudeEnd = number(at, 2); latitudeEnd != 0 && number(latitudeEnd, 3) != 0)
            return true;
    return false;
}

bool NamesLocation(std::string_view key)
{
    std::string lower(key);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.find("location") != std::string::npos || lower.find("gps") != std::string::npos;
}

struct Box {
    std::size_t at = 0, header = 0, end = 0;
    std::uint32_t type = 0;
};

class Walker {
public:
    explicit Walker(std::span<std::uint8_t> video) : v_(video) {}

    VideoLocation Run()
    {
        if (!Children(0, v_.size(), 0, Kind::Top) && !Embedded())
            return VideoLocation::Unreadable;
        return changed_ ? VideoLocation::Removed : VideoLocation::None;
    }

private:
    enum class Kind { Top, Structure, UserData, Meta, ItemList };

    // The MP4 files inside bytes that are not one (a trailer of records, one of them the video):
    // each runs from an ftyp box over the boxes that follow it while they read as boxes, and
    // must hold a moov box. False when there is none.
    bool Embedded()
    {
        bool found = false;
        Box box;
        for (std::size_t at = 4; at + 4 <= v_.size(); ++at) {
            if (Be32(at) != Type("ftyp") || !Read(at - 4, v_.size(), box))
                continue;
            std::size_t end = at - 4;
            bool movie = false;
            for (; Read(end, v_.size(), box); end = box.end)
                movie = movie || box.type == Type("moov");
            if (movie && Children(at - 4, end, 0, Kind::Top))
                found = true;
            at = std::max(at, end);
        }
        return found;
    }

    std::uint32_t Be32(std::size_t at) const
    {
        return static_cast<std::uint32_t>(v_[at] << 24 | v_[at + 1] << 16 | v_[at + 2] << 8 | v_[at + 3]);
    }

    // The box at `at`, inside [at, end); false when its size does not fit.
    bool Read(std::size_t at, std::size_t end, Box& box) const
    {
        if (end - at < 8)
            return false;
        std::uint64_t size = Be32(at);
        box = Box{at, 8, 0, Be32(at + 4)};
        if (size == 1) {
            if (end - at < 16)
                return false;
            size = static_cast<std::uint64_t>(Be32(at + 8)) << 32 | Be32(at + 12);
            box.header = 16;
        } else if (size == 0) {
            size = end - at;  // to the end of what holds it
        }
        if (size < box.header || size > end - at)
            return false;
        box.end = at + static_cast<std::size_t>(size);
        return true;
    }

    // The box becomes a zeroed `free` box of the same size.
    void Blank(const Box& box)
    {
        std::memcpy(v_.data() + box.at + 4, "free", 4);
        const std::size_t from = box.at + (box.header == 16 ? 16 : 8);
        std::fill(v_.begin() + static_cast<std::ptrdiff_t>(from), v_.begin() + static_cast<std::ptrdiff_t>(box.end), 0);
        changed_ = true;
    }

    // XMP without location, in place; a packet that cannot be read goes whole.
    void Xmp(const Box& box, std::size_t from)
    {
        const std::span<std::uint8_t> packet = v_.subspan(from, box.end - from);
        const XmpEdit edit =
            EditXmp({reinterpret_cast<const char*>(packet.data()), packet.size()},
                    [](std::string_view uri, std::string_view local, bool) { return IsLocationProperty(uri, local); });
        if (!edit.readable || edit.text.size() > packet.size())
            return Blank(box);
        if (!edit.changed)
            return;
        std::string padded = edit.text;
        padded.insert(edit.rootEnd, packet.size() - edit.text.size(), ' ');
        std::memcpy(packet.data(), padded.data(), padded.size());
        changed_ = true;
    }

    // The indexes (from 1) of the keys of a `keys` box naming a location; false when it cannot be read.
    bool LocationKeys(const Box& keys, std::vector<std::uint32_t>& out) const
    {
        std::size_t at = keys.at + keys.header + 8;  // version, flags, entry count
        if (at > keys.end)
            return false;
        for (std::uint32_t index = 1; at < keys.end; ++index) {
            if (keys.end - at < 8)
                return false;
            const std::size_t size = Be32(at);
            if (size < 8 || size > keys.end - at)
                return false;
            if (NamesLocation({reinterpret_cast<const char*>(v_.data() + at + 8), size - 8}))
                out.push_back(index);
            at += size;
        }
        return true;
    }

    bool Children(std::size_t from, std::size_t end, int depth, Kind kind)
    {
        if (depth > kMaxDepth)
            return false;
        std::vector<std::uint32_t> keys;
        Box box;
        if (kind == Kind::Meta) {
            // The keys come before the item list that refers to them; read them first.
            for (std::size_t at = from; end - at >= 8 && Read(at, end, box); at = box.end)
                if (box.type == Type("keys") && !LocationKeys(box, keys))
                    return false;
        } else if (!keys_.empty()) {
            keys = keys_.back();  // an item list refers to the keys of the meta box holding it
        }
        keys_.push_back(std::move(keys));
        bool walked = true;
        // Fewer than 8 bytes left at the end: a terminator or padding, which holds no box.
        for (std::size_t at = from; walked && end - at >= 8; at = box.end)
            walked = Read(at, end, box) && Visit(box, depth, kind);
        keys_.pop_back();
        return walked;
    }

    bool Visit(const Box& box, int depth, Kind parent)
    {
        const std::uint32_t type = box.type;
        const std::size_t payload = box.at + box.header;
        if (parent == Kind::ItemList) {
            // Its items are named by a four-letter code or by their key's index; a value written
            // as a point goes whatever names it.
            const std::vector<std::uint32_t>& keys = keys_.back();
            if (type == kCopyrightXyz || std::find(keys.begin(), keys.end(), type) != keys.end() ||
                HoldsIso6709(v_.subspan(payload, box.end - payload)))
                Blank(box);
            return true;
        }
        if (type == kCopyrightXyz || type == Type("loci") ||
            (parent == Kind::UserData && type != Type("meta") && type != Type("XMP_") &&
             HoldsIso6709(v_.subspan(payload, box.end - payload)))) {
            Blank(box);
            return true;
        }
        if (type == Type("uuid")) {
            if (box.end - payload >= 16 && std::memcmp(v_.data() + payload, kXmpUuid, 16) == 0)
                Xmp(box, payload + 16);
            return true;
        }
        if (type == Type("XMP_") && parent == Kind::UserData) {
            Xmp(box, payload);
            return true;
        }
        if (type == Type("moov") || type == Type("trak") || type == Type("mdia") || type == Type("minf") ||
            type == Type("moof") || type == Type("traf"))
            return Children(payload, box.end, depth + 1, Kind::Structure);
        // Pure metadata: what cannot be walked goes whole.
        if (type == Type("udta")) {
            if (!Children(payload, box.end, depth + 1, Kind::UserData))
                Blank(box);
            return true;
        }
        if (type == Type("meta")) {
            // QuickTime's meta box holds its boxes straight away, ISO's after a version and flags.
            const bool quickTime = box.end - payload >= 8 && Be32(payload + 4) == Type("hdlr");
            const std::size_t from = quickTime ? payload : payload + 4;
            if (from > box.end || !Children(from, box.end, depth + 1, Kind::Meta))
                Blank(box);
            return true;
        }
        if (type == Type("ilst") && parent == Kind::Meta) {
            if (!Children(payload, box.end, depth + 1, Kind::ItemList))
                Blank(box);
            return true;
        }
        return true;
    }

    std::span<std::uint8_t> v_;
    std::vector<std::vector<std::uint32_t>> keys_;  // the location keys of each box being walked
    bool changed_ = false;
};

}  // namespace

VideoLocation RemoveVideoLocation(std::span<std::uint8_t> video)
{
    std::vector<std::uint8_t> copy(video.begin(), video.end());
    const VideoLocation result = Walker(copy).Run();
    // Nothing is touched unless every movie in it could be walked.
    if (result == VideoLocation::Removed)
        std::copy(copy.begin(), copy.end(), video.begin());
    return result;
}

}  // namespace tramblix
