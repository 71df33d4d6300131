#pragma once

// Files that hold more than one picture: a JPEG followed by an HDR gain map (an Ultra HDR or ISO
// 21496-1 photo), a motion photo's video or other items, located by the main picture's MPF index
// (APP2 "MPF") and its XMP (a Container:Directory, GCamera:MicroVideoOffset). Reading them and
// writing them back around a re-encoded main picture, every offset set anew; no libjpeg here.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tramblix {

enum class ExtraKind { GainMap, Video, Other };

// One item after the main picture.
struct ExtraItem {
    std::size_t start = 0;  // in the file
    std::size_t size = 0;
    ExtraKind kind = ExtraKind::Other;
    int mpfEntry = -1;        // its entry in the MPF index; -1: not listed there
    int containerItem = -1;   // its item in the Container:Directory; -1: not listed there
    bool microVideo = false;  // GCamera:MicroVideoOffset locates it
    // Found a little away from where its index puts it (multi_picture.cpp, kLocateTolerance): kept
    // byte for byte, never re-encoded, as the index that describes it was not written for it.
    bool moved = false;
};

// A value in the main XMP packet (a Container item's length), as offsets into its payload.
struct TextSpan {
    std::size_t at = 0;
    std::size_t size = 0;
};

// What follows a JPEG's main picture and what locates it there.
struct PictureExtras {
    std::size_t primaryEnd = 0;    // just past the main picture's EOI; 0: not a walkable JPEG
    std::size_t tailEnd = 0;       // just past the last byte the indexes locate
    std::vector<ExtraItem> items;  // in file order, apart from each other and from the main picture
    // Set when the file announces extras that cannot be kept safely: nothing of them is kept,
    // and this says what and why ("gain map dropped: its index is damaged").
    std::string damage;

    // The main picture's segments that locate and describe the items, payloads as in the file.
    std::vector<std::uint8_t> mpf;  // from "MPF\0" on; empty: none
    std::size_t mpfEntries = 0;     // where the first 16-byte MP entry starts in `mpf`
    std::size_t mpfEntryCount = 0;
    bool mpfLittleEndian = false;
    std::vector<std::vector<std::uint8_t>> xmp;  // the main packet first, then extension segments
    std::vector<TextSpan> containerLengths;      // per Container item; size 0: it states none
    TextSpan microVideoOffset;                   // size 0: none
    std::vector<std::vector<std::uint8_t>> iso;  // ISO 21496-1 APP2 segments

    bool keepable() const { return !items.empty() && damage.empty(); }
};

// Reads what follows the main picture of `file`. Hostile indexes (offsets past the end, items
// that overlap each other or the main picture, gigantic sizes, indexes that disagree, a gain map
// that is not a JPEG) give no items and a reason in `damage`.
PictureExtras FindPictureExtras(std::span<const std::uint8_t> file);

// What is kept, for the result line and the log: "HDR gain map kept", "motion video kept",
// "other embedded data kept", joined by ", "; `verb` replaces "kept" ("dropped").
std::string ExtrasNote(const PictureExtras& extras, const char* verb = "kept");

// Why replacing the file by a re-encode would lose what follows its main picture ("its motion
// video would be dropped: its index is damaged"); empty when nothing would be lost.
std::string ExtrasLossReason(const PictureExtras& extras);

// What the photo carries, for the compare view ("an HDR gain map and a motion video"); empty
// when it carries nothing the engine would keep.
std::string DescribeExtras(std::span<const std::uint8_t> file);

// The whole file: `primary` (a JPEG whose main picture replaces the input's; anything after its
// EOI is ignored) with the input's locating segments, then the items, each the input's bytes or
// its entry in `replaced` when that is not empty. The MPF index and the Container lengths are
// written for the new positions and sizes; with `minimalXmp` the XMP holds only what locates
// and describes the items; with either that or `withoutLocation` it has no location (an
// ExtendedXMP that holds any is dropped, said in `notes`, metadata_filter.h). False when the
// result cannot be written truthfully.
bool AssemblePictures(std::span<const std::uint8_t> input, const PictureExtras& extras,
                      std::span<const std::uint8_t> primary, const std::vector<std::vector<std::uint8_t>>& replaced,
                      bool minimalXmp, std::vector<std::uint8_t>& out, bool withoutLocation = false,
                      std::string* notes = nullptr);

// `jpeg` (a main picture re-encoded without what follows it, whose decoder left out the XMP
// that described it) with the XMP of `input` back, less what locates or describes the pictures
// and video after its main picture (xmp.h's DescribesExtrasProperty); its ExtendedXMP segments
// come too. Nothing happens when `jpeg` has XMP of its own or `input` none; a packet that is
// not XML that can be read is not written, and `notes` says so. False when `jpeg` cannot be walked.
bool RestoreDescriptiveXmp(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& jpeg,
                           std::string* notes = nullptr);

// A re-encoded gain map with the original's own XMP, ISO 21496-1 and MPF segments back in place
// (the decoder keeps none of them). False when `encoded` cannot be walked.
bool RestoreGainMapSegments(std::span<const std::uint8_t> original, std::span<const std::uint8_t> encoded,
                            std::vector<std::uint8_t>& out);

// The length of the JPEG at the start of `bytes`, through its EOI; 0 when there is none.
std::size_t JpegLength(std::span<const std::uint8_t> bytes);

}  // namespace tramblix
