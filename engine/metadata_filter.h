#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/compress.h"

namespace tramblix {

// True when `options` asks for descriptive metadata to be chosen (--keep, --strip-gps) beyond
// what stripMetadata does.
bool FiltersMetadata(const EngineOptions& options);

// Rewrites the header segments of the JPEG `jpeg` as `options` asks: the kinds of descriptive
// metadata not in keepMetadata are dropped (an orientation other than 1 survives as a minimal
// EXIF segment; an XMP packet that locates a gain map or a video in the file keeps only that,
// without location). With stripGps every location the file's header holds goes: GPS
// directories wherever EXIF links them (and location in the XMP and IPTC blocks EXIF may hold),
// the XMP location properties by namespace (xmp.h's IsLocationProperty), the whole ExtendedXMP
// when it holds any, the IPTC-IIM location datasets; a block that cannot be read to find out
// goes whole (IPTC or EXIF that cannot be walked; XMP that is not XML, or has no standard
// signature, when it so much as names a location: xmp.h's MayNameLocation), and `notes`
// (when given) receives what went beyond
// location and why ("ExtendedXMP dropped: it holds location", joined by ", "). Segments of
// other kinds (JFIF, Adobe, MPF, maker segments) are kept; stray bytes between segments are
// passed over. When a kind is dropped the file is also cleaned as StripJpegFile cleans it
// (stray bytes and anything after EOI go, a JFIF version other than 1.x is set right). False,
// with `jpeg` untouched, when its header segments cannot be walked.
bool FilterJpegMetadata(std::vector<std::uint8_t>& jpeg, const EngineOptions& options, std::string* notes = nullptr);

// The EXIF APP1 payload without location: every GPS directory link, in IFD0 and its chain, the
// Exif, Interop and sub-IFDs, is removed and the directory wiped (zeros), unless it is one of
// those directories itself; XMP (tag 700) and IPTC (tag 33723) blocks lose their location in
// place. Nothing moves. False when the payload's TIFF structure cannot be read at all.
bool WipeExifGps(std::vector<std::uint8_t>& payload);

// The XMP APP1 payload without its location properties; false, with the payload unchanged,
// when it is not XML that can be read (xmp.h).
bool RemoveXmpLocation(std::vector<std::uint8_t>& payload);

// The XMP segment payloads of a file (the main packet, its ExtendedXMP segments) without
// location: the main packet rewritten; the ExtendedXMP, and the main packet's note of it,
// dropped when it holds any or cannot be read (said in `notes`). False when the main packet
// cannot be read.
bool RemoveXmpSegmentsLocation(std::vector<std::vector<std::uint8_t>>& payloads, std::string* notes = nullptr);

// What a carried video's location came to.
enum class VideoLocation { None, Removed, Unreadable };

// Blanks in place, nothing moving, the location an MP4/QuickTime file `video` carries (or each
// movie inside it, from its ftyp box on, when it is not one itself: a trailer of records): the
// user-data `©xyz` and `loci` boxes, the iTunes-style `©xyz` items, the items of a keys/ilst
// metadata box whose key names a location or GPS (Apple's com.apple.quicktime.location.*), any
// user-data box or item whose value holds an ISO 6709 point (each becomes a zeroed `free` box of
// its size), and location in XMP boxes (rewritten in place, padded with spaces). Unreadable: no
// movie in it can be walked, so whether it carries any is unknown; nothing is touched then.
VideoLocation RemoveVideoLocation(std::span<std::uint8_t> video);

}  // namespace tramblix
