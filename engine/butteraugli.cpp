#include "engine/internal/butteraugli.h"

#include <jxl/butteraugli.h>

#include <algorithm>
#include <memory>

namespace tramblix {

namespace {

// Butteraugli answers 0 for anything under 8 pixels a side; its blurs also need some room.
constexpr int kMinimumSide = 32;

struct ApiDeleter {
    void operator()(JxlButteraugliApi* api) const { JxlButteraugliApiDestroy(api); }
};
struct ResultDeleter {
    void operator()(JxlButteraugliResult* result) const { JxlButteraugliResultDestroy(result); }
};

// A packed RGB copy at least kMinimumSide a side, its last row and column repeated. libjxl 0.7
// aborts on grey input to butteraugli, so grey becomes three equal channels.
Image Padded(const Image& image)
{
    Image padded(std::max(image.width, kMinimumSide), std::max(image.height, kMinimumSide), 3);
    const int channels = image.channels;
    for (int y = 0; y < padded.height; ++y) {
        const std::uint8_t* from = image.row(std::min(y, image.height - 1));
        std::uint8_t* to = padded.row(y);
        for (int x = 0; x < padded.width; ++x) {
            const std::uint8_t* pixel = from + std::min(x, image.width - 1) * channels;
            for (int c = 0; c < 3; ++c)
                to[x * 3 + c] = pixel[channels == 3 ? c : 0];
        }
    }
    return padded;
}

bool Usable(const Image& image)
{
    return image.channels == 3 && image.width >= kMinimumSide && image.height >= kMinimumSide &&
           image.stride == static_cast<std::ptrdiff_t>(image.rowBytes());
}

}  // namespace

std::uint64_t ButteraugliBytes(std::uint64_t pixels)
{
    return pixels * 300 + (16ULL << 20);
}

std::optional<double> ButteraugliMaxDistance(const Image& reference, const Image& distorted, DistanceMap* map)
{
    if (reference.empty() || reference.width != distorted.width || reference.height != distorted.height ||
        reference.channels != distorted.channels || (reference.channels != 1 && reference.channels != 3))
        return std::nullopt;
    Image paddedReference, paddedDistorted;
    const Image* a = &reference;
    const Image* b = &distorted;
    if (!Usable(reference) || !Usable(distorted)) {
        paddedReference = Padded(reference);
        paddedDistorted = Padded(distorted);
        a = &paddedReference;
        b = &paddedDistorted;
    }
    const std::unique_ptr<JxlButteraugliApi, ApiDeleter> api(JxlButteraugliApiCreate(nullptr));
    if (!api)
        return std::nullopt;
    const JxlPixelFormat format{static_cast<std::uint32_t>(a->channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    const std::size_t bytes = a->data.size();
    const std::unique_ptr<JxlButteraugliResult, ResultDeleter> result(
        JxlButteraugliCompute(api.get(), static_cast<std::uint32_t>(a->width), static_cast<std::uint32_t>(a->height),
                              &format, a->data.data(), bytes, &format, b->data.data(), bytes));
    if (!result)
        return std::nullopt;
    if (map != nullptr) {
        const float* values = nullptr;
        std::uint32_t rowStride = 0;
        JxlButteraugliResultGetDistmap(result.get(), &values, &rowStride);
        map->width = reference.width;
        map->height = reference.height;
        map->values.resize(static_cast<std::size_t>(reference.width) * static_cast<std::size_t>(reference.height));
        for (int y = 0; y < reference.height; ++y)
            std::copy(values + static_cast<std::size_t>(y) * rowStride,
                      values + static_cast<std::size_t>(y) * rowStride + reference.width,
                      map->values.begin() + static_cast<std::ptrdiff_t>(y) * reference.width);
    }
    return static_cast<double>(JxlButteraugliResultGetMaxDistance(result.get()));
}

}  // namespace tramblix
