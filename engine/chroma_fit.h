#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace tramblix {

// Chroma at half resolution each way (4:2:0), fitted to what decoders show. A decoder spreads
// each sample over the pixels around it with a triangle (3/4 nearer, 1/4 farther, each way),
// which blurs colour edges again after the 2x2 mean has softened them. The fit is the set of
// samples whose triangle upsampling lands nearest the full-resolution chroma in least squares
// (the triangle's transpose, then a short inverse of its normal equations), blended with the
// 2x2 mean by `strength`: 0 gives the mean, 1 the fit.
class ChromaFit {
public:
    // Fills row `y` of the full-resolution Cb and Cr, `width` samples each.
    using RowSource = std::function<void(int y, int* cb, int* cr)>;

    ChromaFit(int width, int height, float strength, RowSource fullRow);

    // Half-resolution row `j` of each channel into `outWidth` samples; rows are asked for in
    // increasing order, rows and columns past the picture repeat its last ones.
    void Row(int j, std::uint8_t* cb, std::uint8_t* cr, int outWidth);

    // Taps of the inverse each side of the centre: the rest weighs under 0.5%.
    static constexpr int kReach = 4;

private:
    // Triangle transpose along one full-resolution row, and its 2x2 mean's pair sums.
    struct FullRow {
        int y = -1;
        std::vector<float> tent[2], pair[2];
    };
    // The triangle transpose of one half-resolution row and its 2x2 mean.
    struct HalfRow {
        std::vector<float> tent[2], mean[2];
    };

    const FullRow& Full(int y);
    void ComputeHalf(int j);

    int width_, height_, halfWidth_, halfHeight_;
    float strength_;
    RowSource fullRow_;
    float inverse_[2 * kReach + 1];
    FullRow full_[4];
    HalfRow half_[2 * kReach + 1];
    int nextHalf_ = 0;
    std::vector<int> samples_[2];
    std::vector<float> column_[2];
};

}  // namespace tramblix
