#include "engine/look.h"

#include <algorithm>
#include <cmath>

#include "engine/internal/butteraugli.h"

namespace tramblix {

namespace {

Image BoxAverage(const Image& image, int factor)
{
    Image reduced(image.width / factor, image.height / factor, image.channels);
    const int channels = image.channels;
    for (int y = 0; y < reduced.height; ++y) {
        std::uint8_t* out = reduced.row(y);
        for (int x = 0; x < reduced.width; ++x)
            for (int c = 0; c < channels; ++c) {
                unsigned sum = 0;
                for (int dy = 0; dy < factor; ++dy) {
                    const std::uint8_t* in = image.row(y * factor + dy) + x * factor * channels + c;
                    for (int dx = 0; dx < factor; ++dx)
                        sum += in[dx * channels];
                }
                const unsigned count = static_cast<unsigned>(factor * factor);
                out[x * channels + c] = static_cast<std::uint8_t>((sum + count / 2) / count);
            }
    }
    return reduced;
}

}  // namespace

std::optional<double> ReducedLookDistance(const Image& reference, const Image& distorted, std::uint64_t pixels)
{
    if (reference.empty() || reference.width != distorted.width || reference.height != distorted.height ||
        reference.channels != distorted.channels)
        return std::nullopt;
    const double area = static_cast<double>(reference.width) * static_cast<double>(reference.height);
    int factor =
        pixels == 0 ? 1 : std::max(1, static_cast<int>(std::ceil(std::sqrt(area / static_cast<double>(pixels)))));
    factor = std::min({factor, reference.width, reference.height});
    if (factor == 1)
        return ButteraugliMaxDistance(reference, distorted);
    return ButteraugliMaxDistance(BoxAverage(reference, factor), BoxAverage(distorted, factor));
}

}  // namespace tramblix
