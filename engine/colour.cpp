#include "engine/colour.h"

#include <limits>

#include <lcms2.h>

namespace tramblix {

namespace {

void CloseProfile(void* profile)
{
    cmsCloseProfile(profile);
}

void DeleteTransform(void* transform)
{
    cmsDeleteTransform(transform);
}

using ProfileHandle = std::unique_ptr<void, void (*)(void*)>;

// x * y / 255, rounded, for 8-bit x and y.
inline std::uint8_t MulDiv255(unsigned x, unsigned y)
{
    const unsigned t = x * y + 128;
    return static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
}

// A transform from the embedded profile to sRGB, or null when the profile is missing, not CMYK
// or something lcms2 cannot use; the caller then falls back to the formula.
void* CreateTransform(std::span<const std::uint8_t> iccProfile, bool inverted)
{
    if (iccProfile.empty() || iccProfile.size() > std::numeric_limits<cmsUInt32Number>::max())
        return nullptr;
    ProfileHandle cmyk(cmsOpenProfileFromMem(iccProfile.data(), static_cast<cmsUInt32Number>(iccProfile.size())),
                       &CloseProfile);
    if (!cmyk || cmsGetColorSpace(cmyk.get()) != cmsSigCmykData)
        return nullptr;
    ProfileHandle srgb(cmsCreate_sRGBProfile(), &CloseProfile);
    if (!srgb)
        return nullptr;
    // REV: lcms2 reads 255 as "no ink", which is how Adobe stores CMYK.
    return cmsCreateTransform(cmyk.get(), inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb.get(), TYPE_RGB_8,
                              INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_BLACKPOINTCOMPENSATION);
}

}  // namespace

CmykToSrgb::CmykToSrgb(std::span<const std::uint8_t> iccProfile, bool adobeInverted)
    : transform_(CreateTransform(iccProfile, adobeInverted), &DeleteTransform), inverted_(adobeInverted)
{}

void CmykToSrgb::convert(const std::uint8_t* cmyk, std::uint8_t* rgb, std::size_t pixels) const
{
    if (transform_) {
        // Rows are at most 65500 pixels wide, well within lcms2's 32-bit pixel count.
        cmsDoTransform(transform_.get(), cmyk, rgb, static_cast<cmsUInt32Number>(pixels));
        return;
    }
    // R = (255 - C)(255 - K) / 255 on ink amounts; inverted samples already are 255 - ink.
    const unsigned flip = inverted_ ? 0 : 255;
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, rgb += 3) {
        const unsigned k = cmyk[3] ^ flip;
        rgb[0] = MulDiv255(cmyk[0] ^ flip, k);
        rgb[1] = MulDiv255(cmyk[1] ^ flip, k);
        rgb[2] = MulDiv255(cmyk[2] ^ flip, k);
    }
}

}  // namespace tramblix
