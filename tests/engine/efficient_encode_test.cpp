#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <ostream>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "engine/chroma_fit.h"
#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/efficient_encode.h"
#include "engine/masking.h"
#include "engine/quantise.h"
#include "engine/ssim.h"

using namespace tramblix;

namespace {

// Gradients plus noise: photo-like, so every band of the transform has work to do.
DecodedImage Photo(int width, int height, int channels, unsigned seed = 7)
{
    DecodedImage image;
    image.pixels = Image(width, height, channels);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * channels; ++x)
            image.pixels.row(y)[x] = static_cast<std::uint8_t>((x * 5 + y * 3) % 190 + random() % 60);
    return image;
}

Image Decoded(const std::vector<std::uint8_t>& jpeg)
{
    DecodedImage image;
    EXPECT_EQ(DecodeJpeg(jpeg, image), DecodeStatus::Ok);
    return image.pixels;
}

// The textbook transform in doubles, scaled by 8 as libjpeg scales it.
void ReferenceDct(const std::uint8_t* samples, double out[64])
{
    const double pi = std::acos(-1.0);
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            double sum = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    sum += (samples[y * 8 + x] - 128.0) * std::cos((2 * x + 1) * u * pi / 16) *
                           std::cos((2 * y + 1) * v * pi / 16);
            out[v * 8 + u] = 2.0 * (u == 0 ? std::sqrt(0.5) : 1.0) * (v == 0 ? std::sqrt(0.5) : 1.0) * sum;
        }
}

// Any code lengths do for the trellis's properties: random ones reach runs and sizes that
// real tables make rare.
AcCodeLengths RandomLengths(std::mt19937& random)
{
    AcCodeLengths lengths;
    for (auto& bits : lengths.bits)
        bits = static_cast<std::uint8_t>(2 + random() % 15);
    return lengths;
}

// What the trellis minimises, counted plainly along the zigzag: squared error in steps plus
// lambda times the bits of run/size codes, sixteen-zero codes, magnitudes and end of block.
double TrellisCost(const double steps[64], const int values[64], double lambda, const AcCodeLengths& lengths)
{
    double error = 0, bits = 0;
    for (int k = 1, run = 0; k < 64; ++k, ++run) {
        const int v = std::abs(values[k]);
        error += (std::abs(steps[k]) - v) * (std::abs(steps[k]) - v);
        const int size = v == 0 ? 0 : static_cast<int>(std::log2(v)) + 1;
        if (v != 0)
            bits += (run / 16) * lengths.bits[0xF0] + lengths.bits[((run % 16) << 4) | size] + size, run = -1;
        if (k == 63 && v == 0)
            bits += lengths.bits[0x00];
    }
    return error + lambda * bits;
}

}  // namespace

// On sparse blocks every choice can be tried: the trellis must find the cheapest, whatever the
// code lengths (long zero runs, values at the last position, blocks best left empty).
TEST(Quantise, TrellisFindsTheCheapestChoice)
{
    std::mt19937 random(5);
    for (int trial = 0; trial < 400; ++trial) {
        const AcCodeLengths lengths = RandomLengths(random);
        std::uint16_t table[64];
        std::int32_t coefficients[64] = {};
        double steps[64] = {};  // zigzag order
        std::vector<int> live;  // positions with more than one choice
        for (int k = 1; k < 64; ++k) {
            const int i = kZigzagToNatural[k];
            table[i] = static_cast<std::uint16_t>(1 + random() % 50);
            const bool big = live.size() < 5 && random() % (trial % 2 ? 8 : 30) == 0;
            const double s = (big ? 0.6 + (random() % 300) / 100.0 : (random() % 45) / 100.0) * (random() % 2 ? 1 : -1);
            coefficients[i] = static_cast<std::int32_t>(std::lround(s * 8 * table[i]));
            steps[k] = coefficients[i] / (8.0 * table[i]);
            if (std::abs(steps[k]) >= 0.5)
                live.push_back(k);
        }
        table[0] = 8;
        const float lambda = 0.05f + static_cast<float>(random() % 200) / 100.0f;
        std::int16_t out[64];
        QuantiseTrellis(coefficients, QuantSteps(table), lambda, lengths, out);
        int chosen[64] = {}, values[64] = {};
        for (int k = 1; k < 64; ++k)
            chosen[k] = out[kZigzagToNatural[k]];
        double cheapest = 1e300;
        for (int c = 0; c < static_cast<int>(std::pow(3, live.size())); ++c) {
            for (int code = c, n = 0; n < static_cast<int>(live.size()); ++n, code /= 3) {
                const int nearest = static_cast<int>(std::abs(steps[live[n]]) + 0.5);
                values[live[n]] = code % 3 == 0 ? nearest : code % 3 == 1 ? std::max(0, nearest - 1) : 0;
            }
            cheapest = std::min(cheapest, TrellisCost(steps, values, lambda, lengths));
        }
        EXPECT_NEAR(TrellisCost(steps, chosen, lambda, lengths), cheapest, 1e-3 * cheapest + 1e-6) << "trial " << trial;
    }
}

TEST(Quantise, AgreesWithPlainReferenceOnRandomBlocks)
{
    std::mt19937 random(1);
    for (int trial = 0; trial < 300; ++trial) {
        std::uint8_t samples[64];
        const int spread = 1 + trial % 256;  // flat blocks to full-range noise
        const int base = static_cast<int>(random() % 256);
        for (auto& s : samples)
            s = static_cast<std::uint8_t>(std::clamp(base + static_cast<int>(random() % spread) - spread / 2, 0, 255));
        std::uint16_t table[64];
        for (auto& q : table)
            q = static_cast<std::uint16_t>(1 + random() % (trial % 3 == 0 ? 4 : 120));

        std::int32_t coefficients[64];
        ForwardDct(samples, 8, coefficients);
        double reference[64];
        ReferenceDct(samples, reference);
        std::int16_t nearest[64], rd[64], plain[64], dead[64];
        QuantiseNearest(coefficients, QuantSteps(table), nearest);
        const float threshold = 0.5f + static_cast<float>(trial % 5) * 0.25f;  // exact in binary
        QuantiseDeadZone(coefficients, QuantSteps(table), threshold, dead);
        QuantiseTrellis(coefficients, QuantSteps(table), 0.0f, RandomLengths(random), plain);
        QuantiseTrellis(coefficients, QuantSteps(table), 0.05f, RandomLengths(random), rd);
        for (int i = 0; i < 64; ++i) {
            EXPECT_NEAR(coefficients[i], reference[i], 3.0) << "trial " << trial << " index " << i;
            const double steps = coefficients[i] / (8.0 * table[i]);
            EXPECT_EQ(nearest[i], static_cast<int>(steps < 0 ? -std::floor(-steps + 0.5) : std::floor(steps + 0.5)));
            EXPECT_EQ(plain[i], nearest[i]) << "bits at no price must be plain rounding";
            EXPECT_EQ(dead[i], i != 0 && std::abs(steps) < threshold ? 0 : nearest[i]) << "dead zone " << threshold;
            // RD only moves a value toward zero (one step, or a small one to zero), never the DC.
            EXPECT_LE(std::abs(rd[i]), std::abs(nearest[i]));
            EXPECT_TRUE(std::abs(rd[i]) >= std::abs(nearest[i]) - 1 || (rd[i] == 0 && std::abs(nearest[i]) <= 2));
            EXPECT_GE(rd[i] * nearest[i], 0);
        }
        EXPECT_EQ(rd[0], nearest[0]);
    }
}

// BlockMasking against its measure computed plainly: every sample's Laplacian over the picture
// with edges repeated, cells, the two calmest of each neighbourhood by sorting, the ramp.
TEST(Masking, AgreesWithPlainReferenceOnRandomPictures)
{
    std::mt19937 random(11);
    for (int round = 0; round < 12; ++round) {
        const int w = 1 + static_cast<int>(random() % 40), h = 1 + static_cast<int>(random() % 40);
        const int bw = (w + 7) / 8 + static_cast<int>(random() % 2), bh = (h + 7) / 8, spread = 1 + random() % 64;
        std::vector<std::uint8_t> luma(static_cast<std::size_t>(w) * h);
        for (auto& v : luma)
            v = static_cast<std::uint8_t>(100 + random() % spread);
        const auto at = [&](int x, int y) { return luma[std::clamp(y, 0, h - 1) * w + std::clamp(x, 0, w - 1)] * 1.0; };
        const auto cell = [&](int cx, int cy) {  // cells past the picture repeat its last ones
            cx = std::clamp(std::min(cx, 2 * bw - 1), 0, (w - 1) / 4),
            cy = std::clamp(std::min(cy, 2 * bh - 1), 0, (h - 1) / 4);
            double sum = 0, n = 0;
            for (int y = 4 * cy; y < std::min(h, 4 * cy + 4); ++y)
                for (int x = 4 * cx; x < std::min(w, 4 * cx + 4); ++x, ++n)
                    sum += std::abs(4 * at(x, y) - at(x - 1, y) - at(x + 1, y) - at(x, y - 1) - at(x, y + 1)) / 4;
            return sum / n;
        };
        const auto got =
            BlockMasking(w, h, bw, bh, [&](int y, std::uint8_t* row) { std::copy_n(&luma[y * w], w, row); });
        ASSERT_EQ(got.size(), static_cast<std::size_t>(bw * bh));
        for (int b = 0; b < bw * bh; ++b) {
            double activity = 0;
            for (int c = 0; c < 4; ++c) {
                std::vector<double> near;
                for (int d = 0; d < 9; ++d)
                    near.push_back(cell(2 * (b % bw) + c % 2 + d % 3 - 1, 2 * (b / bw) + c / 2 + d / 3 - 1));
                std::sort(near.begin(), near.end());
                activity += (near[0] + near[1]) / 8;
            }
            EXPECT_NEAR(got[b], std::clamp((activity - kMaskingFloor) / kMaskingSpan, 0.0, 1.0), 1e-4) << w << "x" << h;
        }
    }
}

// ChromaFit against the mean and a decoder's triangle upsampling computed plainly: strength 0 is
// the 2x2 mean, flat stays flat, and the fit, upsampled, comes nearer the full chroma than the
// mean does (at full strength, and part of the way at less), rows and columns past the end repeat.
TEST(ChromaFit, UpsampledComesNearerTheFullChromaThanTheMean)
{
    std::mt19937 random(21);
    for (int round = 0; round < 40; ++round) {
        const int w = 1 + static_cast<int>(random() % 37), h = 1 + static_cast<int>(random() % 29);
        const int hw = (w + 1) / 2, hh = (h + 1) / 2, flat = round % 8 == 0 ? 0 : 1;
        std::vector<int> full(static_cast<std::size_t>(2 * w * h));  // Cb then Cr, sharp blobs and noise
        for (std::size_t i = 0; i < full.size(); ++i)
            full[i] = 120 + flat * (((i % w) / 5 + (i / w) / 3) % 3 * 40 + static_cast<int>(random() % 9));
        const auto at = [&](int c, int x, int y) {
            return full[(c * h + std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)];
        };
        double error[3] = {};
        for (int s = 0; s < 3; ++s) {
            ChromaFit fit(w, h, s * 0.5f, [&](int y, int* cb, int* cr) {
                for (int x = 0; x < w; ++x)
                    cb[x] = at(0, x, y), cr[x] = at(1, x, y);
            });
            std::vector<std::uint8_t> half[2];
            for (auto& plane : half)
                plane.resize(static_cast<std::size_t>((hw + 3) * (hh + 2)));
            for (int j = 0; j < hh + 2; ++j)
                fit.Row(j, &half[0][j * (hw + 3)], &half[1][j * (hw + 3)], hw + 3);
            const auto sample = [&](int c, int i, int j) {
                return half[c][std::clamp(j, 0, hh - 1) * (hw + 3) + std::clamp(i, 0, hw - 1)] * 1.0;
            };
            for (int c = 0; c < 2; ++c)
                for (int j = 0; j < hh + 2; ++j)
                    for (int i = 0; i < hw + 3; ++i) {
                        const double mean = (at(c, 2 * i, 2 * j) + at(c, 2 * i + 1, 2 * j) + at(c, 2 * i, 2 * j + 1) +
                                             at(c, 2 * i + 1, 2 * j + 1)) /
                                            4.0;
                        const bool inside = i < hw && j < hh;
                        if (!inside) {
                            EXPECT_EQ(half[c][j * (hw + 3) + i], sample(c, i, j)) << "past the end";
                        } else if (s == 0 || flat == 0) {
                            EXPECT_NEAR(half[c][j * (hw + 3) + i], mean, flat ? 1.0 : 0.0);
                        }
                    }
            for (int c = 0; c < 2; ++c)  // each pixel from its nearer and farther half samples, 3/4 and 1/4 each way
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const int i = x / 2, j = y / 2, fi = x % 2 ? i + 1 : i - 1, fj = y % 2 ? j + 1 : j - 1;
                        const double up =
                            (9 * sample(c, i, j) + 3 * sample(c, fi, j) + 3 * sample(c, i, fj) + sample(c, fi, fj)) /
                            16;
                        error[s] += (up - at(c, x, y)) * (up - at(c, x, y));
                    }
        }
        if (flat && w >= 6 && h >= 6) {
            EXPECT_LT(error[2], 0.9 * error[0]) << w << "x" << h;
            EXPECT_LT(error[1], error[0]) << w << "x" << h;
        }
    }
}

struct Shape {
    int width;
    int height;
    int channels;
};

void PrintTo(const Shape& shape, std::ostream* os)
{
    *os << shape.width << "x" << shape.height << (shape.channels == 1 ? "_grey" : "_colour");
}

class EfficientRoundTrip : public ::testing::TestWithParam<Shape> {};

// With its tools off the efficient path must write the standard encoder's pixels; edges and
// padding blocks are where the two could differ, hence the odd sizes.
TEST_P(EfficientRoundTrip, ToolsOffGiveStandardPixelsToolsOnStayClose)
{
    const Shape shape = GetParam();
    const DecodedImage image = Photo(shape.width, shape.height, shape.channels);
    for (int quality : {90, 50, 15}) {
        std::vector<std::uint8_t> standard, plain, efficient;
        ASSERT_TRUE(EncodeJpeg(image, quality, standard));
        ASSERT_TRUE(EncodeJpegEfficient(image, quality, plain, EfficientTools{false, false, false, false}));
        ASSERT_TRUE(EncodeJpegEfficient(image, quality, efficient));
        const Image expected = Decoded(standard);
        EXPECT_EQ(Decoded(plain).data, expected.data) << "quality " << quality;

        const Image decoded = Decoded(efficient);
        EXPECT_EQ(decoded.channels, shape.channels) << "grey stays grey";
        ASSERT_EQ(decoded.width, shape.width);
        ASSERT_EQ(decoded.height, shape.height);
        const double ssim = Ssim(decoded, image.pixels).value_or(0);
        // A sanity bound, not the look (field_bench.py measures that): noise at quality 15, with
        // coarser steps and the most masking, loses most (a one-row strip 0.3 of luma SSIM).
        EXPECT_GT(ssim, Ssim(expected, image.pixels).value_or(1) - (quality < 20 ? .35 : .15)) << quality;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EfficientRoundTrip,
                         ::testing::Values(Shape{1, 1, 3}, Shape{17, 9, 3}, Shape{33, 47, 3}, Shape{64, 64, 3},
                                           Shape{8, 100, 3}, Shape{31, 1, 1}, Shape{45, 23, 1}),
                         ::testing::PrintToStringParamName());

TEST(EfficientEncode, KeepsSegmentsIccAndDensity)
{
    DecodedImage image = Photo(40, 30, 3);
    image.icc = test::ShapedAsProfile(std::vector<std::uint8_t>(3000, 7));
    image.markers.push_back(Marker{0xFE, {'h', 'i'}});
    image.density = Density{1, 300, 72};
    std::vector<std::uint8_t> jpeg;
    ASSERT_TRUE(EncodeJpegEfficient(image, 50, jpeg));
    DecodedImage back;
    ASSERT_EQ(DecodeJpeg(jpeg, back), DecodeStatus::Ok);
    EXPECT_EQ(back.icc, image.icc);
    EXPECT_EQ(back.density.unit, 1);
    EXPECT_EQ(back.density.x, 300);
    EXPECT_EQ(back.density.y, 72);
    ASSERT_EQ(back.markers.size(), 1u);
    EXPECT_EQ(back.markers[0].bytes, image.markers[0].bytes);
}

// A JPEG asked for at a finer level than it was made at: the efficient encoder keeps the file's
// own steps, so it gives back the file's pixels in no more bytes than the standard encoder's
// finer, requantised copy.
TEST(EfficientEncode, NeverQuantisesFinerThanTheSourceJpeg)
{
    for (int channels : {3, 1}) {
        std::vector<std::uint8_t> source;
        ASSERT_TRUE(EncodeJpeg(Photo(96, 64, channels), 50, source));
        DecodedImage decoded;
        ASSERT_EQ(DecodeJpeg(source, decoded), DecodeStatus::Ok);
        ASSERT_TRUE(decoded.sourceSteps.present());
        EXPECT_EQ(decoded.sourceSteps.hasChroma(), channels == 3);
        EXPECT_EQ(decoded.sourceSteps.luma[0], 16) << "quality 50 keeps the base table's DC step";

        std::vector<std::uint8_t> standard, efficient;
        ASSERT_TRUE(EncodeJpeg(decoded, 90, standard));
        ASSERT_TRUE(EncodeJpegEfficient(decoded, 90, efficient));
        // Requantised at quality 90 the file grows by a third; on its own steps it stays its size.
        EXPECT_LT(efficient.size(), source.size() * 11 / 10);
        EXPECT_LT(efficient.size(), standard.size());
        EXPECT_GT(Ssim(Decoded(efficient), decoded.pixels).value_or(0),
                  Ssim(Decoded(standard), decoded.pixels).value_or(1));
        // The same pixels saved in another format: the grid is found from the pixels alone.
        decoded.sourceSteps = {};
        ASSERT_TRUE(EncodeJpegEfficient(decoded, 90, efficient));
        EXPECT_LT(efficient.size(), source.size() * 11 / 10) << channels;
    }
}

namespace {

// Per level: the sum of all tables' steps and of the decoded pixels of a picture whose noise
// grows from left to right, so that masking runs from none to full.
std::vector<long> Fingerprint(const EfficientTools& tools)
{
    DecodedImage image = Photo(96, 48, 3);
    std::mt19937 random(9);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 96 * 3; ++x)
            image.pixels.row(y)[x] = static_cast<std::uint8_t>((x * 5 + y * 3) % 190 + random() % (1 + x / 6));
    std::vector<long> sums;
    for (int quality : {90, 80, 70, 60, 50, 40, 30, 25, 20, 15}) {
        std::vector<std::uint8_t> jpeg;
        DecodedImage back;
        EXPECT_TRUE(EncodeJpegEfficient(image, quality, jpeg, tools));
        EXPECT_EQ(DecodeJpeg(jpeg, back), DecodeStatus::Ok);
        // Every table's steps (Cr has its own), from the DQT segments before the first scan.
        long steps = 0;
        for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at + 1] != 0xDA;) {
            const std::size_t length = jpeg[at + 2] * 256u + jpeg[at + 3];
            if (jpeg[at + 1] == 0xDB)
                steps += std::accumulate(jpeg.begin() + at + 4, jpeg.begin() + at + 2 + length, 0L);
            at += 2 + length;
        }
        sums.push_back(steps);
        sums.push_back(std::accumulate(back.pixels.data.begin(), back.pixels.data.end(), 0L));
    }
    return sums;
}

}  // namespace

// The tuned numbers were calibrated with bench/quality/field_bench.py --search; one changed needs
// that bench again. The fingerprint sees a 1% change of any one of them.
TEST(EfficientEncode, TunedNumbersAreTheCalibratedOnes)
{
    const std::vector<long> calibrated = Fingerprint({});
    EXPECT_EQ(calibrated,
              (std::vector<long>{2027,  1476209, 3844,  1476555, 5004,  1475597, 7046,  1474179, 8109,  1473449,
                                 10209, 1473983, 14151, 1475047, 17998, 1477381, 21507, 1474854, 25781, 1473414}));
    EfficientTools changed;
    EfficientTuning& t = changed.tuning;
    std::vector<float*> numbers{&t.lumaLambda,      &t.maskedLambda, &t.chromaZero,
                                &t.lumaDiagonalCap, &t.chromaFit,    &t.fineChromaScale};
    for (auto& weights : t.bandWeight)
        for (float& weight : weights)
            numbers.push_back(&weight);
    for (auto& point : t.look)
        numbers.push_back(&point.scale);
    for (std::size_t n = 0; n < numbers.size(); ++n) {
        const float kept = *numbers[n];
        *numbers[n] = kept * 1.01f;
        EXPECT_NE(Fingerprint(changed), calibrated) << "number " << n;
        *numbers[n] = kept;
    }
}

TEST(Ssim, IdenticalIsOneAndMoreNoiseScoresLower)
{
    const DecodedImage image = Photo(60, 50, 3);
    EXPECT_DOUBLE_EQ(Ssim(image.pixels, image.pixels).value_or(0), 1.0);
    double previous = 1.0;
    std::mt19937 random(3);
    for (int noise : {4, 16, 64}) {
        Image noisy = image.pixels;
        for (auto& v : noisy.data)
            v = static_cast<std::uint8_t>(std::clamp(v + static_cast<int>(random() % (2 * noise + 1)) - noise, 0, 255));
        const double ssim = Ssim(image.pixels, noisy).value_or(1);
        EXPECT_LT(ssim, previous) << "noise " << noise;
        previous = ssim;
    }
    EXPECT_FALSE(Ssim(image.pixels, Photo(60, 51, 3).pixels).has_value());
    EXPECT_FALSE(Ssim(image.pixels, Photo(60, 50, 1).pixels).has_value());
}
