#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace tramblix {

// Converts decoded CMYK samples to sRGB. With a usable embedded CMYK profile the conversion goes
// through lcms2 (relative colorimetric with black point compensation, as prepress tools do by
// default); otherwise through the plain formula R = (1-C)(1-K) and so on.
// Adobe applications store CMYK inverted (255 = no ink); libjpeg hands those values on as they are.
class CmykToSrgb {
public:
    CmykToSrgb(std::span<const std::uint8_t> iccProfile, bool adobeInverted);

    bool usesProfile() const { return transform_ != nullptr; }

    // `pixels` samples of 4 bytes in, 3 bytes out.
    void convert(const std::uint8_t* cmyk, std::uint8_t* rgb, std::size_t pixels) const;

private:
    std::unique_ptr<void, void (*)(void*)> transform_;
    bool inverted_;
};

}  // namespace tramblix
