#pragma once

// Test inputs for the engine tests; the libjpeg helpers themselves are in tests/support.

#include <algorithm>
#include <cstdint>
#include <string>

#include <lcms2.h>

#include "tests/support/jpeg_helpers.h"

namespace tramblix::test {

// An APP1 EXIF payload holding only an orientation tag (one IFD entry, type SHORT).
inline Bytes ExifWithOrientation(int orientation, bool bigEndian)
{
    const auto v = static_cast<std::uint8_t>(orientation);
    if (bigEndian)
        return {'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                0x01, 0x12, 0,   3,   0, 0, 0,   1,   0, v,  0, 0, 0, 0, 0, 0};
    return {'E',  'x',  'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
            0x12, 0x01, 3,   0,   1, 0, 0,   0,   v,  0, 0, 0, 0, 0, 0, 0};
}

// The bytes of an lcms2 profile, which is closed.
inline Bytes Profile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// Any bytes (132 or more) with an ICC profile's header: their length, the signature, no tags.
inline Bytes ShapedAsProfile(Bytes bytes)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(bytes.size() >> (24 - 8 * i));
    std::copy_n("acsp", 4, bytes.begin() + 36);
    std::fill_n(bytes.begin() + 128, 4, 0);
    return bytes;
}

inline Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

}  // namespace tramblix::test
