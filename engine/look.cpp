#include "engine/look.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/internal/butteraugli.h"

namespace tramblix {

Image BoxDownscale(const Image& image, int factor)
{
    Image out(image.width / factor, image.height / factor, image.channels);
    const int channels = image.channels;
    std::vector<unsigned> sums(out.rowBytes());
    const unsigned area = static_cast<unsigned>(factor * factor);
    for (int y = 0; y < out.height; ++y) {
        std::fill(sums.begin(), sums.end(), 0U);
        for (int dy = 0; dy < factor; ++dy) {
            const std::uint8_t* row = image.row(y * factor + dy);
            for (int x = 0; x < out.width; ++x)
                for (int dx = 0; dx < factor; ++dx)
                    for (int c = 0; c < channels; ++c)
                        sums[static_cast<std::size_t>(x * channels + c)] += row[(x * factor + dx) * channels + c];
        }
        std::uint8_t* to = out.row(y);
        for (std::size_t i = 0; i < sums.size(); ++i)
            to[i] = static_cast<std::uint8_t>((sums[i] + area / 2) / area);
    }
    return out;
}

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
    return ButteraugliMaxDistance(BoxDownscale(reference, factor), BoxDownscale(distorted, factor));
}

}  // namespace tramblix
