#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filters.h"

namespace tramblix {
namespace {

// Straightforward versions of the filters, one sample at a time, with full working copies and
// full padded scratch buffers. The fast filters must match them bit for bit.
namespace reference {

int At(const Image& image, int x, int y, int i)
{
    return image.row(y)[x * image.channels + i];
}

template <class Fn>
void ForInnerSamples(Image& image, Fn fn)
{
    for (int y = 1; y + 1 < image.height; ++y)
        for (int x = 1; x + 1 < image.width; ++x)
            for (int i = 0; i < image.channels; ++i)
                image.row(y)[x * image.channels + i] = fn(x, y, i);
}

void EdgeLift(Image& image, int threshold)
{
    const Image copy = image;
    ForInnerSamples(image, [&](int x, int y, int i) {
        auto s = [&](int dx, int dy) { return At(copy, x + dx, y + dy, i); };
        const int g = std::max({std::abs(s(1, -1) - s(-1, 1)), std::abs(s(1, 1) - s(-1, -1)),
                                std::abs(s(0, -1) - s(0, 1)), std::abs(s(1, 0) - s(-1, 0))});
        return std::uint8_t(g > threshold && g > s(0, 0) ? g : s(0, 0));
    });
}

bool Kernel(Image& image, const KernelWeights& k)
{
    if (k.divisor == 0)
        return false;
    const Image copy = image;
    ForInnerSamples(image, [&](int x, int y, int i) {
        std::int64_t sum = 0;
        for (int j = 0; j < 9; ++j)
            sum += std::int64_t(k.weight[j]) * At(copy, x + j % 3 - 1, y + j / 3 - 1, i);
        return std::uint8_t(std::clamp<std::int64_t>(sum / k.divisor + k.offset, 0, 255));
    });
    return true;
}

void Sharpen(Image& image, int n)
{
    Kernel(image, {{0, -2, 0, -2, n, -2, 0, -2, 0}, n - 8, 0});
}

void Step(SpeckleDirection e, int w, int h, int c, std::uint8_t* a, std::uint8_t* b, int s)
{
    const int away = ((w + 2) * e.dy + e.dx) * c;
    for (int pass = 1; pass <= 2; ++pass)
        for (int y = 1; y <= h; ++y)
            for (int p = ((w + 2) * y + 1) * c; p < ((w + 2) * y + 1 + w) * c; ++p) {
                if (pass == 1)
                    b[p] = std::uint8_t(s * (a[p + away] - a[p]) >= 2 ? a[p] + s : a[p]);
                else
                    a[p] =
                        std::uint8_t(s * (b[p - away] - b[p]) >= 2 && s * (b[p + away] - b[p]) > 0 ? b[p] + s : b[p]);
            }
}

void Speckle(Image& image, int strength)
{
    const int w = image.width, h = image.height, c = image.channels;
    std::vector<std::uint8_t> a(std::size_t(w + 2) * (h + 2) * c), b(a.size());
    auto inner = [&](int y) { return a.data() + (std::size_t(w + 2) * (y + 1) + 1) * c; };
    for (int y = 0; y < h; ++y)
        std::copy_n(image.row(y), w * c, inner(y));
    for (int d = 0; d < std::min(4, strength - 1); ++d) {
        const SpeckleDirection e = SpeckleDirections[d], back{-e.dx, -e.dy};
        Step(e, w, h, c, a.data(), b.data(), 1);
        Step(back, w, h, c, a.data(), b.data(), 1);
        Step(back, w, h, c, a.data(), b.data(), -1);
        Step(e, w, h, c, a.data(), b.data(), -1);
    }
    for (int y = 0; y < h; ++y)
        std::copy_n(inner(y), w * c, image.row(y));
}

}  // namespace reference

Image FromRows(const std::vector<std::vector<int>>& rows, int channels = 1)
{
    Image image(int(rows[0].size()), int(rows.size()), channels);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            std::fill_n(image.row(y) + x * channels, channels, std::uint8_t(rows[y][x]));
    return image;
}

std::vector<std::vector<int>> Rows(const Image& image, int channel = 0)
{
    std::vector<std::vector<int>> rows(image.height, std::vector<int>(image.width));
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            rows[y][x] = reference::At(image, x, y, channel);
    return rows;
}

// The worked examples, each run through the reference and the fast filter.
struct Example {
    std::string name;
    std::vector<std::vector<int>> before;
    void (*fast)(Image&);
    void (*slow)(Image&);
    std::vector<std::vector<int>> after;
};

void PrintTo(const Example& c, std::ostream* os)
{
    *os << c.name;
}

const std::vector<std::vector<int>> kStep{
    {0, 0, 50, 50, 50}, {0, 0, 50, 50, 50}, {0, 0, 50, 50, 50}, {0, 0, 50, 50, 50}, {0, 0, 50, 50, 50}};
const std::vector<std::vector<int>> kUniform(5, std::vector<int>(5, 100));
auto WithCentre(std::vector<std::vector<int>> rows, int value)
{
    return rows[2][2] = value, rows;
}

const Example kExamples[] = {
    {"EdgeLiftStep",
     kStep,
     [](Image& i) { EdgeLiftPass(i, 9); },
     [](Image& i) { reference::EdgeLift(i, 9); },
     {{0, 0, 50, 50, 50}, {0, 50, 50, 50, 50}, {0, 50, 50, 50, 50}, {0, 50, 50, 50, 50}, {0, 0, 50, 50, 50}}},
    {"SharpenStep",
     kStep,
     [](Image& i) { SharpenPass(i, 20); },
     [](Image& i) { reference::Sharpen(i, 20); },
     {{0, 0, 50, 50, 50}, {0, 0, 58, 50, 50}, {0, 0, 58, 50, 50}, {0, 0, 58, 50, 50}, {0, 0, 50, 50, 50}}},
    {"SharpenSpot",
     WithCentre(kUniform, 110),
     [](Image& i) { SharpenPass(i, 20); },
     [](Image& i) { reference::Sharpen(i, 20); },
     {{100, 100, 100, 100, 100},
      {100, 100, 98, 100, 100},
      {100, 98, 116, 98, 100},
      {100, 100, 98, 100, 100},
      {100, 100, 100, 100, 100}}},
    {"SpeckleUniform",
     kUniform,
     [](Image& i) { SpeckleSmoothing(i, 2); },
     [](Image& i) { reference::Speckle(i, 2); },
     {{99, 99, 99, 99, 99},
      {100, 100, 100, 100, 100},
      {100, 100, 100, 100, 100},
      {100, 100, 100, 100, 100},
      {99, 99, 99, 99, 99}}},
    {"SpeckleSpot",
     WithCentre(kUniform, 90),
     [](Image& i) { SpeckleSmoothing(i, 2); },
     [](Image& i) { reference::Speckle(i, 2); },
     {{99, 99, 98, 99, 99},
      {100, 100, 98, 100, 100},
      {100, 100, 94, 100, 100},
      {100, 100, 98, 100, 100},
      {99, 99, 98, 99, 99}}},
    // Less than 3 pixels across: no inner pixels to lift or sharpen, but speckle smoothing still
    // runs, and a single row meets the zero frame above and below in every step.
    {"EdgeLiftTwoWide",
     {{0, 50}, {0, 50}, {50, 0}, {0, 50}},
     [](Image& i) { EdgeLiftPass(i, 9); },
     [](Image& i) { reference::EdgeLift(i, 9); },
     {{0, 50}, {0, 50}, {50, 0}, {0, 50}}},
    {"SharpenOneHigh",
     {{0, 50, 110, 100, 0}},
     [](Image& i) { SharpenPass(i, 20); },
     [](Image& i) { reference::Sharpen(i, 20); },
     {{0, 50, 110, 100, 0}}},
    {"SpeckleOneHigh",
     {{100, 100, 100, 100, 100}},
     [](Image& i) { SpeckleSmoothing(i, 2); },
     [](Image& i) { reference::Speckle(i, 2); },
     {{96, 96, 96, 96, 96}}},
};

class FilterExample : public testing::TestWithParam<Example> {};

TEST_P(FilterExample, GivesTheWorkedResult)
{
    const Example& example = GetParam();
    for (int channels : {1, 3}) {
        Image fast = FromRows(example.before, channels), slow = fast;
        example.fast(fast);
        example.slow(slow);
        EXPECT_EQ(Rows(slow), example.after) << "reference, channels " << channels;
        for (int i = 0; i < channels; ++i)
            EXPECT_EQ(Rows(fast, i), example.after) << "channels " << channels;
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, FilterExample, testing::ValuesIn(kExamples),
                         [](const auto& info) { return info.param.name; });

TEST(Filters, ChannelsAreIndependent)
{
    Image image = FromRows(kUniform, 3);
    image.row(2)[2 * 3 + 1] = 110;  // only the green sample of the centre
    SharpenPass(image, 20);
    EXPECT_EQ(Rows(image, 1), Rows(FromRows(kExamples[2].after)));
    EXPECT_EQ(Rows(image, 0), kUniform);
    EXPECT_EQ(Rows(image, 2), kUniform);
}

TEST(Filters, KernelWithZeroDivisorChangesNothing)
{
    Image image = FromRows(kStep), before = image;
    EXPECT_FALSE(KernelPass(image, {{1, 1, 1, 1, 1, 1, 1, 1, 1}, 0, 0}));
    EXPECT_EQ(SharpenPass(image, 8), 1);
    EXPECT_EQ(image.data, before.data);
    EXPECT_TRUE(KernelPass(image, KernelWeights{}));
    EXPECT_EQ(image.data, before.data);
}

TEST(Filters, SpeckleStrengthBelowTwoDoesNothingAndAboveFiveActsAsFive)
{
    Image original = FromRows(kUniform, 3);
    original.row(2)[7] = 90;
    Image five = original;
    SpeckleSmoothing(five, 5);
    for (int strength : {-7, 0, 1, 6, 1000}) {
        Image image = original;
        EXPECT_TRUE(SpeckleSmoothing(image, strength));
        EXPECT_EQ(image.data, strength < 2 ? original.data : five.data) << "strength " << strength;
    }
}

// Randomised comparison with the reference.

// Runs fn() once with each instruction set this CPU offers, then goes back to the default.
template <class Fn>
void ForEachIsa(Fn fn)
{
    const FilterIsa active = ActiveFilterIsa();
    for (FilterIsa isa : SupportedFilterIsas()) {
        ASSERT_TRUE(UseFilterIsa(isa));
        SCOPED_TRACE("instruction set " + std::to_string(int(isa)));
        fn();
    }
    UseFilterIsa(active);
}

// Equal bytes, the bytes between rows included; on failure names the first difference only.
testing::AssertionResult SameBytes(const Image& actual, const Image& expected)
{
    const auto diff = std::mismatch(actual.data.begin(), actual.data.end(), expected.data.begin());
    if (diff.first == actual.data.end())
        return testing::AssertionSuccess();
    const auto at = diff.first - actual.data.begin();
    return testing::AssertionFailure() << "row " << at / actual.stride << " byte " << at % actual.stride << " is "
                                       << int(*diff.first) << ", expected " << int(*diff.second);
}

struct Shape {
    int width, height, channels, pad;  // pad: bytes after each row, which no filter may touch
};

void PrintTo(const Shape& c, std::ostream* os)
{
    *os << c.width << "x" << c.height << "x" << c.channels << " pad " << c.pad;
}

Image RandomImage(const Shape& shape, unsigned seed)
{
    Image image(shape.width, shape.height, shape.channels);
    image.stride += shape.pad;
    image.data.assign(std::size_t(image.stride) * shape.height, 0xA5);
    std::mt19937 rng(seed);
    const int kind = int(seed % 3);  // noise, smooth ramps with small noise, values near 0 and 255
    static const std::uint8_t kExtremes[] = {0, 1, 2, 3, 252, 253, 254, 255};
    for (int y = 0; y < shape.height; ++y)
        for (std::size_t i = 0; i < image.rowBytes(); ++i) {
            const unsigned r = rng();
            image.row(y)[i] = kind == 0 ? std::uint8_t(r)
                              : kind == 1
                                  ? std::uint8_t(std::clamp<int>(int(i / 3 + 2 * y) % 256 + int(r % 7) - 3, 0, 255))
                                  : kExtremes[r % 8];
        }
    return image;
}

std::vector<KernelWeights> TestKernels(std::mt19937& rng)
{
    std::vector<KernelWeights> kernels;
    for (int n : {20, 9, 7, 16, 0, 100, -1000, 1 << 30})
        kernels.push_back({{0, -2, 0, -2, n, -2, 0, -2, 0}, n - 8, 0});
    kernels.push_back({{1, 1, 1, 1, 1, 1, 1, 1, 1}, 9, 0});
    kernels.push_back({{1, 2, 1, 2, 4, 2, 1, 2, 1}, std::numeric_limits<std::int32_t>::min(), 300});
    kernels.push_back({{1 << 30, 1 << 30, 1 << 30, 1, 1, 1, -(1 << 30), -(1 << 30), -(1 << 30)}, 3 << 20, -7});
    for (int limit : {3, 128, 1000, 1 << 24}) {
        std::uniform_int_distribution<int> weight(-limit, limit), divisor(-3 * limit, 3 * limit), offset(-300, 300);
        for (int i = 0; i < 6; ++i) {
            KernelWeights k;
            for (auto& w : k.weight)
                w = weight(rng);
            do
                k.divisor = divisor(rng);
            while (k.divisor == 0);
            k.offset = offset(rng);
            kernels.push_back(k);
        }
    }
    return kernels;
}

class FilterShapes : public testing::TestWithParam<Shape> {};

TEST_P(FilterShapes, MatchReferenceBitForBit)
{
    const Shape shape = GetParam();
    unsigned seed = unsigned(shape.width * 7919 + shape.height * 104729 + shape.channels * 13 + shape.pad);
    std::mt19937 rng(seed);
    const std::vector<KernelWeights> kernels = TestKernels(rng);
    // Each case: the reference result once, then the fast filter with every thread count and
    // instruction set.
    auto check = [&](auto slow, auto fast, const std::string& what) {
        const Image original = RandomImage(shape, ++seed);
        Image expected = original;
        slow(expected);
        for (unsigned threads : {1u, 2u, 3u})
            ForEachIsa([&] {
                Image image = original;
                fast(image, threads);
                ASSERT_TRUE(SameBytes(image, expected)) << what << ", threads " << threads;
            });
    };
    for (int strength = 0; strength <= 6; ++strength)
        check([&](Image& i) { reference::Speckle(i, strength); },
              [&](Image& i, unsigned t) { EXPECT_TRUE(SpeckleSmoothing(i, strength, t)); },
              "speckle strength " + std::to_string(strength));
    for (int threshold : {0, 9, 200})
        check([&](Image& i) { reference::EdgeLift(i, threshold); },
              [&](Image& i, unsigned t) { EXPECT_TRUE(EdgeLiftPass(i, std::uint8_t(threshold), t)); },
              "edge lift threshold " + std::to_string(threshold));
    for (const KernelWeights& k : kernels)
        check([&](Image& i) { reference::Kernel(i, k); },
              [&](Image& i, unsigned t) { EXPECT_TRUE(KernelPass(i, k, t)); },
              "kernel divisor " + std::to_string(k.divisor) + " centre " + std::to_string(k.weight[4]));
}

// Tall shapes give every thread count its own bands; the speckle halo spans up to 24 rows.
INSTANTIATE_TEST_SUITE_P(Filters, FilterShapes,
                         testing::Values(Shape{1, 1, 3, 0}, Shape{1, 9, 1, 0}, Shape{9, 1, 3, 0}, Shape{2, 2, 1, 0},
                                         Shape{2, 7, 3, 5}, Shape{7, 2, 1, 3}, Shape{3, 3, 3, 0}, Shape{5, 4, 1, 1},
                                         Shape{33, 17, 3, 0}, Shape{31, 29, 1, 7}, Shape{67, 40, 3, 2},
                                         Shape{11, 300, 3, 0}, Shape{5, 301, 1, 4}, Shape{70, 97, 1, 0},
                                         Shape{23, 170, 3, 1}, Shape{130, 60, 3, 0}),
                         [](const auto& info) {
                             const Shape& s = info.param;
                             return std::to_string(s.width) + "x" + std::to_string(s.height) + "x" +
                                    std::to_string(s.channels) + "pad" + std::to_string(s.pad);
                         });

// Weights 1 (top), scale (centre) and -scale (bottom) on a 3-row picture whose columns give every
// sum from -255 * scale to 255 * (scale + 1); offsets move each stretch of 256 quotients into
// the unclamped range, so the quotients the division produces can be checked.
TEST(Filters, KernelDivisionIsExactOverTheWholeSumRange)
{
    const std::int32_t kDivisors[] = {
        1,  -1,  2,   3,    -5,   7,     12,    -12,           16,
        23, 100, 255, 1000, 4097, 16575, 65535, (1 << 20) + 1, std::numeric_limits<std::int32_t>::min()};
    for (int scale : {64, 256}) {
        const int lowest = -255 * scale, highest = 255 * (scale + 1);
        Image image(highest - lowest + 3, 3, 1);
        for (int sum = lowest; sum <= highest; ++sum) {
            const int rest = std::min(255, (sum - ((sum % scale) + scale) % scale) / scale);
            const int top = sum - scale * rest;
            const int x = sum - lowest + 1;
            image.row(0)[x] = std::uint8_t(top);
            image.row(1)[x] = std::uint8_t(std::max(rest, 0));
            image.row(2)[x] = std::uint8_t(std::max(-rest, 0));
            ASSERT_EQ(image.row(0)[x] + scale * (image.row(1)[x] - image.row(2)[x]), sum);
        }
        for (std::int32_t divisor : kDivisors) {
            const std::int64_t low = std::min(lowest / divisor, highest / divisor),
                               high = std::max(lowest / divisor, highest / divisor);
            // A wrong multiplier errs first at the ends of the range; look there and at a few places between.
            const std::int64_t windows = (high - low) / 256 + 1;
            for (std::int64_t w :
                 {std::int64_t(0), std::int64_t(1), windows / 3, windows / 2, windows - 2, windows - 1}) {
                const std::int64_t offset = -low - 256 * std::clamp<std::int64_t>(w, 0, windows - 1);
                KernelWeights k{{0, 1, 0, 0, scale, 0, 0, -scale, 0}, divisor, std::int32_t(offset)};
                Image slow = image;
                reference::Kernel(slow, k);
                ForEachIsa([&] {
                    Image fast = image;
                    KernelPass(fast, k);
                    ASSERT_TRUE(SameBytes(fast, slow))
                        << "scale " << scale << " divisor " << divisor << " offset " << offset;
                });
            }
        }
    }
}

TEST(Filters, SpeckleStepMatchesReference)
{
    std::mt19937 rng(7);
    for (const Shape& shape : {Shape{1, 1, 1, 0}, Shape{6, 5, 3, 0}, Shape{37, 12, 1, 0}, Shape{70, 4, 3, 0}}) {
        const std::size_t size = std::size_t(shape.width + 2) * (shape.height + 2) * shape.channels;
        for (const SpeckleDirection d : SpeckleDirections)
            for (const SpeckleDirection e : {d, SpeckleDirection{-d.dx, -d.dy}})
                for (int sign : {1, -1}) {
                    std::vector<std::uint8_t> a(size), b(size);
                    const Image inner = RandomImage(shape, rng());
                    for (int y = 0; y < shape.height; ++y)
                        std::copy_n(inner.row(y), inner.rowBytes(),
                                    a.begin() + std::ptrdiff_t(((shape.width + 2) * (y + 1) + 1) * shape.channels));
                    std::vector<std::uint8_t> refA = a, refB = b;
                    reference::Step(e, shape.width, shape.height, shape.channels, refA.data(), refB.data(), sign);
                    ForEachIsa([&] {
                        std::vector<std::uint8_t> fastA = a, fastB = b;
                        SpeckleStep(e, shape.width, shape.height, shape.channels, fastA.data(), fastB.data(), sign);
                        EXPECT_EQ(fastA, refA);
                        EXPECT_EQ(fastB, refB);
                    });
                }
    }
}

}  // namespace
}  // namespace tramblix
