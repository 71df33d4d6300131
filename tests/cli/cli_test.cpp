#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codec.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/run_tool.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace tramblix;
using test::RunResult;
using test::Slurp;

namespace {

class CliTest : public ::testing::Test {
protected:
    tramblix::test::ScratchDir scratch_{"cli"};
    fs::path dir = scratch_.path();

    RunResult Tramblix(const std::vector<std::string>& args) { return Execute(test::Tramblix(args, dir)); }

    // `sequential`: as a camera writes it, not as our encoders do (their output is left alone
    // under a target).
    fs::path MakePhoto(const std::string& name, int quality, bool sequential = false)
    {
        tramblix::DecodedImage image;
        image.pixels = tramblix::Image(96, 64, 3);
        std::mt19937 random(7);
        for (auto& sample : image.pixels.data)
            sample = static_cast<std::uint8_t>(random() % 256);
        std::vector<std::uint8_t> bytes;
        tramblix::test::JpegRecipe recipe;
        recipe.width = 96, recipe.height = 64, recipe.quality = quality;
        if (sequential)
            bytes = tramblix::test::MakeJpeg(recipe, image.pixels.data);
        else
            EXPECT_TRUE(tramblix::EncodeJpeg(image, quality, bytes));
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return dir / name;
    }
};

}  // namespace

TEST_F(CliTest, UsageErrorsExitWithTwo)
{
    const auto photo = MakePhoto("a.jpg", 95).string();
    // What the parser refuses is tested in parse_test.cpp; here the operands and the exit.
    const std::vector<std::vector<std::string>> bad = {
        {}, {photo}, {"--bogus", photo, "x.jpg"}, {photo, "x.jpg", "extra"}, {photo, ""}};
    for (const auto& args : bad) {
        const RunResult run = Tramblix(args);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_NE(run.err.find("Try 'tramblix --help'"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir / "x.jpg"));
    }
}

TEST_F(CliTest, HelpAndVersion)
{
    RunResult run = Tramblix({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Usage: tramblix"), std::string::npos);
    run = Tramblix({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("tramblix (JPEG Tramblix) ", 0), 0u);
}

TEST_F(CliTest, CompressesOneFile)
{
    const auto photo = MakePhoto("a.jpg", 98);
    const auto before = Slurp(photo);
    const RunResult run = Tramblix({"-l", "3", "--ai=2", photo.string(), (dir / "b.jpg").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto inSize = static_cast<long long>(fs::file_size(photo));
    const auto outSize = static_cast<long long>(fs::file_size(dir / "b.jpg"));
    EXPECT_LT(outSize, inSize);
    EXPECT_EQ(run.out.rfind("Image Compressed by ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("% at Compression Level 3 and AILevel 2 and reduced by " + std::to_string(inSize - outSize) +
                           " bytes. \n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Slurp(photo), before);
    // No level applies to a lossless rewrite, and the line names none.
    const RunResult lossless = Tramblix({"-l", "3", "--lossless", photo.string(), (dir / "c.jpg").string()});
    EXPECT_NE(lossless.out.find("% losslessly and reduced by "), std::string::npos) << lossless.out;
    const RunResult quiet = Tramblix({"-q", photo.string(), (dir / "d.jpg").string()});
    EXPECT_EQ(quiet.out + quiet.err, "");
    EXPECT_TRUE(fs::exists(dir / "d.jpg"));
}

TEST_F(CliTest, TargetSaysQualityAndDistanceInBothModes)
{
    const auto photo = MakePhoto("a.jpg", 98, true);
    RunResult run = Tramblix({"--target-distance=2.5", photo.string(), (dir / "b.jpg").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto saved = fs::file_size(photo) - fs::file_size(dir / "b.jpg");
    EXPECT_NE(run.out.find(" for distance 2.5 and reduced by " + std::to_string(saved) + " bytes. \n"),
              std::string::npos)
        << run.out;
    fs::create_directory(dir / "in");
    fs::rename(photo, dir / "in" / "a.jpg");
    run = Tramblix({"--target=high", (dir / "in").string(), (dir / "out").string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(" for distance 2.0\n"), std::string::npos) << run.out;
}

TEST_F(CliTest, EncoderOptionReachesBothModes)
{
    // Gentle shading with a little noise: the kind of area where efficient rounding saves bytes.
    tramblix::DecodedImage image;
    image.pixels = tramblix::Image(128, 96, 3);
    std::mt19937 random(3);
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 128 * 3; ++x)
            image.pixels.row(y)[x] = static_cast<std::uint8_t>(60 + x / 4 + y + random() % 20);
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(tramblix::EncodeJpeg(image, 98, bytes));
    const fs::path photo = dir / "a.jpg";
    std::ofstream(photo, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    fs::create_directories(dir / "in");
    fs::copy_file(photo, dir / "in" / "a.jpg");
    EXPECT_EQ(Tramblix({photo.string(), (dir / "standard.jpg").string()}).exitCode, 0);
    EXPECT_EQ(Tramblix({"--encoder=efficient", photo.string(), (dir / "efficient.jpg").string()}).exitCode, 0);
    EXPECT_EQ(Tramblix({"-e", "efficient", "-j", "1", (dir / "in").string(), (dir / "out").string()}).exitCode, 0);
    EXPECT_LT(fs::file_size(dir / "efficient.jpg"), fs::file_size(dir / "standard.jpg"));
    EXPECT_EQ(Slurp(dir / "out" / "a.jpg"), Slurp(dir / "efficient.jpg"));
    EXPECT_NE(Tramblix({"--help"}).out.find("--encoder=standard|efficient"), std::string::npos);
}

TEST_F(CliTest, FailuresAreReported)
{
    RunResult run = Tramblix({(dir / "missing.jpg").string(), (dir / "out.jpg").string()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "Can not find: " + (dir / "missing.jpg").string() + "\n");
    ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0644), 0);
    run = Tramblix({(dir / "pipe.jpg").string(), (dir / "out.jpg").string()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "tramblix: " + (dir / "pipe.jpg").string() + ": not a regular file\n");

    std::ofstream(dir / "junk.jpg") << "this is not a picture";
    run = Tramblix({(dir / "junk.jpg").string(), (dir / "out.jpg").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Could not create file.\n");
    EXPECT_NE(run.err.find("not a decodable image"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
    run = Tramblix({"--quiet", (dir / "junk.jpg").string(), (dir / "out.jpg").string()});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("Could not create file.\n", 0), 0u) << run.err;

    const auto photo = MakePhoto("a.jpg", 95);
    const auto before = Slurp(photo);
    run = Tramblix({photo.string(), (dir / "." / "a.jpg").string()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("same file"), std::string::npos) << run.err;
    EXPECT_EQ(Slurp(photo), before);
}
