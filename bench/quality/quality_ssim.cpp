// Luma SSIM of two pictures for bench/quality/field_bench.py, as the engine measures it:
//   quality_ssim REFERENCE DISTORTED   -> prints the SSIM, or fails when either does not decode
// Any format the engine reads (JPEG, PNG, ...); the pictures must be the same size.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "engine/codec.h"
#include "engine/ssim.h"

namespace {

bool Load(const char* path, tramblix::DecodedImage& image)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return !bytes.empty() && tramblix::DecodeImage(bytes, image) == tramblix::DecodeStatus::Ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: quality_ssim REFERENCE DISTORTED\n");
        return 2;
    }
    tramblix::DecodedImage a, b;
    if (!Load(argv[1], a) || !Load(argv[2], b)) {
        std::fprintf(stderr, "quality_ssim: cannot decode the pictures\n");
        return 1;
    }
    const auto ssim = tramblix::Ssim(a.pixels, b.pixels);
    if (!ssim) {
        std::fprintf(stderr, "quality_ssim: the pictures differ in size\n");
        return 1;
    }
    std::printf("%.6f\n", *ssim);
    return 0;
}
