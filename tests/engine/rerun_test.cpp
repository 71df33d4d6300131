// Re-runs leave this program's own output alone; a run's pictures share one memory budget.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "engine/file_modes.h"
#include "engine/memory_pool.h"
#include "engine/own_output.h"
#include "engine/target.h"
#include "tests/support/jpeg_helpers.h"
#include "tests/support/scratch_dir.h"

namespace tramblix {
namespace {

// Textured, 4:4:4 at quality 97: not what our encoders write, and every level shrinks it.
test::Bytes Photo(int width = 96, int height = 64, unsigned grain = 3)
{
    test::JpegRecipe recipe;
    recipe.width = width, recipe.height = height, recipe.hSampling = recipe.vSampling = 1, recipe.quality = 97;
    test::Bytes samples(static_cast<std::size_t>(width * height * 3));
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        samples[i] = static_cast<std::uint8_t>((i / 3 % width) * 2 + i / 3 / width + (noise >> 29) * grain);
    }
    return test::MakeJpeg(recipe, samples);
}

test::Bytes Contents(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct RerunCase {
    const char* name;
    Encoder encoder;
    CompressionLevel level;
    double target = 0.0;
    bool lossless = false;
};

class RerunTest : public ::testing::TestWithParam<RerunCase> {};

TEST_P(RerunTest, ASecondRunInPlaceChangesNothing)
{
    const test::ScratchDir dir("rerun");
    const std::filesystem::path file = dir.path() / "photo.jpg";
    const test::Bytes photo = Photo(96, 64, GetParam().target > 0.0 ? 0 : 3);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(photo.data()), std::ssize(photo));
    EngineOptions options;
    options.encoder = GetParam().encoder, options.targetDistance = GetParam().target;
    options.lossless = GetParam().lossless;
    FileMode inPlace;
    inPlace.inPlace = true;
    const CompressOutcome first = CompressFileAs(file, {}, GetParam().level, 0, options, inPlace);
    ASSERT_EQ(first.status, CompressStatus::Ok) << ReasonText(first);
    ASSERT_TRUE(first.written);
    const test::Bytes once = Contents(file);
    struct stat before {};
    ::stat(file.c_str(), &before);
    for (int run = 0; run < 2; ++run) {
        const CompressOutcome again = CompressFileAs(file, {}, GetParam().level, 0, options, inPlace);
        EXPECT_EQ(again.status, CompressStatus::Ok);
        EXPECT_FALSE(again.written);
        if (!options.lossless) {
            EXPECT_NE(again.skipped.find("already compressed by this program"), std::string::npos) << again.skipped;
        }
    }
    struct stat after {};
    ::stat(file.c_str(), &after);
    EXPECT_EQ(Contents(file), once);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Commands, RerunTest, ::testing::Values(
    RerunCase{"StandardLevel1", Encoder::Standard, 1}, RerunCase{"StandardLevel5", Encoder::Standard, 5},
    RerunCase{"StandardLevel10", Encoder::Standard, 10}, RerunCase{"EfficientLevel1", Encoder::Efficient, 1},
    RerunCase{"EfficientLevel5", Encoder::Efficient, 5}, RerunCase{"EfficientLevel10", Encoder::Efficient, 10},
    RerunCase{"StandardTarget", Encoder::Standard, 5, 2.0}, RerunCase{"EfficientTarget", Encoder::Efficient, 5, 2.0},
    RerunCase{"Lossless", Encoder::Standard, 5, 0.0, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Our output at one level, read back and judged by a command at another.
TEST(OwnOutput, ReadsTheQualityMadeFromAndLeavesAloneOnlyTheSameOrACoarserLook)
{
    struct Case {
        Encoder made;
        CompressionLevel madeAt;
        Encoder again;
        CompressionLevel againAt;
        bool leftAlone;
    };
    const Case cases[] = {
        {Encoder::Standard, 5, Encoder::Standard, 5, true},    {Encoder::Standard, 5, Encoder::Standard, 3, true},
        {Encoder::Standard, 5, Encoder::Standard, 7, false},   {Encoder::Efficient, 5, Encoder::Efficient, 5, true},
        {Encoder::Efficient, 5, Encoder::Efficient, 7, false}, {Encoder::Efficient, 5, Encoder::Standard, 3, true},
        {Encoder::Efficient, 2, Encoder::Standard, 3, false},  {Encoder::Standard, 8, Encoder::Efficient, 5, true},
    };
    const test::Bytes photo = Photo(160, 120);
    for (const Case& c : cases) {
        EngineOptions made;
        made.encoder = c.made;
        std::vector<std::uint8_t> output;
        ASSERT_EQ(CompressBuffer(photo, c.madeAt, output, 0, made), CompressStatus::Ok);
        EXPECT_EQ(JpegQualityOf(output), QualityForLevel(c.madeAt));
        EngineOptions again;
        again.encoder = c.again;
        EXPECT_EQ(OwnOutputReason(output, QualityForLevel(c.againAt), again).empty(), !c.leftAlone)
            << static_cast<int>(c.made) << " " << c.madeAt << " then " << static_cast<int>(c.again) << " " << c.againAt;
    }
    EXPECT_TRUE(OwnOutputReason(photo, 90, EngineOptions{}).empty());
    // Our tables on a cut file are no output of ours: it fails as damaged, never kept as one.
    std::vector<std::uint8_t> ours, output;
    ASSERT_EQ(CompressBuffer(photo, 5, ours, 0), CompressStatus::Ok);
    ours.resize(ours.size() / 2);
    EXPECT_TRUE(OwnOutputReason(ours, 90, EngineOptions{}).empty());
    EXPECT_EQ(CompressBuffer(ours, 1, output, 0), CompressStatus::DamagedImage);
}

TEST(MemoryPool, AWorkerWaitsForRoomAndFailsAtOnceOnlyWhenItNeverFits)
{
    std::stop_source stop;
    MemoryPool pool(100, stop.get_token());
    std::atomic<int> step{0};
    std::optional<MemoryShare> first(&pool);
    ASSERT_TRUE(first->Hold(60));
    EXPECT_FALSE(MemoryShare(&pool).Hold(101));
    EXPECT_EQ(MemoryShare(&pool).HoldUpTo(50), 40u);
    std::jthread waiter([&] {
        MemoryShare second(&pool);
        step = second.Hold(70) ? 1 : -1;
        MemoryShare third(&pool);
        step = third.Hold(40) ? -2 : 2;  // stopped while waiting: no room ever comes
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(step, 0);
    first.reset();
    while (step == 0)
        std::this_thread::yield();
    EXPECT_EQ(step, 1);
    stop.request_stop();
    waiter.join();
    EXPECT_EQ(step, 2);
}

}  // namespace
}  // namespace tramblix
