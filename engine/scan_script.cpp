#include "engine/internal/scan_script.h"

#include <cstddef>

namespace tramblix {
namespace {

// Progressive scripts measured over our photo corpus (bench/bytes): each scan gets its own
// optimised Huffman table, and the many all-zero high-frequency blocks of a progressive AC
// band cost one end-of-band run instead of one EOB code per block. What pays differs with
// quality:
// - DC in one scan per component, without successive approximation: a DC refinement scan
//   costs a raw bit per block, which loses badly at low quality, and the separate scans give
//   Cb and Cr tables of their own and predict luma DC in raster order.
// - Luma AC as coefficient 1, coefficient 2 and the rest: the first two carry most of the
//   non-zero values, the rest is mostly end-of-band runs.
// - Chroma AC as 1-2 and 3-63, never refined: chroma data is small.
// - Luma successive approximation (low bits held back and sent in refinement scans) pays at
//   high quality, where the low bits are noise that codes better alone, and costs at low
//   quality, where they are mostly zero: two bits from quality 85, one bit from 40, none below.

constexpr jpeg_scan_info Scan(int component, int ss, int se, int ah, int al)
{
    return jpeg_scan_info{1, {component, 0, 0, 0}, ss, se, ah, al};
}

// One scan per line group: DC, luma AC, chroma AC, luma refinements.
constexpr jpeg_scan_info kColourFine[]{
    Scan(0, 0, 0, 0, 0), Scan(1, 0, 0, 0, 0),  Scan(2, 0, 0, 0, 0),  Scan(0, 1, 1, 0, 2),
    Scan(0, 2, 2, 0, 2), Scan(0, 3, 63, 0, 2), Scan(1, 1, 2, 0, 0),  Scan(1, 3, 63, 0, 0),
    Scan(2, 1, 2, 0, 0), Scan(2, 3, 63, 0, 0), Scan(0, 1, 63, 2, 1), Scan(0, 1, 63, 1, 0),
};
constexpr jpeg_scan_info kColourMedium[]{
    Scan(0, 0, 0, 0, 0), Scan(1, 0, 0, 0, 0),  Scan(2, 0, 0, 0, 0),  Scan(0, 1, 1, 0, 1),
    Scan(0, 2, 2, 0, 1), Scan(0, 3, 63, 0, 1), Scan(1, 1, 2, 0, 0),  Scan(1, 3, 63, 0, 0),
    Scan(2, 1, 2, 0, 0), Scan(2, 3, 63, 0, 0), Scan(0, 1, 63, 1, 0),
};
constexpr jpeg_scan_info kColourCoarse[]{
    Scan(0, 0, 0, 0, 0),  Scan(1, 0, 0, 0, 0), Scan(2, 0, 0, 0, 0),  Scan(0, 1, 1, 0, 0), Scan(0, 2, 2, 0, 0),
    Scan(0, 3, 63, 0, 0), Scan(1, 1, 2, 0, 0), Scan(1, 3, 63, 0, 0), Scan(2, 1, 2, 0, 0), Scan(2, 3, 63, 0, 0),
};

constexpr jpeg_scan_info kGreyFine[]{
    Scan(0, 0, 0, 0, 0),  Scan(0, 1, 1, 0, 2),  Scan(0, 2, 2, 0, 2),
    Scan(0, 3, 63, 0, 2), Scan(0, 1, 63, 2, 1), Scan(0, 1, 63, 1, 0),
};
constexpr jpeg_scan_info kGreyMedium[]{
    Scan(0, 0, 0, 0, 0), Scan(0, 1, 1, 0, 1), Scan(0, 2, 2, 0, 1), Scan(0, 3, 63, 0, 1), Scan(0, 1, 63, 1, 0),
};
constexpr jpeg_scan_info kGreyCoarse[]{
    Scan(0, 0, 0, 0, 0),
    Scan(0, 1, 1, 0, 0),
    Scan(0, 2, 2, 0, 0),
    Scan(0, 3, 63, 0, 0),
};

template <std::size_t N>
void UseScript(jpeg_compress_struct& cinfo, const jpeg_scan_info (&script)[N])
{
    // Static storage: libjpeg reads the script until jpeg_finish_compress.
    cinfo.scan_info = script;
    cinfo.num_scans = static_cast<int>(N);
}

}  // namespace

void ConfigureScans(jpeg_compress_struct& cinfo, int quality)
{
    cinfo.optimize_coding = TRUE;
    const bool fine = quality >= 85;
    const bool medium = !fine && quality >= 40;
    if (cinfo.num_components == 3) {
        if (fine)
            UseScript(cinfo, kColourFine);
        else if (medium)
            UseScript(cinfo, kColourMedium);
        else
            UseScript(cinfo, kColourCoarse);
    } else if (cinfo.num_components == 1) {
        if (fine)
            UseScript(cinfo, kGreyFine);
        else if (medium)
            UseScript(cinfo, kGreyMedium);
        else
            UseScript(cinfo, kGreyCoarse);
    } else {
        // We never write other component counts; should one appear, optimised sequential
        // coding is valid for any of them.
        cinfo.scan_info = nullptr;
        cinfo.num_scans = 0;
    }
}

}  // namespace tramblix
