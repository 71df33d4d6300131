#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "batch/runner.h"
#include "batch/walk.h"
#include "engine/cpus.h"
#include "engine/memory_pool.h"
#include "test_tree.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

class RunnerTest : public TempTree, public ::testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override
    {
        TempTree::SetUp();
        std::mt19937 random(GetParam());
        for (int i = 0; i < 40; ++i)
            File("in/" + std::string(1, static_cast<char>('a' + random() % 4)) + "/" + std::to_string(i) + ".jpg");
        File("in/top.jpg");
        WalkDirectory(Path("in"), {}, [&](const std::string& file) { walkOrder.push_back(file); });
        settings.inputDirectory = Path("in");
        settings.outputDirectory = Path("out");
        settings.jobs = GetParam();
    }

    // Work that takes a random time, so later files often finish before earlier ones.
    FileWork SlowWork()
    {
        return [this](const std::string& file, const EngineOptions& engine) {
            const int now = ++running;
            int seen = maxRunning.load();
            while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {}
            EXPECT_EQ(engine.threads, GetParam() == 1 ? 0u : 1u);
            // One memory budget for the whole run, shared by every worker.
            const MemoryPool* first = nullptr;
            pool.compare_exchange_strong(first, engine.memoryPool);
            EXPECT_TRUE(engine.memoryPool != nullptr && engine.memoryPool == pool.load() &&
                        engine.memoryPool->total() == settings.engine.memoryBudget);
            thread_local std::mt19937 random(std::hash<std::thread::id>()(std::this_thread::get_id()));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            if (++started == cancelAt)
                runner->Cancel();
            --running;
            return FileReport{FileReport::Outcome::Done, 10, 4, false, file};
        };
    }

    std::vector<std::string> RunAndLog()
    {
        std::vector<std::string> lines;
        runner = std::make_unique<BatchRunner>(
            settings,
            BatchRunner::Callbacks{[&](const LogLine& line) { lines.push_back(line.text); },
                                   [&](const BatchProgress& p) { last = p; }},
            SlowWork());
        const BatchProgress result = runner->Run();
        EXPECT_EQ(result.filesDone, last.filesDone);
        return lines;
    }

    std::vector<std::string> walkOrder;
    BatchSettings settings;
    std::unique_ptr<BatchRunner> runner;
    BatchProgress last;
    std::atomic<int> running{0}, maxRunning{0}, started{0};
    std::atomic<const MemoryPool*> pool{nullptr};
    int cancelAt = -1;
};

TEST_P(RunnerTest, LinesFollowTheWalkWhateverTheFinishingOrder)
{
    std::vector<std::string> expected{"Start Processing..."};
    expected.insert(expected.end(), walkOrder.begin(), walkOrder.end());
    expected.push_back("End Processing...");
    EXPECT_EQ(RunAndLog(), expected);
    EXPECT_LE(maxRunning.load(), static_cast<int>(GetParam()));  // one file in memory per worker
    EXPECT_TRUE(last.walkComplete);
    EXPECT_EQ(last.filesTotal, 41u);
    EXPECT_EQ(last.filesDone, 41u);
    EXPECT_EQ(last.bytesIn, 410u);
    EXPECT_EQ(last.bytesOut, 164u);
    EXPECT_FALSE(last.cancelled);
}

TEST_P(RunnerTest, CancelFinishesFilesInFlightAndClosesTheLog)
{
    cancelAt = 5;
    const std::vector<std::string> lines = RunAndLog();
    ASSERT_GE(lines.size(), 2u + 5u);
    EXPECT_EQ(lines.front(), "Start Processing...");
    EXPECT_EQ(lines.back(), "End Processing...");
    const std::vector<std::string> files(lines.begin() + 1, lines.end() - 1);
    // A gap-free prefix of the walk: nothing started after the cancel but what was already taken.
    EXPECT_LE(files.size(), 5u + GetParam() - 1);
    EXPECT_TRUE(std::equal(files.begin(), files.end(), walkOrder.begin()));
    EXPECT_EQ(static_cast<std::size_t>(started.load()), files.size());
    EXPECT_TRUE(last.cancelled);
}

TEST_P(RunnerTest, UnreadableDirectoryTakesItsPlaceInTheLog)
{
    // A real listing failure that root cannot get around: the directory is gone when its turn comes.
    settings.lister = [this](const fs::path& directory, std::vector<ListedEntry>& entries) {
        if (directory == Path("in/b"))
            fs::remove_all(directory);
        return ListDirectory(directory, entries);
    };
    const std::vector<std::string> lines = RunAndLog();
    std::vector<std::string> expected{"Start Processing..."};
    for (const std::string& file : walkOrder) {
        if (file.rfind(Path("in/b/"), 0) == 0) {
            const std::string line = " Cannot read directory: " + Path("in/b") + " (No such file or directory)";
            if (expected.back() != line)
                expected.push_back(line);
            continue;
        }
        expected.push_back(file);
    }
    expected.push_back("End Processing...");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(last.directoriesUnreadable, 1u);
}

INSTANTIATE_TEST_SUITE_P(Jobs, RunnerTest, ::testing::Values(1u, 2u, 3u, 8u));

// Output inside the input tree, with the real per-file step and a copying stand-in for the engine.
class OutputInsideInputTest : public TempTree {};

TEST_F(OutputInsideInputTest, OutputIsNeverReadAsInput)
{
    File("in/a.jpg", "aaaa");
    File("in/sub/b.jpg", "bb");
    File("in/sub/out/old.jpg", "old");  // left by an earlier run
    std::vector<std::string> lines;
    std::atomic<int> sameFile{0};
    BatchSettings settings{Path("in"), Path("in/sub/out"), 5, 0, true, 2};
    FileSettings file{Path("in/"), Path("in/sub/out/"), 5, 0, {}};
    BatchRunner runner(
        settings, {[&](const LogLine& line) { lines.push_back(line.text); }, {}},
        [&](const std::string& path, const EngineOptions&) {
            return ProcessFoundFile(path, file, [&](const fs::path& in, const fs::path& out, auto...) {
                if (fs::equivalent(in, out) || fs::exists(out))
                    ++sameFile;
                fs::copy_file(in, out);
                return CompressOutcome{CompressStatus::Ok, fs::file_size(in), fs::file_size(out), true, {}};
            });
        });
    const BatchProgress result = runner.Run();
    EXPECT_EQ(result.filesDone, 2u);
    EXPECT_EQ(sameFile.load(), 0);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], SkippedDirectoryLine(Path("in/sub/out"), "the output directory"));
    EXPECT_TRUE(fs::exists(root / "in/sub/out/a.jpg"));
    EXPECT_TRUE(fs::exists(root / "in/sub/out/sub/b.jpg"));
    EXPECT_FALSE(fs::exists(root / "in/sub/out/sub/out"));
}

// The log is handed over outside the runner's lock: a consumer that blocks (a full pipe) holds up
// no other worker, and one that throws, like work that throws, fails only its own file.
class RunnerCallbackTest : public TempTree {};

TEST_F(RunnerCallbackTest, BlockingOrThrowingConsumerHoldsUpNoWorkerAndFailsOnlyItsFile)
{
    for (int i = 0; i < 20; ++i)
        File("in/" + std::to_string(100 + i) + ".jpg");
    BatchSettings settings;
    settings.inputDirectory = Path("in");
    settings.outputDirectory = Path("out");
    settings.jobs = 2;
    std::atomic<int> worked{0};
    std::vector<std::string> lines;
    BatchRunner runner(settings,
                       {[&](const LogLine& line) {
                            for (int i = 0; i < 1000 && line.text.ends_with("100.jpg") && worked < 20; ++i)
                                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                            if (line.text.ends_with("103.jpg"))
                                throw std::bad_alloc();
                            lines.push_back(line.text);
                        },
                        [](const BatchProgress&) { throw std::runtime_error("progress"); }},
                       [&](const std::string& file, const EngineOptions&) {
                           ++worked;
                           if (file.ends_with("105.jpg"))
                               throw std::runtime_error("work");
                           return FileReport{FileReport::Outcome::Done, 10, 4, false, file};
                       });
    const BatchProgress result = runner.Run();
    EXPECT_EQ(result.filesDone, 18u);
    EXPECT_EQ(result.filesFailed, 2u);
    ASSERT_EQ(lines.size(), 21u);  // start, 19 files, end
    EXPECT_TRUE(lines[4].ends_with("104.jpg")) << lines[4];
    EXPECT_NE(lines[5].find("105.jpg Failed: internal error"), std::string::npos) << lines[5];
    EXPECT_EQ(lines.back(), "End Processing...");
}

// The default number of workers: the CPUs the process may use, fewer under a cgroup quota.
TEST(WorkerCountTest, FollowsTheAffinityAndTheQuota)
{
    const std::optional<unsigned> none;
    const std::tuple<const char*, const char*, std::optional<unsigned>> quotas[] = {
        {"200000", "100000", 2u}, {"150000", "100000", 2u}, {"5000", "100000", 1u}, {"max", "100000", none},
        {"-1", "100000", none},   {"", "100000", none},     {"100000", "0", none},  {"1e5", "100000", none}};
    for (const auto& [quota, period, cpus] : quotas)
        EXPECT_EQ(QuotaCpus(quota, period), cpus) << quota << "/" << period;
    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const unsigned workers = BatchRunner::WorkerCount(0, 10);
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(workers, 1u);
}

}  // namespace
