#include "engine/ssim.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace tramblix {

namespace {

constexpr int kRadius = 5;
constexpr int kTaps = 2 * kRadius + 1;
constexpr int kMoments = 5;  // mean a, mean b, a^2, b^2, a*b

std::array<float, kTaps> GaussianTaps()
{
    std::array<float, kTaps> taps{};
    float total = 0;
    for (int i = 0; i < kTaps; ++i) {
        const float d = static_cast<float>(i - kRadius);
        taps[static_cast<std::size_t>(i)] = std::exp(-d * d / (2.0f * 1.5f * 1.5f));
        total += taps[static_cast<std::size_t>(i)];
    }
    for (float& t : taps)
        t /= total;
    return taps;
}

void LumaRow(const Image& image, int y, float* out)
{
    const std::uint8_t* row = image.row(y);
    if (image.channels == 1) {
        for (int x = 0; x < image.width; ++x)
            out[x] = row[x];
        return;
    }
    for (int x = 0; x < image.width; ++x) {
        const std::uint8_t* p = row + 3 * x;
        out[x] = 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
    }
}

}  // namespace

std::optional<double> Ssim(const Image& a, const Image& b)
{
    if (a.empty() || a.width != b.width || a.height != b.height || a.channels != b.channels ||
        (a.channels != 1 && a.channels != 3))
        return std::nullopt;
    const int w = a.width;
    const int h = a.height;
    const std::size_t width = static_cast<std::size_t>(w);
    const auto taps = GaussianTaps();

    // Horizontally blurred moments of the last kTaps rows, each row in slot (row % kTaps).
    std::vector<float> ring(kTaps * kMoments * width);
    std::vector<float> lumaA(width), lumaB(width), sum(kMoments * width);
    auto blurRow = [&](int y) {
        LumaRow(a, y, lumaA.data());
        LumaRow(b, y, lumaB.data());
        float* out = ring.data() + static_cast<std::size_t>(y % kTaps) * kMoments * width;
        for (int x = 0; x < w; ++x) {
            float m[kMoments] = {};
            for (int t = -kRadius; t <= kRadius; ++t) {
                const std::size_t xs = static_cast<std::size_t>(std::clamp(x + t, 0, w - 1));
                const float k = taps[static_cast<std::size_t>(t + kRadius)];
                const float va = lumaA[xs], vb = lumaB[xs];
                m[0] += k * va;
                m[1] += k * vb;
                m[2] += k * va * va;
                m[3] += k * vb * vb;
                m[4] += k * va * vb;
            }
            for (int i = 0; i < kMoments; ++i)
                out[static_cast<std::size_t>(i) * width + static_cast<std::size_t>(x)] = m[i];
        }
    };

    constexpr double c1 = (0.01 * 255) * (0.01 * 255);
    constexpr double c2 = (0.03 * 255) * (0.03 * 255);
    double total = 0;
    int ready = -1;
    for (int y = 0; y < h; ++y) {
        while (ready < std::min(h - 1, y + kRadius))
            blurRow(++ready);
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (int t = -kRadius; t <= kRadius; ++t) {
            const int source = std::clamp(y + t, 0, h - 1);
            const float k = taps[static_cast<std::size_t>(t + kRadius)];
            const float* in = ring.data() + static_cast<std::size_t>(source % kTaps) * kMoments * width;
            for (std::size_t i = 0; i < sum.size(); ++i)
                sum[i] += k * in[i];
        }
        for (std::size_t x = 0; x < width; ++x) {
            const double ma = sum[x], mb = sum[width + x];
            const double va = sum[2 * width + x] - ma * ma;
            const double vb = sum[3 * width + x] - mb * mb;
            const double cov = sum[4 * width + x] - ma * mb;
            total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
        }
    }
    return total / (static_cast<double>(w) * static_cast<double>(h));
}

}  // namespace tramblix
