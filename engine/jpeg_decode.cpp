#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/jpeg_common.h"

namespace tramblix {

namespace {

bool LooksLikeJpeg(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
}

bool HasPrefix(const jpeg_marker_struct& marker, std::string_view prefix)
{
    return marker.data_length >= prefix.size() && std::memcmp(marker.data, prefix.data(), prefix.size()) == 0;
}

// The metadata we carry over: EXIF, XMP (with its extension segments, which the main packet
// refers to), IPTC captions and keywords, and comments. JFIF and Adobe segments are written by libjpeg to match the new
// file; MPF, maker segments and the like describe the old file's layout and are dropped.
bool KeepMarker(const jpeg_marker_struct& marker)
{
    using namespace std::string_view_literals;
    if (marker.data_length != marker.original_length)  // cut short when saved
        return false;
    if (marker.marker == JPEG_COM)
        return true;
    if (marker.marker == JPEG_APP0 + 13)
        return HasPrefix(marker, "Photoshop 3.0\0"sv);
    return marker.marker == JPEG_APP0 + 1 &&
           (HasPrefix(marker, "Exif\0\0"sv) || HasPrefix(marker, "http://ns.adobe.com/xap/1.0/\0"sv) ||
            HasPrefix(marker, "http://ns.adobe.com/xmp/extension/\0"sv));
}

DecodeStatus DecodeJpegInto(std::span<const std::uint8_t> bytes, DecodedImage& out)
{
    jpeg::Decompressor d;
    d.err.stopOnWarning = true;  // any warning makes the file damaged: no need to decode on
    if (!jpeg::ReadHeader(d, bytes, jpeg::kKeepApp1 | jpeg::kKeepIcc | jpeg::kKeepComment | jpeg::kKeepApp13))
        return jpeg::StatusForFailure(d.err);

    JOCTET* iccData = nullptr;
    unsigned iccLength = 0;
    if (!jpeg::ReadIccProfile(d, &iccData, &iccLength))  // a broken ICC chain warns: damaged
        return jpeg::StatusForFailure(d.err);
    const std::unique_ptr<JOCTET, decltype(&std::free)> iccHolder(iccData, &std::free);
    const std::span<const std::uint8_t> icc(iccData, iccData ? iccLength : 0);

    DecodedImage result;
    const DecodeStatus status = jpeg::DecodePixels(d, icc, false, result.pixels);
    if (status != DecodeStatus::Ok)
        return status;
    // CMYK pixels are sRGB now; RGB and grey pixels are unchanged and stay in their profile.
    if (d.cinfo.out_color_space != JCS_CMYK)
        result.icc.assign(icc.begin(), icc.end());
    for (jpeg_saved_marker_ptr marker = d.cinfo.marker_list; marker != nullptr; marker = marker->next) {
        if (KeepMarker(*marker))
            result.markers.push_back(Marker{marker->marker, {marker->data, marker->data + marker->data_length}});
    }
    if (!jpeg::FinishDecompress(d))  // trailing trouble (junk before EOI, no EOI) warns too
        return jpeg::StatusForFailure(d.err);
    out = std::move(result);
    return DecodeStatus::Ok;
}

}  // namespace

DecodeStatus DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedImage& out)
{
    if (!LooksLikeJpeg(bytes))
        return DecodeStatus::NotAnImage;
    try {
        return DecodeJpegInto(bytes, out);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::TooLarge;
    }
}

DecodeStatus DecodeImage(std::span<const std::uint8_t> bytes, DecodedImage& out)
{
    if (bytes.empty())
        return DecodeStatus::NotAnImage;
    // Bytes that start like a JPEG are judged by libjpeg alone: another reader would accept a
    // damaged JPEG that libjpeg rightly calls damaged.
    if (LooksLikeJpeg(bytes))
        return DecodeJpeg(bytes, out);
    return DecodeWithImageReader(bytes, out);
}

bool ReadJpegHeader(std::span<const std::uint8_t> bytes, int& width, int& height, int& components)
{
    if (!LooksLikeJpeg(bytes))
        return false;
    jpeg::Decompressor d;
    if (!jpeg::ReadHeader(d, bytes, jpeg::kKeepNone))
        return false;
    width = static_cast<int>(d.cinfo.image_width);
    height = static_cast<int>(d.cinfo.image_height);
    components = d.cinfo.num_components;
    return true;
}

}  // namespace tramblix
