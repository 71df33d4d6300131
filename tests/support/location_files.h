#pragma once

// Location as writers and attackers write it, for the --strip-gps tests, as byte strings: the place
// is 48,51N 2,17E, Paris, France; what must survive says "kept" or "Trip".

#include <string>
#include <utility>
#include <vector>

namespace tramblix::test {

using Segments = std::vector<std::pair<int, std::string>>;  // {marker, payload}; marker -1: stray bytes

// `jpeg` with `segments` after SOI and the JFIF segment that follows it.
std::string WithSegments(const std::string& jpeg, const Segments& segments);
// An XMP APP1 payload: xmp:Rating, a dc:title "Trip", `attributes` and `content` (exif, dc, xmp declared).
std::string XmpPayload(const std::string& attributes, const std::string& content = "");
// ExtendedXMP APP1 payloads carrying `packet` under `guid`, in chunks of `chunk` bytes.
std::vector<std::string> ExtendedXmp(const std::string& packet, const std::string& guid, std::size_t chunk);
// An EXIF APP1 payload: IFD0 (make "kept", orientation 6) and a GPS directory whose latitude bytes
// are 0xAB, linked as `how` says: ExifIfd, Interop, Ifd1, TwoPointers, Loop (IFD0 to itself too),
// NoNextLink, Truncated (more entries counted than held); XmpInside, IptcInside: a place in those.
std::string ExifPayload(const std::string& how, bool littleEndian);
// IPTC-IIM: the location datasets and two "kept" ones; `extended`: City with an extended length.
std::string Iim(bool extended = false);
// An APP13 Photoshop payload holding `iim` and an IPTC digest.
std::string PhotoshopPayload(const std::string& iim);
// A small MP4 (make "kept") with a place as `how` says: Udta (moov/udta/©xyz), Track, Loci, Keys
// (Apple's ISO6709 key), ItunesMeta, Xmp (a uuid box), LargeMdat (moov after a 64-bit mdat),
// InTrailer (between a trailer's records), Clean (none), Broken (a box longer than the file).
std::string Mp4(const std::string& how);

}  // namespace tramblix::test
