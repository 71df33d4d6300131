#include "engine/scan_script.h"

namespace tramblix {

void ConfigureScans(jpeg_compress_struct& cinfo, int /*quality*/)
{
    cinfo.optimize_coding = TRUE;
    jpeg_simple_progression(&cinfo);
}

}  // namespace tramblix
