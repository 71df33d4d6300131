#include <cstdint>
#include <random>

#include <gtest/gtest.h>

#include "engine/internal/butteraugli.h"
#include "engine/look.h"

namespace tramblix {
namespace {

Image Noise(int width, int height, unsigned seed, int spread)
{
    Image image(width, height, 3);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < image.width * 3; ++x)
            image.row(y)[x] = static_cast<std::uint8_t>(96 + (x / 3 + y) % 64 + static_cast<int>(random() % spread));
    return image;
}

// Each side halved by a 2 x 2 box average, as the measure does for a picture 4 times its budget.
Image Halved(const Image& image)
{
    Image half(image.width / 2, image.height / 2, 3);
    for (int y = 0; y < half.height; ++y)
        for (int x = 0; x < half.width * 3; ++x) {
            const int c = x % 3, at = (x / 3) * 6 + c;
            const unsigned sum = image.row(2 * y)[at] + image.row(2 * y)[at + 3] + image.row(2 * y + 1)[at] +
                                 image.row(2 * y + 1)[at + 3];
            half.row(y)[x] = static_cast<std::uint8_t>((sum + 2) / 4);
        }
    return half;
}

// A picture over the budget is measured on reduced copies, not whole (11 s and 2.9 GB at 12 MP).
TEST(ReducedLookDistance, MeasuresReducedCopiesOfLargePictures)
{
    const Image reference = Noise(400, 300, 1, 8);
    const Image distorted = Noise(400, 300, 2, 40);
    const std::optional<double> reduced = ReducedLookDistance(reference, distorted, 400 * 300 / 4);
    const std::optional<double> direct = ButteraugliMaxDistance(Halved(reference), Halved(distorted));
    ASSERT_TRUE(reduced && direct);
    EXPECT_DOUBLE_EQ(*reduced, *direct);
    EXPECT_GT(*reduced, 0.5);
    EXPECT_EQ(ReducedLookDistance(reference, reference).value_or(-1), 0.0);
}

TEST(ReducedLookDistance, RefusesPicturesOfDifferentSizes)
{
    EXPECT_FALSE(ReducedLookDistance(Noise(64, 48, 1, 8), Noise(48, 64, 1, 8)));
}

}  // namespace
}  // namespace tramblix
