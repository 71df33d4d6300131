#pragma once

// XMP packets read as XML by namespace (libexpat), and rewritten without chosen properties:
// everything else, its spelling included, stays byte for byte and the packet stays valid XML.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tramblix {

// Decides whether a property goes, by namespace URI ("" for none) and local name. `topLevel`:
// a property of the packet's own rdf:Description (its attribute or child element), not a field
// nested in a value.
using XmpPropertyTest = std::function<bool(std::string_view uri, std::string_view local, bool topLevel)>;

struct XmpEdit {
    bool readable = false;    // well-formed XML with a root element and no DOCTYPE
    bool changed = false;     // `text` differs from the packet
    std::string text;         // the packet without the properties that go (when readable)
    std::size_t rootEnd = 0;  // in `text`: just past the root element, where padding goes
};

// Every element and attribute, at any depth, for which `remove` is true goes with all it holds
// (an element with the white space before it). Names in the rdf, xml and xmlns namespaces are
// never offered. Bytes after the root element that could hold markup go too (the packet
// trailer `<?xpacket end=...?>` stays). A packet that is not well-formed, or declares a DOCTYPE
// (entities could hide properties), is not readable and comes back unchanged.
XmpEdit EditXmp(std::string_view packet, const XmpPropertyTest& remove);

// True when the packet is readable and holds a property `test` accepts; `readable` (when given)
// receives whether it could be read.
bool XmpHolds(std::string_view packet, const XmpPropertyTest& test, bool* readable = nullptr);

// Location, as --strip-gps removes it: in any namespace, names starting "GPS" (any letter case:
// exif:GPSLatitude, drone-dji:GpsLatitude), Latitude, Longitude and AbsoluteAltitude (DJI's
// RelativeAltitude, a height above the take-off point, stays); photoshop:City, State, Country;
// Iptc4xmpCore:Location (the sub-location), CountryCode; Iptc4xmpExt:LocationShown,
// LocationCreated; xmpDM:shotLocation.
bool IsLocationProperty(std::string_view uri, std::string_view local);

// True when `text` holds a word a location property's name starts with, in any letter case
// (gps, latitude, longitude, altitude, city, state, country, location, sublocation): text that
// cannot be read as XML is known to hold no location only when this is false.
bool MayNameLocation(std::string_view text);

// What locates or describes the pictures and video after a JPEG's main picture: the
// Container directory (and its items), GCamera:MicroVideo... and GCamera:MotionPhoto..., the
// hdrgm gain-map properties and Apple's HDRGainMap ones.
bool DescribesExtrasProperty(std::string_view uri, std::string_view local);

}  // namespace tramblix
