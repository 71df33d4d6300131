#include "engine/xmp.h"

#include <expat.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

namespace tramblix {

namespace {

using namespace std::string_view_literals;

constexpr char kSeparator = '\x01';  // between URI, local name and prefix in expat's names
constexpr std::string_view kRdf = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
constexpr std::string_view kXml = "http://www.w3.org/XML/1998/namespace";

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct Name {
    std::string_view uri, local, prefix;
};

// expat's "uri\1local\1prefix", or "local" for a name in no namespace.
Name Split(const char* name)
{
    const std::string_view text(name);
    const std::size_t first = text.find(kSeparator);
    if (first == std::string_view::npos)
        return {{}, text, {}};
    const std::size_t second = text.find(kSeparator, first + 1);
    if (second == std::string_view::npos)
        return {text.substr(0, first), text.substr(first + 1), {}};
    return {text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1)};
}

bool Offered(std::string_view uri)
{
    return uri != kRdf && uri != kXml;
}

struct Range {
    std::size_t from = 0, to = 0;
    bool element = false;
};

// One attribute as written in a start tag: its qualified name and its bytes, the white space
// before it included.
struct RawAttribute {
    std::string_view name;
    std::size_t from = 0, to = 0;
};

// The attributes of the start tag `tag` (expat has checked it is well-formed), namespace
// declarations left out; false when it does not read as one.
bool LexAttributes(std::string_view tag, std::size_t offset, std::vector<RawAttribute>& out)
{
    std::size_t p = 1;
    while (p < tag.size() && !IsSpace(tag[p]) && tag[p] != '/' && tag[p] != '>')
        ++p;
    for (;;) {
        const std::size_t before = p;
        while (p < tag.size() && IsSpace(tag[p]))
            ++p;
        if (p >= tag.size())
            return false;
        if (tag[p] == '/' || tag[p] == '>')
            return true;
        const std::size_t nameAt = p;
        while (p < tag.size() && !IsSpace(tag[p]) && tag[p] != '=')
            ++p;
        const std::string_view name = tag.substr(nameAt, p - nameAt);
        while (p < tag.size() && IsSpace(tag[p]))
            ++p;
        if (p >= tag.size() || tag[p] != '=')
            return false;
        ++p;
        while (p < tag.size() && IsSpace(tag[p]))
            ++p;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\''))
            return false;
        const std::size_t close = tag.find(tag[p], p + 1);
        if (close == std::string_view::npos)
            return false;
        p = close + 1;
        if (name != "xmlns" && !name.starts_with("xmlns:"))
            out.push_back({name, offset + before, offset + p});
    }
}

class Editor {
public:
    Editor(std::string_view text, const XmpPropertyTest& remove) : text_(text), remove_(remove) {}

    // Parses the packet, collecting what goes; false when it cannot be read.
    bool Run()
    {
        if (text_.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            return false;
        parser_ = XML_ParserCreateNS(nullptr, kSeparator);
        if (parser_ == nullptr)
            return false;
        XML_SetReturnNSTriplet(parser_, XML_TRUE);
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &Editor::OnStart, &Editor::OnEnd);
        XML_SetStartDoctypeDeclHandler(parser_, &Editor::OnDoctype);
        const XML_Status status = XML_Parse(parser_, text_.data(), static_cast<int>(text_.size()), XML_TRUE);
        XML_ParserFree(parser_);
        parser_ = nullptr;
        // An error after the root element is junk after the packet, which Assemble deals with.
        return !broken_ && rootEnd_ != std::string_view::npos && (status == XML_STATUS_OK || depth_ == 0);
    }

    bool removedAny() const { return !ranges_.empty(); }

    XmpEdit Assemble()
    {
        XmpEdit edit;
        edit.readable = true;
        for (Range& range : ranges_) {
            // An element goes with the white space before it, when only white space follows a tag.
            if (!range.element)
                continue;
            std::size_t from = range.from;
            while (from > 0 && IsSpace(text_[from - 1]))
                --from;
            if (from > 0 && text_[from - 1] == '>')
                range.from = from;
        }
        std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.from < b.from; });
        std::size_t at = 0;
        for (const Range& range : ranges_) {
            if (range.from < at)
                continue;  // cannot happen: ranges never nest
            edit.text.append(text_.substr(at, range.from - at));
            at = range.to;
        }
        edit.text.append(text_.substr(at, rootEnd_ - at));
        edit.rootEnd = edit.text.size();
        // After the root only the packet trailer and white space may stay: anything else could be
        // read as a second packet.
        const std::string_view tail = text_.substr(rootEnd_);
        const std::size_t trailer = tail.find("<?xpacket end"sv);
        const std::size_t trailerEnd = trailer == std::string_view::npos ? trailer : tail.find("?>"sv, trailer);
        std::string rest(tail);
        if (trailerEnd != std::string_view::npos)
            rest.erase(trailer, trailerEnd + 2 - trailer);
        if (rest.find('<') == std::string::npos)
            edit.text.append(tail);
        else if (trailerEnd != std::string_view::npos)
            edit.text.append("\n").append(tail.substr(trailer, trailerEnd + 2 - trailer));
        edit.changed = edit.text != text_;
        return edit;
    }

private:
    struct Frame {
        bool rdfRoot = false;         // rdf:RDF
        bool topDescription = false;  // an rdf:Description right under rdf:RDF
    };

    static void OnDoctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        auto& self = *static_cast<Editor*>(user);
        self.broken_ = true;
        XML_StopParser(self.parser_, XML_FALSE);
    }

    static void OnStart(void* user, const XML_Char* name, const XML_Char** attributes)
    {
        static_cast<Editor*>(user)->Start(name, attributes);
    }

    static void OnEnd(void* user, const XML_Char*) { static_cast<Editor*>(user)->End(); }

    void Fail()
    {
        broken_ = true;
        XML_StopParser(parser_, XML_FALSE);
    }

    void Start(const char* rawName, const char** attributes)
    {
        const auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser_));
        const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser_));
        ++depth_;
        if (skipping_ > 0) {
            ++skipping_;
            return;
        }
        if (at > text_.size() || count > text_.size() - at || count == 0)
            return Fail();  // not from the packet's own bytes
        const Name name = Split(rawName);
        const bool topLevel = !frames_.empty() && frames_.back().topDescription;
        if (!frames_.empty() && Offered(name.uri) && remove_(name.uri, name.local, topLevel)) {
            skipping_ = 1;
            removedFrom_ = at;
            return;
        }
        Frame frame;
        frame.rdfRoot = name.uri == kRdf && name.local == "RDF";
        frame.topDescription =
            name.uri == kRdf && name.local == "Description" && !frames_.empty() && frames_.back().rdfRoot;
        frames_.push_back(frame);
        if (attributes[0] == nullptr)
            return;
        std::vector<RawAttribute> raw;
        if (!LexAttributes(text_.substr(at, count), at, raw))
            return Fail();
        std::size_t i = 0;
        for (; attributes[2 * i] != nullptr; ++i) {
            const Name attribute = Split(attributes[2 * i]);
            const std::string written = attribute.prefix.empty()
                                            ? std::string(attribute.local)
                                            : std::string(attribute.prefix).append(":").append(attribute.local);
            if (i >= raw.size() || raw[i].name != written)
                return Fail();  // the bytes do not say what expat read: touch nothing
            if (Offered(attribute.uri) && remove_(attribute.uri, attribute.local, frame.topDescription))
                ranges_.push_back({raw[i].from, raw[i].to, false});
        }
        if (i != raw.size())
            return Fail();
    }

    void End()
    {
        const auto at = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser_));
        const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(parser_));
        --depth_;
        if (at > text_.size() || count > text_.size() - at)
            return Fail();
        if (skipping_ > 0) {
            if (--skipping_ == 0)
                ranges_.push_back({removedFrom_, at + count, true});
            return;
        }
        frames_.pop_back();
        if (frames_.empty())
            rootEnd_ = at + count;
    }

    std::string_view text_;
    const XmpPropertyTest& remove_;
    XML_Parser parser_ = nullptr;
    std::vector<Frame> frames_;
    std::vector<Range> ranges_;
    int depth_ = 0;
    int skipping_ = 0;  // depth inside an element that goes
    std::size_t removedFrom_ = 0;
    std::size_t rootEnd_ = std::string_view::npos;
    bool broken_ = false;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

XmpEdit EditXmp(std::string_view packet, const XmpPropertyTest& remove)
{
    Editor editor(packet, remove);
    if (!editor.Run()) {
        XmpEdit unchanged;
        unchanged.text = packet;
        return unchanged;
    }
    return editor.Assemble();
}

bool XmpHolds(std::string_view packet, const XmpPropertyTest& test, bool* readable)
{
    Editor editor(packet, test);
    const bool read = editor.Run();
    if (readable != nullptr)
        *readable = read;
    return read && editor.removedAny();
}

bool IsLocationProperty(std::string_view uri, std::string_view local)
{
    if (StartsWithNoCase(local, "GPS"sv) || local == "Latitude"sv || local == "Longitude"sv ||
        local == "AbsoluteAltitude"sv)
        return true;
    if (uri == "http://ns.adobe.com/photoshop/1.0/"sv)
        return local == "City"sv || local == "State"sv || local == "Country"sv;
    if (uri == "http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/"sv)
        return local == "Location"sv || local == "CountryCode"sv;
    if (uri == "http://iptc.org/std/Iptc4xmpExt/2008-02-29/"sv)
        return local == "LocationShown"sv || local == "LocationCreated"sv;
    if (uri == "http://ns.adobe.com/xmp/1.0/DynamicMedia/"sv)
        return local == "shotLocation"sv;
    return false;
}

bool MayNameLocation(std::string_view text)
{
    for (std::size_t at = 0; at < text.size(); ++at)
        for (const std::string_view word : {"gps"sv, "latitude"sv, "longitude"sv, "altitude"sv, "city"sv, "state"sv,
                                            "country"sv, "location"sv, "shotlocation"sv})
            if (StartsWithNoCase(text.substr(at), word))
                return true;
    return false;
}

bool DescribesExtrasProperty(std::string_view uri, std::string_view local)
{
    if (uri == "http://ns.google.com/photos/1.0/camera/"sv)
        return local.starts_with("MicroVideo"sv) || local.starts_with("MotionPhoto"sv);
    return uri == "http://ns.google.com/photos/1.0/container/"sv ||
           uri == "http://ns.google.com/photos/1.0/container/item/"sv ||
           uri == "http://ns.adobe.com/hdr-gain-map/1.0/"sv || uri == "http://ns.apple.com/HDRGainMap/1.0/"sv;
}

}  // namespace tramblix
