#include "engine/chroma_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tramblix {

namespace {

// The triangle's transpose, one way: a half-resolution sample gathers full-resolution samples
// 2i-1 .. 2i+2 with these weights (normalised so that flat areas stay as they are).
constexpr float kTent[4]{0.125f, 0.375f, 0.375f, 0.125f};

}  // namespace

ChromaFit::ChromaFit(int width, int height, float strength, RowSource fullRow)
    : width_(width),
      height_(height),
      halfWidth_((width + 1) / 2),
      halfHeight_((height + 1) / 2),
      strength_(strength),
      fullRow_(std::move(fullRow))
{
    // The normal equations of the triangle, one way, are (6, 20, 6) / 32; their inverse is
    // 2 (-1/3)^|n|, cut at kReach taps and scaled back to a sum of 1.
    float sum = 0.0f;
    for (int n = -kReach; n <= kReach; ++n)
        sum += inverse_[n + kReach] = std::pow(-1.0f / 3.0f, static_cast<float>(std::abs(n)));
    for (float& tap : inverse_)
        tap /= sum;
    for (int c = 0; c < 2; ++c) {
        samples_[c].resize(static_cast<std::size_t>(width));
        column_[c].resize(static_cast<std::size_t>(halfWidth_));
        for (FullRow& row : full_) {
            row.tent[c].resize(static_cast<std::size_t>(halfWidth_));
            row.pair[c].resize(static_cast<std::size_t>(halfWidth_));
        }
        for (HalfRow& row : half_) {
            row.tent[c].resize(static_cast<std::size_t>(halfWidth_));
            row.mean[c].resize(static_cast<std::size_t>(halfWidth_));
        }
    }
}

const ChromaFit::FullRow& ChromaFit::Full(int y)
{
    y = std::clamp(y, 0, height_ - 1);
    FullRow& row = full_[y % 4];
    if (row.y == y)
        return row;
    row.y = y;
    fullRow_(y, samples_[0].data(), samples_[1].data());
    const int last = width_ - 1;
    for (int c = 0; c < 2; ++c) {
        const int* s = samples_[c].data();
        for (int i = 0; i < halfWidth_; ++i) {
            const int x = 2 * i;
            const float near0 = static_cast<float>(s[x]), near1 = static_cast<float>(s[std::min(x + 1, last)]);
            row.pair[c][i] = near0 + near1;
            row.tent[c][i] = kTent[0] * static_cast<float>(s[std::max(x - 1, 0)]) + kTent[1] * near0 +
                             kTent[2] * near1 + kTent[3] * static_cast<float>(s[std::min(x + 2, last)]);
        }
    }
    return row;
}

void ChromaFit::ComputeHalf(int j)
{
    HalfRow& out = half_[j % (2 * kReach + 1)];
    const FullRow* rows[4];
    for (int d = 0; d < 4; ++d)
        rows[d] = &Full(2 * j - 1 + d);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < halfWidth_; ++i) {
            out.tent[c][i] = kTent[0] * rows[0]->tent[c][i] + kTent[1] * rows[1]->tent[c][i] +
                             kTent[2] * rows[2]->tent[c][i] + kTent[3] * rows[3]->tent[c][i];
            // Rows 2j and 2j+1, repeated past the last as libjpeg repeats them.
            out.mean[c][i] = 0.25f * (rows[1]->pair[c][i] + (2 * j + 1 < height_ ? rows[2] : rows[1])->pair[c][i]);
        }
}

void ChromaFit::Row(int j, std::uint8_t* cb, std::uint8_t* cr, int outWidth)
{
    j = std::min(j, halfHeight_ - 1);
    for (; nextHalf_ <= std::min(j + kReach, halfHeight_ - 1); ++nextHalf_)
        ComputeHalf(nextHalf_);
    const HalfRow& centre = half_[j % (2 * kReach + 1)];
    std::uint8_t* out[2] = {cb, cr};
    for (int c = 0; c < 2; ++c) {
        float* column = column_[c].data();
        std::fill_n(column, halfWidth_, 0.0f);
        for (int n = -kReach; n <= kReach; ++n) {
            const float* tent = half_[std::clamp(j + n, 0, halfHeight_ - 1) % (2 * kReach + 1)].tent[c].data();
            const float tap = inverse_[n + kReach];
            for (int i = 0; i < halfWidth_; ++i)
                column[i] += tap * tent[i];
        }
        for (int i = 0; i < halfWidth_; ++i) {
            float fit = 0.0f;
            if (i >= kReach && i + kReach < halfWidth_) {
                for (int n = -kReach; n <= kReach; ++n)
                    fit += inverse_[n + kReach] * column[i + n];
            } else {
                for (int n = -kReach; n <= kReach; ++n)
                    fit += inverse_[n + kReach] * column[std::clamp(i + n, 0, halfWidth_ - 1)];
            }
            const float mean = centre.mean[c][i];
            out[c][i] = static_cast<std::uint8_t>(std::clamp(std::lround(mean + strength_ * (fit - mean)), 0L, 255L));
        }
        std::fill(out[c] + halfWidth_, out[c] + outWidth, out[c][halfWidth_ - 1]);
    }
}

}  // namespace tramblix
