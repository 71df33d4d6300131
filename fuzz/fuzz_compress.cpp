// libFuzzer target: CompressBuffer, the whole in-memory engine (decode, filters, encode,
// keep-smaller rule), with the level and AI level taken from the input's first bytes.

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
    const auto input = ParseCompressCase(Bytes(data, size));
    if (!input || TooCostly(input->file, kMaxFuzzPixels, true))
        return -1;  // not added to the corpus
    if (const std::string broken = CheckCompress(*input); !broken.empty()) {
        std::fprintf(stderr, "rule broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
