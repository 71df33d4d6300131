#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/internal/jpeg_common.h"

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

bool IsXmp(const jpeg_marker_struct& marker)
{
    using namespace std::string_view_literals;
    return marker.marker == JPEG_APP0 + 1 && (HasPrefix(marker, "http://ns.adobe.com/xap/1.0/\0"sv) ||
                                              HasPrefix(marker, "http://ns.adobe.com/xmp/extension/\0"sv));
}

bool Mentions(const jpeg_marker_struct& marker, std::string_view text)
{
    const auto* begin = reinterpret_cast<const char*>(marker.data);
    return std::string_view(begin, marker.data_length).find(text) != std::string_view::npos;
}

// An HDR gain map or a motion photo's video lives after the main picture, which is all a
// decode carries: XMP that describes or locates them (the container directory, a video's offset
// from the end of the file) would describe nothing or point into the new picture. Where they are
// kept, the caller writes that XMP back (multi_picture.h).
bool DescribesGainMap(jpeg_saved_marker_ptr markers)
{
    for (jpeg_saved_marker_ptr marker = markers; marker != nullptr; marker = marker->next) {
        if (IsXmp(*marker) &&
            (Mentions(*marker, "http://ns.adobe.com/hdr-gain-map/1.0/") ||
             Mentions(*marker, "http://ns.google.com/photos/1.0/container/") || Mentions(*marker, "MicroVideoOffset")))
            return true;
    }
    return false;
}

// The metadata we carry over: EXIF, XMP (with its extension segments, which the main packet
// refers to), IPTC captions and keywords, and comments. JFIF and Adobe segments are written by libjpeg to match the new
// file; MPF, maker segments and the like describe the old file's layout and are dropped.
bool KeepMarker(const jpeg_marker_struct& marker, bool dropXmp)
{
    using namespace std::string_view_literals;
    if (marker.data_length != marker.original_length)  // cut short when saved
        return false;
    if (marker.marker == JPEG_COM)
        return true;
    if (marker.marker == JPEG_APP0 + 13)
        return HasPrefix(marker, "Photoshop 3.0\0"sv);
    if (IsXmp(marker))
        return !dropXmp;
    return marker.marker == JPEG_APP0 + 1 && HasPrefix(marker, "Exif\0\0"sv);
}

DecodeStatus Failed(const jpeg::Decompressor& d, DecodeDetail* detail)
{
    if (detail != nullptr)
        *detail = jpeg::FailureText(d.err);
    return jpeg::StatusForFailure(d.err);
}

// The steps of the tables the luma (and 4:2:0 chroma) blocks were quantised with. Read after the
// decode, when every component's table is known; CMYK and odd layouts give none.
SourceSteps StepsOf(const jpeg_decompress_struct& cinfo)
{
    SourceSteps steps;
    const bool grey = cinfo.jpeg_color_space == JCS_GRAYSCALE && cinfo.num_components == 1;
    const bool ycc = cinfo.jpeg_color_space == JCS_YCbCr && cinfo.num_components == 3;
    const jpeg_component_info* c = cinfo.comp_info;
    if ((!grey && !ycc) || c[0].quant_table == nullptr || c[0].h_samp_factor != cinfo.max_h_samp_factor ||
        c[0].v_samp_factor != cinfo.max_v_samp_factor)
        return steps;
    for (int i = 0; i < 64; ++i)
        if (c[0].quant_table->quantval[i] == 0)
            return steps;
    std::copy_n(c[0].quant_table->quantval, 64, steps.luma);
    if (ycc && c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2 && c[1].quant_table != nullptr &&
        c[2].quant_table != nullptr) {
        bool sound = true;
        for (int ci = 1; ci < 3; ++ci)
            sound = sound && c[ci].h_samp_factor == 1 && c[ci].v_samp_factor == 1;
        for (int i = 0; i < 64 && sound; ++i)
            sound =
                c[1].quant_table->quantval[i] != 0 && c[1].quant_table->quantval[i] == c[2].quant_table->quantval[i];
        if (sound)
            std::copy_n(c[1].quant_table->quantval, 64, steps.chroma);
    }
    return steps;
}

DecodeStatus DecodeJpegInto(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits,
                            DecodeDetail* detail)
{
    jpeg::Decompressor d(limits);
    d.err.stopOnWarning = true;  // any warning makes the file damaged: no need to decode on
    d.progress.checkEnd = true;
    if (!jpeg::ReadHeader(d, bytes, jpeg::kKeepApp1 | jpeg::kKeepIcc | jpeg::kKeepComment | jpeg::kKeepApp13))
        return Failed(d, detail);

    // Refused before libjpeg allocates anything for the picture and before our buffer exists.
    const jpeg_decompress_struct& cinfo = d.cinfo;
    if (jpeg::ExceedsPixelLimit(cinfo.image_width, cinfo.image_height))
        return DecodeStatus::TooLarge;
    const int channels = cinfo.jpeg_color_space == JCS_GRAYSCALE ? 1 : 3;
    const std::uint64_t pixels = static_cast<std::uint64_t>(cinfo.image_width) * cinfo.image_height * channels;
    const std::uint64_t needed = std::max(bytes.size() + jpeg::CoefficientBytes(cinfo) + pixels,
                                          PipelineBytes(bytes.size(), cinfo.image_width, cinfo.image_height, channels));
    if (const DecodeStatus room = jpeg::Reserve(limits, needed, detail); room != DecodeStatus::Ok)
        return room;

    // A broken set is no profile, not an error: the pixels are sound.
    std::vector<std::uint8_t> icc = jpeg::IccProfile(cinfo);

    DecodedImage result;
    const DecodeStatus status = jpeg::DecodePixels(d, icc, false, result.pixels);
    if (status != DecodeStatus::Ok)
        return d.err.failure == jpeg::Failure::None ? status : Failed(d, detail);
    if (!jpeg::TailIsSound(d, result.pixels)) {
        if (detail != nullptr)
            *detail = "arithmetic-coded data end before the last row";
        return DecodeStatus::Damaged;
    }
    // CMYK pixels are sRGB now; RGB and grey pixels are unchanged and stay in their profile.
    if (cinfo.out_color_space != JCS_CMYK)
        result.icc = std::move(icc);
    result.markers = jpeg::KeptMarkers(cinfo);
    if (cinfo.out_color_space != JCS_CMYK)
        result.sourceSteps = StepsOf(cinfo);
    if (cinfo.saw_JFIF_marker)
        result.density = Density{cinfo.density_unit, cinfo.X_density, cinfo.Y_density};
    if (!jpeg::FinishDecompress(d))  // trailing trouble (junk before EOI, no EOI) warns too
        return Failed(d, detail);
    out = std::move(result);
    return DecodeStatus::Ok;
}

}  // namespace

DecodeStatus DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits,
                        DecodeDetail* detail)
{
    if (!LooksLikeJpeg(bytes))
        return DecodeStatus::NotAnImage;
    try {
        return DecodeJpegInto(bytes, out, limits, detail);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::OutOfMemory;
    }
}

DecodeStatus DecodeImage(std::span<const std::uint8_t> bytes, DecodedImage& out, const DecodeLimits& limits,
                         DecodeDetail* detail)
{
    if (bytes.empty())
        return DecodeStatus::NotAnImage;
    // Bytes that start like a JPEG are judged by libjpeg alone: another reader would accept a
    // damaged JPEG that libjpeg rightly calls damaged.
    if (LooksLikeJpeg(bytes))
        return DecodeJpeg(bytes, out, limits, detail);
    return DecodeWithImageReader(bytes, out, limits, detail);
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

namespace tramblix::jpeg {

std::vector<Marker> KeptMarkers(const jpeg_decompress_struct& cinfo)
{
    std::vector<Marker> kept;
    const bool dropXmp = DescribesGainMap(cinfo.marker_list);
    for (jpeg_saved_marker_ptr marker = cinfo.marker_list; marker != nullptr; marker = marker->next) {
        if (KeepMarker(*marker, dropXmp))
            kept.push_back(Marker{marker->marker, {marker->data, marker->data + marker->data_length}});
    }
    return kept;
}

}  // namespace tramblix::jpeg
