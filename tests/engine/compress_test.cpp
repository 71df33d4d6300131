#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/file_io.h"
#include "engine/levels.h"
#include "engine/quality_table.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

std::vector<std::uint8_t> ReadBytes(const fs::path& path)
{
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(ReadWholeFile(path, bytes), ReadStatus::Ok) << path;
    return bytes;
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A photo-like picture (gradients plus noise) encoded at high quality, so re-encoding shrinks it.
std::vector<std::uint8_t> MakeJpeg(int width, int height, int quality, int channels = 3)
{
    DecodedImage image;
    image.pixels = Image(width, height, channels);
    std::mt19937 random(42);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * channels; ++x)
            image.pixels.row(y)[x] = static_cast<std::uint8_t>((x * 3 + y * 2) % 200 + random() % 40);
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(EncodeJpeg(image, quality, bytes));
    return bytes;
}

std::size_t FilesIn(const fs::path& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class CompressFileTest : public ::testing::Test {
protected:
    tramblix::test::ScratchDir scratch_{"compress"};
    fs::path dir = scratch_.path();
};

}  // namespace

TEST(Levels, QualityTable)
{
    const int expected[] = {75, 90, 80, 70, 60, 50, 40, 30, 25, 20, 15};
    for (CompressionLevel level = 0; level <= 10; ++level)
        EXPECT_EQ(QualityForLevel(level), expected[level]) << "level " << level;
    EXPECT_EQ(QualityForLevel(11), 75);
    for (CompressionLevel level : {11u, 1000u, static_cast<CompressionLevel>(-1)})
        EXPECT_EQ(QualityForLevel(NormaliseLevel(level)), 50) << level;
    EXPECT_EQ(NormaliseLevel(0), 0u);
    EXPECT_EQ(NormaliseStrength(-3), 0);
    EXPECT_EQ(NormaliseStrength(6), 5);
    EXPECT_EQ(NormaliseStrength(3), 3);
}

TEST(ResultLine, TruncatesTowardZero)
{
    EXPECT_EQ(ResultLine(1000, 667, 5, 0),
              "Image Compressed by 33% at Compression Level 5 and AILevel 0 and reduced by 333 bytes. ");
    EXPECT_EQ(ResultLine(3, 2, 1, 5),
              "Image Compressed by 33% at Compression Level 1 and AILevel 5 and reduced by 1 bytes. ");
    EXPECT_EQ(ResultLine(1000, 1999, 10, 2),
              "Image Compressed by -99% at Compression Level 10 and AILevel 2 and reduced by -999 bytes. ");
    EXPECT_EQ(ResultLine(1000, 1001, 5, 0),
              "Image Compressed by 0% at Compression Level 5 and AILevel 0 and reduced by -1 bytes. ");
    EXPECT_EQ(ResultLine(5'000'000'000LL, 2'500'000'000LL, 5, 0),
              "Image Compressed by 50% at Compression Level 5 and AILevel 0 and reduced by 2500000000 bytes. ");
    EXPECT_EQ(ResultLine(0, 10, 5, 0), "Could not create file.");
    EXPECT_EQ(ResultLine(10, 0, 5, 0), "Could not create file.");
    EXPECT_EQ(LosslessResultLine(1000, 667), "Image Compressed by 33% losslessly and reduced by 333 bytes. ");
    EXPECT_EQ(LosslessResultLine(0, 10), "Could not create file.");
}

TEST(CompressBuffer, KeepsSmallerOrCopies)
{
    const auto big = MakeJpeg(64, 48, 98);
    std::vector<std::uint8_t> out;
    ASSERT_EQ(CompressBuffer(big, 5, out, 0), CompressStatus::Ok);
    EXPECT_LT(out.size(), big.size());

    // Already at low quality: the re-encode cannot win, so the output is the input itself.
    const auto small = MakeJpeg(64, 48, 10);
    ASSERT_EQ(CompressBuffer(small, 1, out, 5), CompressStatus::Ok);
    EXPECT_EQ(out, small);

    EXPECT_EQ(CompressBuffer({}, 5, out, 0), CompressStatus::Refused);
    EXPECT_TRUE(out.empty());
    const std::vector<std::uint8_t> garbage(1000, 0x5a);
    for (FilterStrength strength : {0, 3, 5})
        EXPECT_EQ(CompressBuffer(garbage, 5, out, strength), CompressStatus::NotAnImage);
    EXPECT_TRUE(out.empty());
}

// A JPEG input is replaced only when the re-encode saves at least the least saving: none for
// the standard encoder, 2% for the efficient one, or what the caller sets.
TEST(CompressBuffer, MinSavingKeepsJpegsThatShrinkTooLittle)
{
    const auto input = MakeJpeg(96, 64, 92);
    for (Encoder encoder : {Encoder::Standard, Encoder::Efficient}) {
        EngineOptions options;
        options.encoder = encoder;
        options.minSaving = 0.0;
        std::vector<std::uint8_t> encoded, out;
        ASSERT_EQ(CompressBuffer(input, 1, encoded, 0, options), CompressStatus::Ok);
        const double saved = 1.0 - static_cast<double>(encoded.size()) / static_cast<double>(input.size());
        const double builtIn = encoder == Encoder::Efficient ? kMinSavingEfficient : kMinSavingStandard;
        for (const auto least : {std::optional(saved - 0.005), std::optional(saved + 0.005), std::optional<double>()}) {
            options.minSaving = least;
            ASSERT_EQ(CompressBuffer(input, 1, out, 0, options), CompressStatus::Ok);
            EXPECT_EQ(out, least.value_or(builtIn) < saved ? encoded : input) << least.value_or(-1);
        }
    }
}

// The efficient encoder never writes more than the standard one at the same level.
TEST(CompressBuffer, EfficientNeverLargerThanStandard)
{
    EngineOptions standard{.minSaving = 0.0}, efficient{.encoder = Encoder::Efficient, .minSaving = 0.0};
    for (int quality : {98, 75, 40})
        for (CompressionLevel level = 1; level <= 10; level += 3) {
            const auto input = MakeJpeg(80, 56, quality);
            std::vector<std::uint8_t> out[2];
            ASSERT_EQ(CompressBuffer(input, level, out[0], 0, standard), CompressStatus::Ok);
            ASSERT_EQ(CompressBuffer(input, level, out[1], 0, efficient), CompressStatus::Ok);
            EXPECT_LE(out[1].size(), out[0].size()) << "quality " << quality << " level " << level;
        }
}

TEST(CompressBuffer, GreyStaysGrey)
{
    const auto grey = MakeJpeg(40, 30, 98, 1);
    std::vector<std::uint8_t> out;
    ASSERT_EQ(CompressBuffer(grey, 3, out, 2), CompressStatus::Ok);
    int w = 0, h = 0, components = 0;
    ASSERT_TRUE(ReadJpegHeader(out, w, h, components));
    EXPECT_EQ(components, 1);
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);
}

TEST_F(CompressFileTest, ReplacesOldOutputAndNeverGrows)
{
    const auto input = MakeJpeg(120, 90, 97);
    WriteBytes(dir / "in.jpg", input);
    WriteBytes(dir / "out.jpg", std::vector<std::uint8_t>(input.size() * 3, 7));

    for (CompressionLevel level : {0u, 1u, 5u, 10u, 11u}) {
        const CompressOutcome outcome = CompressFile(dir / "in.jpg", dir / "out.jpg", level, 1);
        ASSERT_EQ(outcome.status, CompressStatus::Ok) << level;
        EXPECT_EQ(ReadBytes(dir / "in.jpg"), input);
        EXPECT_EQ(static_cast<std::uint64_t>(FileSizeOf(dir / "out.jpg")), outcome.outputSize);
        EXPECT_LE(outcome.outputSize, input.size());
    }
    EXPECT_EQ(FilesIn(dir), 2u) << "no temporary file may remain";
}

TEST_F(CompressFileTest, FailuresWriteNothingAndLeaveAnOldOutput)
{
    const auto input = MakeJpeg(120, 90, 97);
    auto half = input;
    half.resize(input.size() / 2);
    WriteBytes(dir / "half.jpg", half);
    WriteBytes(dir / "garbage.jpg", std::vector<std::uint8_t>(5000, 0x42));

    struct Case {
        const char* input;
        CompressStatus expected;
    };
    for (const Case& c :
         {Case{"missing.jpg", CompressStatus::CannotReadInput}, Case{"half.jpg", CompressStatus::DamagedImage},
          Case{"garbage.jpg", CompressStatus::NotAnImage}}) {
        WriteBytes(dir / "out.jpg", {1, 2, 3});
        const CompressOutcome outcome = CompressFile(dir / c.input, dir / "out.jpg", 5, 0);
        EXPECT_EQ(outcome.status, c.expected) << c.input;
        EXPECT_TRUE(outcome.oldOutputLeft) << c.input;
        EXPECT_EQ(ReadBytes(dir / "out.jpg"), std::vector<std::uint8_t>({1, 2, 3})) << c.input;
    }
    EXPECT_EQ(ReadBytes(dir / "half.jpg"), half);
    EXPECT_EQ(FilesIn(dir), 3u);
}

// Only a JPEG is ever kept as it is: another picture that no JPEG fits fails, writing nothing. Any
// JPEG of a 1 x 1 BMP is larger; red and blue columns stay beyond distance 0.1 (halved chroma).
TEST_F(CompressFileTest, OtherFormatsAreNeverKeptAsTheyAre)
{
    for (const auto& [side, encoder, target] :
         {std::tuple{1, Encoder::Standard, 0.0}, std::tuple{1, Encoder::Efficient, 0.0},
          std::tuple{32, Encoder::Standard, 0.1}}) {
        std::vector<std::uint8_t> bmp{
            'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, std::uint8_t(side), 0, 0, 0, std::uint8_t(side),
            0,   0,   0, 1, 0, 24};
        bmp.resize(54, 0);
        for (int i = 0; i < side * side; ++i)
            bmp.insert(bmp.end(), {std::uint8_t(i % 2 ? 255 : 0), 0, std::uint8_t(i % 2 ? 0 : 255)});
        bmp.resize(54 + static_cast<std::size_t>(side * ((side * 3 + 3) / 4 * 4)));  // rows padded to 4 bytes
        WriteBytes(dir / "in", bmp);
        WriteBytes(dir / "out.jpg", {1, 2, 3});
        const CompressOutcome outcome =
            CompressFile(dir / "in", dir / "out.jpg", 5, 0, {.encoder = encoder, .targetDistance = target});
        EXPECT_EQ(outcome.status, CompressStatus::NoFittingJpeg) << side << ReasonText(outcome);
        EXPECT_EQ(ReadBytes(dir / "out.jpg"), std::vector<std::uint8_t>({1, 2, 3}));
    }
}

TEST_F(CompressFileTest, RefusesToTouchTheInputOrADirectory)
{
    const auto input = MakeJpeg(120, 90, 97);
    WriteBytes(dir / "in.jpg", input);
    fs::create_symlink(dir / "in.jpg", dir / "link.jpg");
    fs::create_directory(dir / "sub");

    EXPECT_EQ(CompressFile(dir / "in.jpg", dir / "in.jpg", 5, 0).status, CompressStatus::SameFile);
    EXPECT_EQ(CompressFile(dir / "in.jpg", dir / "link.jpg", 5, 0).status, CompressStatus::SameFile);
    EXPECT_EQ(CompressFile(dir / "in.jpg", dir / "sub" / ".." / "in.jpg", 5, 0).status, CompressStatus::SameFile);
    EXPECT_EQ(ReadBytes(dir / "in.jpg"), input);

    EXPECT_EQ(CompressFile(dir / "in.jpg", dir / "sub", 5, 0).status, CompressStatus::CannotWriteOutput);
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
    EXPECT_EQ(CompressFile(dir / "in.jpg", dir / "nowhere" / "out.jpg", 5, 0).status,
              CompressStatus::CannotWriteOutput);
}

TEST_F(CompressFileTest, EmptyInputIsNotAnImage)
{
    WriteBytes(dir / "empty.jpg", {});
    const CompressOutcome outcome = CompressFile(dir / "empty.jpg", dir / "out.jpg", 5, 0);
    EXPECT_EQ(ReasonText(outcome), "not a decodable image (empty file)");
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
}

TEST_F(CompressFileTest, FileSizeOfIsZeroForWhatCannotBeOpened)
{
    WriteBytes(dir / "five", {1, 2, 3, 4, 5});
    EXPECT_EQ(FileSizeOf(dir / "five"), 5);
    EXPECT_EQ(FileSizeOf(dir / "missing"), 0);
    EXPECT_EQ(FileSizeOf(dir), 0);
}
