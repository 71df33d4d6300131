#include "engine/target.h"
#include "engine/efficient_encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/codec.h"
#include "engine/internal/butteraugli.h"
#include "engine/internal/peak_cells.h"
#include "tests/support/jpeg_helpers.h"

namespace tramblix {
namespace {

// A fake metric: distance falls linearly as quality rises, reaching `floor` at 100.
struct Linear {
    double floor;
    double perStep;
    int* trials;
    std::optional<double> operator()(int quality) const
    {
        ++*trials;
        return floor + perStep * (100 - quality);
    }
};

struct SearchCase {
    double target;
    int start;
    double floor;
    int expected;  // 0: unreachable
    int maxTrials;
};

void PrintTo(const SearchCase& c, std::ostream* os)
{
    *os << "distance " << c.target << " from " << c.start << " floor " << c.floor;
}

class SearchTest : public ::testing::TestWithParam<SearchCase> {};

TEST_P(SearchTest, FindsTheCoarsestPassingQualityWithFewTrials)
{
    const SearchCase c = GetParam();
    int trials = 0;
    const QualitySearch search = FindCoarsestQuality(c.target, c.start, 4, Linear{c.floor, 0.1, &trials});
    EXPECT_FALSE(search.measureFailed);
    EXPECT_EQ(search.trials, trials);
    EXPECT_LE(trials, c.maxTrials);
    if (c.expected == 0) {
        EXPECT_EQ(search.quality, 0);
        return;
    }
    // Either the exact answer, or one stopped early within 3% under the target.
    EXPECT_LE(search.distance, c.target);
    EXPECT_TRUE(search.quality == c.expected || search.distance >= 0.97 * c.target) << search.quality;
    EXPECT_GE(search.quality, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Fake, SearchTest,
                         ::testing::Values(SearchCase{3.05, 70, 0.0, 70, 8},    // predicted exactly
                                           SearchCase{3.05, 95, 0.0, 70, 9},    // prediction too fine
                                           SearchCase{3.05, 20, 0.0, 70, 9},    // prediction too coarse
                                           SearchCase{50.0, 60, 0.0, 1, 5},     // everything passes: quality 1
                                           SearchCase{0.5, 90, 1.0, 0, 6},      // even 100 fails
                                           SearchCase{1.0, 90, 1.0, 100, 6}));  // only 100 passes

TEST(SearchTest, AFailedMeasurementStopsTheSearch)
{
    int trials = 0;
    const QualitySearch search = FindCoarsestQuality(2.0, 80, 4, [&](int q) -> std::optional<double> {
        ++trials;
        if (q < 80)
            return std::nullopt;
        return 1.0;
    });
    EXPECT_TRUE(search.measureFailed);
    EXPECT_EQ(search.quality, 0);
    EXPECT_EQ(trials, 2);
}

// Cheap reads `optimism` low; confirmed is `floor` at 100, `bump` higher at `bumpAt`, lost at `lost`.
struct ConfirmCase {
    double optimism, floor, bump;
    int bumpAt, lost, expected;  // 0: unreachable or lost
};

void PrintTo(const ConfirmCase& c, std::ostream* os)
{
    *os << "optimism " << c.optimism << " floor " << c.floor << " bump " << c.bump << " at " << c.bumpAt << " lost "
        << c.lost;
}
class ConfirmTest : public ::testing::TestWithParam<ConfirmCase> {};
TEST_P(ConfirmTest, ReturnsOnlyAConfirmedAnswer)
{
    const ConfirmCase c = GetParam();
    const auto truth = [&](int q) { return c.floor + 0.1 * (100 - q) + (q == c.bumpAt ? c.bump : 0.0); };
    int last = 0;  // the answer's own confirmation must come last
    const QualitySearch s = ConfirmedCoarsestQuality(
        3.05, 60, [&](int q) -> std::optional<double> { return truth(q) - c.optimism; },
        [&](int q) { return (last = q) == c.lost ? std::nullopt : std::optional<double>(truth(q)); });
    EXPECT_EQ(s.measureFailed, c.lost != 0);
    EXPECT_EQ(s.quality, c.expected);
    EXPECT_TRUE(c.expected == 0 || (last == c.expected && s.distance == truth(c.expected))) << last;
}
INSTANTIATE_TEST_SUITE_P(Fake, ConfirmTest,
                         ::testing::Values(ConfirmCase{0.25, 0.0, 1.0, 70, 0, 71},  // optimistic, and a peak at 70
                                           ConfirmCase{0.6, 0.0, 0.0, 0, 0, 70},    // misled past the rounds
                                           ConfirmCase{5.0, 4.0, 0.0, 0, 0, 0},     // nothing confirms up to 100
                                           ConfirmCase{0.0, 0.0, 0.0, 0, 70, 0}));  // confirmation lost
TEST(SearchTest, RescaledQualityFollowsTheTableScale)
{
    EXPECT_EQ(RescaledQuality(70, 2.0, 2.0), 70);
    EXPECT_EQ(RescaledQuality(70, 2.0, 1.0), 85);  // half the scale: 60 -> 30
    EXPECT_EQ(RescaledQuality(50, 1.0, 2.0), 25);  // below 50 the scale is 5000 / q
    EXPECT_EQ(RescaledQuality(90, 1.0, 0.01), 100);
    EXPECT_EQ(RescaledQuality(10, 1.0, 100.0), 1);
    EXPECT_EQ(RescaledQuality(60, 0.0, 1.0), 60);  // nothing measured: stay
}

// Blocks near the distance, and their neighbours, keep their price; room elsewhere is priced,
// to a cap.
TEST(SearchTest, HeadroomPricesSpareTheBlocksNearTheDistance)
{
    const std::vector<float> prices = HeadroomPrices({2.0F, 0.5F, 0.5F, 0.1F}, 4, 1, 2.0, 0.2F);
    ASSERT_EQ(prices.size(), 4U);
    EXPECT_FLOAT_EQ(prices[0], 0.0F);
    EXPECT_FLOAT_EQ(prices[1], 0.0F);  // beside the block at the distance
    EXPECT_FLOAT_EQ(prices[2], 0.2F * (4.0F - 1.3F));
    EXPECT_FLOAT_EQ(prices[3], 0.2F * (4.0F - 1.3F));  // its neighbour's 0.5 counts, not its own 0.1
    EXPECT_FLOAT_EQ(HeadroomPrices({0.0F}, 1, 1, 5.0, 1.0F)[0], 2.0F);
}

// A smooth picture with one spot damaged in a flat area, one on a colour edge, and one in the
// bottom right corner (a partial cell): every score's worst cell must be among those nominated.
TEST(PeakCellsTest, NominatesTheDamagedCells)
{
    Image reference(700, 500, 3);
    for (int y = 0; y < reference.height; ++y)
        for (int x = 0; x < reference.width; ++x) {
            std::uint8_t* p = reference.row(y) + x * 3;
            p[0] = static_cast<std::uint8_t>(x < 400 ? 60 : 200);
            p[1] = static_cast<std::uint8_t>(80 + y / 10);
            p[2] = 120;
        }
    Image decoded = reference;
    const auto damage = [&](int x0, int y0, int delta) {
        for (int y = y0; y < y0 + 8; ++y)
            for (int x = x0; x < x0 + 8; ++x)
                decoded.row(y)[x * 3] = static_cast<std::uint8_t>(decoded.row(y)[x * 3] + delta);
    };
    damage(140, 300, 12);
    damage(396, 40, 30);
    damage(690, 490, 9);
    const std::vector<Cell> cells = LikelyPeakCells(reference, decoded, 128, 3);
    for (const Cell& expected : {Cell{128, 256, 128, 128}, Cell{384, 0, 128, 128}, Cell{640, 384, 60, 116}})
        EXPECT_NE(std::find(cells.begin(), cells.end(), expected), cells.end()) << expected.x << "," << expected.y;
}

TEST(TargetTextTest, LinesSayQualityAndDistance)
{
    EXPECT_EQ(TargetResultLine(1000, 590, 63, 1.0),
              "Image Compressed by 41% at quality 63 for distance 1.0 and reduced by 410 bytes. ");
    EXPECT_EQ(DistanceText(2.5), "2.5");
    EXPECT_EQ(DistanceText(1.25), "1.25");
    EXPECT_EQ(TargetResultLine(1000, 1000, 0, 0.3),
              "Image kept unchanged: distance 0.3 cannot be reached at any quality. ");
    EXPECT_EQ(TargetResultLine(0, 0, 0, 1.0), "Could not create file.");
    const std::string kept =
        "Image kept unchanged: quality 1, the coarsest within distance 3.0, would not save enough. ";
    EXPECT_EQ(TargetResultLine(1000, 1000, 1, 3.0), kept);
    EXPECT_EQ(TargetResultLine(1000, 990, 1, 3.0, true), kept);  // kept, metadata stripped
}

// Busy colourful pixels: JPEG loses visibly on them at any coarse quality.
test::Bytes Noise(int width, int height)
{
    test::Bytes samples(static_cast<std::size_t>(width) * height * 3);
    std::srand(7);
    for (auto& s : samples)
        s = static_cast<std::uint8_t>(std::rand() % 256);
    return samples;
}

Image DecodedPixels(std::span<const std::uint8_t> bytes)
{
    DecodedImage image;
    EXPECT_EQ(DecodeImage(bytes, image), DecodeStatus::Ok);
    return image.pixels;
}

struct PictureCase {
    const char* name;
    int width;
    int height;
    bool noise;
    FilterStrength ai;
    double distance;
    bool reachable;
    bool grey = false;
    Encoder encoder = Encoder::Standard;
    std::uint64_t budget = kDefaultMemoryBudget;
};

void PrintTo(const PictureCase& c, std::ostream* os)
{
    *os << c.name;
}

class TargetPictureTest : public ::testing::TestWithParam<PictureCase> {};

TEST_P(TargetPictureTest, StaysWithinTheDistanceOrKeepsTheInput)
{
    const PictureCase c = GetParam();
    test::JpegRecipe recipe;
    recipe.width = c.width;
    recipe.height = c.height;
    recipe.quality = 98;
    if (c.grey) {
        recipe.input = JCS_GRAYSCALE;
        recipe.coded = JCS_GRAYSCALE;
        recipe.hSampling = recipe.vSampling = 1;
    }
    const test::Bytes input = c.noise ? test::MakeJpeg(recipe, Noise(c.width, c.height)) : test::MakeJpeg(recipe);
    ASSERT_FALSE(input.empty());
    EngineOptions options;
    options.targetDistance = c.distance;
    options.encoder = c.encoder;
    options.memoryBudget = c.budget;
    std::vector<std::uint8_t> output;
    TargetReport report;
    ASSERT_EQ(CompressBuffer(input, 5, output, c.ai, options, nullptr, &report), CompressStatus::Ok);
    if (!c.reachable) {
        EXPECT_EQ(report.quality, 0);
        EXPECT_EQ(output, input);
        return;
    }
    ASSERT_GE(report.quality, 1);
    ASSERT_LE(output.size(), input.size());
    EXPECT_EQ(report.kept, output == input);
    // The trial handed back is the encode at the quality chosen (the efficient encoder's level run
    // may swap in the standard file, which a target never does).
    if (!report.kept && c.ai == 0 && c.encoder == Encoder::Standard) {
        std::vector<std::uint8_t> fresh;
        EngineOptions plain = options;
        plain.targetDistance = 0;
        ASSERT_EQ(ReencodeImage(input, fresh, report.quality, 0, 0, plain), CompressStatus::Ok);
        EXPECT_EQ(DecodedPixels(fresh).data, DecodedPixels(output).data);
    }
    // The efficient encoder searches two table shapes: what it writes is one of them at the quality
    // reported, or one of them with dearer prices where the distance left room (then smaller).
    if (!report.kept && c.ai == 0 && c.encoder == Encoder::Efficient) {
        DecodedImage image;
        ASSERT_EQ(DecodeImage(input, image), DecodeStatus::Ok);
        std::vector<std::uint8_t> tuned, flat;
        EfficientTools flatTools;
        flatTools.tuning = kFlatTuning;
        ASSERT_TRUE(EncodeJpegEfficient(image, report.quality, tuned));
        ASSERT_TRUE(EncodeJpegEfficient(image, report.quality, flat, flatTools));
        EXPECT_TRUE(output == tuned || output == flat || output.size() < std::min(tuned.size(), flat.size()));
    }
    const auto measured = ButteraugliMaxDistance(DecodedPixels(input), DecodedPixels(output));
    ASSERT_TRUE(measured.has_value());
    EXPECT_LE(*measured, c.distance);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, TargetPictureTest,
    ::testing::Values(PictureCase{"tiny", 5, 3, false, 0, 6.0, true}, PictureCase{"flat", 64, 48, false, 0, 2.0, true},
                      PictureCase{"grey", 64, 48, false, 0, 1.0, true, true},
                      PictureCase{"noise", 96, 64, true, 0, 1.5, true},
                      PictureCase{"efficient", 96, 64, true, 0, 2.0, true, false, Encoder::Efficient},
                      PictureCase{"unreachable", 96, 64, true, 0, 0.1, false},
                      PictureCase{"bands", 1200, 1000, false, 0, 2.0, true, false, Encoder::Standard, 300ULL << 20},
                      PictureCase{"efficientBands", 1200, 1000, false, 0, 2.0, true, false, Encoder::Efficient,
                                  300ULL << 20},
                      PictureCase{"filteredUnreachable", 96, 64, true, 5, 0.5, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TargetBudgetTest, APictureTooLargeToMeasureIsRefused)
{
    test::JpegRecipe recipe;
    recipe.width = 1400;
    recipe.height = 1000;
    const test::Bytes input = test::MakeJpeg(recipe);
    EngineOptions options;
    options.targetDistance = 1.0;
    options.memoryBudget = 40ULL << 20;  // the re-encode fits, butteraugli's planes do not
    std::vector<std::uint8_t> output;
    EXPECT_EQ(CompressBuffer(input, 5, output, 0, options), CompressStatus::OverMemoryBudget);
    EXPECT_TRUE(output.empty());
}

}  // namespace
}  // namespace tramblix
