// libFuzzer target: the display decoder of the preview panes and the viewer (JPEG header, DCT
// scaling to a box, CMYK conversion, EXIF orientation), with the box taken from the first bytes.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_budget.h"
#include "fuzz_cases.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tramblix::fuzz::SilenceQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tramblix::fuzz;
    const auto input = ParsePreviewCase(Bytes(data, size));
    // DCT scaling makes a boxed decode up to 64 times cheaper.
    const bool boxed = input && (input->boxWidth > 0 || input->boxHeight > 0);
    if (!input || TooCostly(input->file, boxed ? 64 * kMaxFuzzPixels : kMaxFuzzPixels, false))
        return -1;
    if (const std::string broken = CheckPreview(*input); !broken.empty()) {
        std::fprintf(stderr, "rule broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
