#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/internal/jpeg_common.h"

namespace tramblix {

namespace {

// One step of reading: a marker or one iMCU row of a scan. `result` gets jpeg_consume_input's
// answer. The monitor runs first, as in libjpeg's own loops, so the scan and work limits hold.
bool ConsumeInput(jpeg::Decompressor& d, int* result)
{
    if (setjmp(d.err.jump)) {
        jpeg_destroy_decompress(&d.cinfo);
        return false;
    }
    d.cinfo.progress->progress_monitor(reinterpret_cast<j_common_ptr>(&d.cinfo));
    *result = jpeg_consume_input(&d.cinfo);
    return true;
}

// The components the scan just begun carries, one bit each.
unsigned ComponentsOfScan(const jpeg_decompress_struct& cinfo)
{
    unsigned bits = 0;
    for (int i = 0; i < cinfo.comps_in_scan; ++i)
        bits |= 1u << cinfo.cur_comp_info[i]->component_index;
    return bits;
}

// A progressive file is whole when every coefficient of every component has been refined down
// to its last bit; libjpeg notes the bit position each has reached (-1: none yet).
bool EveryCoefficientComplete(const jpeg_decompress_struct& cinfo)
{
    if (!cinfo.progressive_mode)
        return true;
    for (int c = 0; c < cinfo.num_components; ++c)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (cinfo.coef_bits[c][k] != 0)
                return false;
    return true;
}

}  // namespace

bool IsCompleteJpeg(std::span<const std::uint8_t> bytes, const DecodeLimits& limits)
{
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return false;
    jpeg::Decompressor d(limits);
    d.err.stopOnWarning = true;
    d.progress.checkEnd = true;
    if (!jpeg::ReadHeader(d, bytes, jpeg::kKeepNone))
        return false;
    jpeg_decompress_struct& cinfo = d.cinfo;
    if (jpeg::ExceedsPixelLimit(cinfo.image_width, cinfo.image_height) ||
        jpeg::AllCoefficientBytes(cinfo) > limits.memoryBudget)
        return false;
    unsigned scanned = ComponentsOfScan(cinfo);  // the header ends at the first scan
    // Buffered-image mode reads the scans into the coefficient buffer without any output pass:
    // every entropy-coded bit is decoded (and warns when damaged), no pixel is made.
    cinfo.buffered_image = TRUE;
    if (!jpeg::StartDecompress(d))
        return false;
    for (;;) {
        int result = 0;
        if (!ConsumeInput(d, &result) || result == JPEG_SUSPENDED)
            return false;
        if (result == JPEG_REACHED_EOI)
            break;
        if (result == JPEG_REACHED_SOS)
            scanned |= ComponentsOfScan(cinfo);
    }
    // Arithmetic-coded data that stop early are judged by their pixels (see TailIsSound), which
    // this check does not make: such a file is not counted as complete.
    return d.progress.endedAtRow == UINT_MAX && scanned == (1u << cinfo.num_components) - 1 &&
           EveryCoefficientComplete(cinfo);
}

}  // namespace tramblix
