#pragma once

#include <cstdio>

#include <jpeglib.h>

namespace tramblix {

// Chooses the scan layout (progressive script or optimised baseline) for an encode at
// `quality`. Called after jpeg_set_defaults/jpeg_set_quality and before jpeg_start_compress.
void ConfigureScans(jpeg_compress_struct& cinfo, int quality);

}  // namespace tramblix
