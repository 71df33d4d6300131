#pragma once

// Private to the engine: compiled only where TRAMBLIX_ENGINE_INTERNAL is defined (the engine's own
// sources, and white-box tests and benchmarks that link engine_internal).
#ifndef TRAMBLIX_ENGINE_INTERNAL
#error "engine/internal/ headers are private to the engine; include a public engine header instead"
#endif

#include <cstdio>

#include <jpeglib.h>

namespace tramblix {

// Sets optimised Huffman tables and the progressive scan script for an encode at `quality`
// (one for grey, one for YCbCr; other component counts stay sequential). Called after
// jpeg_set_defaults/jpeg_set_quality and any jpeg_set_colorspace, before jpeg_start_compress.
// The script lives in static storage, so it outlasts the encode.
void ConfigureScans(jpeg_compress_struct& cinfo, int quality);

}  // namespace tramblix
