// Pixel filter throughput on a generated 12 MP photo-like picture (smooth gradients, a few hard
// edges, noise).
//
//   bench_filters [--benchmark_filter=REGEX] [other Google Benchmark options]
//
// Every filter and the filter set of every AI level runs with 1 thread and with all threads, and
// once as the straightforward loop it replaces (a full working copy, one division per sample, two
// full padded buffers swept twice per speckle step); the single filters and AI level 5 also run
// with each instruction set the CPU offers. After the runs a table gives megapixels per second,
// the speed-up over the straightforward loop, and what each filter set costs next to a plain
// libjpeg-turbo decode + encode of the same picture. Single-threaded figures in the table come
// from CPU time, the all-threads ones from wall time; with --benchmark_repetitions the table uses
// each benchmark's fastest repetition.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include "engine/filters.h"
#include "engine/levels.h"
#include "tests/support/jpeg_helpers.h"

namespace {

using tramblix::Image;

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr double kMegapixels = kWidth * kHeight / 1e6;

const Image& Photo()
{
    static const Image photo = [] {
        Image image(kWidth, kHeight, 3);
        std::mt19937 rng(2024);
        std::normal_distribution<double> noise(0.0, 2.5);
        for (int y = 0; y < kHeight; ++y) {
            std::uint8_t* row = image.row(y);
            for (int x = 0; x < kWidth; ++x) {
                const bool block = (x / 500 + y / 400) % 3 == 0;  // hard edges every few hundred pixels
                for (int c = 0; c < 3; ++c) {
                    const double smooth = 120 + 70 * std::sin(x / (260.0 + 40 * c)) * std::cos(y / (190.0 + 30 * c)) +
                                          25 * std::sin((x + 2 * y) / 900.0);
                    const double value = smooth + (block ? 45 : 0) + noise(rng);
                    row[x * 3 + c] = static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
                }
            }
        }
        return image;
    }();
    return photo;
}

// The straightforward loops, as a first implementation would write them.
namespace naive {

void EdgeLift(Image& image, int threshold)
{
    const Image copy = image;
    const int c = image.channels;
    for (int y = 1; y + 1 < image.height; ++y) {
        const std::uint8_t* up = copy.row(y - 1);
        const std::uint8_t* mid = copy.row(y);
        const std::uint8_t* down = copy.row(y + 1);
        std::uint8_t* out = image.row(y);
        for (int i = c; i < (image.width - 1) * c; ++i) {
            const int g = std::max({std::abs(up[i + c] - down[i - c]), std::abs(down[i + c] - up[i - c]),
                                    std::abs(up[i] - down[i]), std::abs(mid[i + c] - mid[i - c])});
            if (g > threshold && g > mid[i]) {
                out[i] = static_cast<std::uint8_t>(g);
            }
        }
    }
}

void Sharpen(Image& image, int n)
{
    const int w[9] = {0, -2, 0, -2, n, -2, 0, -2, 0};
    const int divisor = n - 8;
    const Image copy = image;
    const int c = image.channels;
    for (int y = 1; y + 1 < image.height; ++y) {
        const std::uint8_t* up = copy.row(y - 1);
        const std::uint8_t* mid = copy.row(y);
        const std::uint8_t* down = copy.row(y + 1);
        std::uint8_t* out = image.row(y);
        for (int i = c; i < (image.width - 1) * c; ++i) {
            const int sum = w[0] * up[i - c] + w[1] * up[i] + w[2] * up[i + c] + w[3] * mid[i - c] + w[4] * mid[i] +
                            w[5] * mid[i + c] + w[6] * down[i - c] + w[7] * down[i] + w[8] * down[i + c];
            out[i] = static_cast<std::uint8_t>(std::clamp(sum / divisor, 0, 255));
        }
    }
}

void Speckle(Image& image, int strength)
{
    const int w = image.width, h = image.height, c = image.channels;
    const std::ptrdiff_t padded = static_cast<std::ptrdiff_t>(w + 2) * c;
    std::vector<std::uint8_t> a(static_cast<std::size_t>(padded) * (h + 2)), b(a.size());
    for (int y = 0; y < h; ++y) {
        std::copy_n(image.row(y), w * c, a.data() + (y + 1) * padded + c);
    }
    auto step = [&](tramblix::SpeckleDirection e, int s) {
        const std::ptrdiff_t away = e.dy * padded + e.dx * c;
        for (int y = 1; y <= h; ++y) {
            for (std::ptrdiff_t p = y * padded + c; p < y * padded + c + w * c; ++p) {
                b[p] = static_cast<std::uint8_t>(s * (a[p + away] - a[p]) >= 2 ? a[p] + s : a[p]);
            }
        }
        for (int y = 1; y <= h; ++y) {
            for (std::ptrdiff_t p = y * padded + c; p < y * padded + c + w * c; ++p) {
                const bool move = s * (b[p - away] - b[p]) >= 2 && s * (b[p + away] - b[p]) > 0;
                a[p] = static_cast<std::uint8_t>(move ? b[p] + s : b[p]);
            }
        }
    };
    for (int d = 0; d < std::min(4, strength - 1); ++d) {
        const tramblix::SpeckleDirection e = tramblix::SpeckleDirections[d], back{-e.dx, -e.dy};
        step(e, 1);
        step(back, 1);
        step(back, -1);
        step(e, -1);
    }
    for (int y = 0; y < h; ++y) {
        std::copy_n(a.data() + (y + 1) * padded + c, w * c, image.row(y));
    }
}

}  // namespace naive

void AiSet(Image& image, int level, unsigned threads)
{
    tramblix::EdgeLiftPass(image, tramblix::kEdgeLiftThreshold, threads);
    tramblix::SharpenPass(image, tramblix::kSharpeningFactor, threads);
    tramblix::SpeckleSmoothing(image, level, threads);
}

void NaiveAiSet(Image& image, int level)
{
    naive::EdgeLift(image, tramblix::kEdgeLiftThreshold);
    naive::Sharpen(image, tramblix::kSharpeningFactor);
    naive::Speckle(image, level);
}

// A plain libjpeg-turbo encode (quality 75, 4:2:0) and decode of the picture, for scale.
void DecodeEncode(const Image& image)
{
    tramblix::test::JpegRecipe recipe;
    recipe.width = image.width;
    recipe.height = image.height;
    recipe.quality = 75;
    tramblix::test::Pixels pixels;
    // The bench's pictures have packed rows (stride = width * 3), as MakeJpeg takes them.
    tramblix::test::DecodeWithLibjpeg(tramblix::test::MakeJpeg(recipe, image.data), pixels);
    benchmark::DoNotOptimize(pixels.samples.data());
}

using Filter = std::function<void(Image&, unsigned)>;

struct Case {
    std::string name;
    Filter fast;
    std::function<void(Image&)> slow;
    bool perIsa = false;
};

constexpr const char* kIsaNames[] = {"baseline", "avx2", "avx512"};

std::vector<Case> Cases()
{
    using namespace tramblix;
    std::vector<Case> cases = {
        {"EdgeLift", [](Image& i, unsigned t) { EdgeLiftPass(i, kEdgeLiftThreshold, t); },
         [](Image& i) { naive::EdgeLift(i, kEdgeLiftThreshold); }, true},
        {"Sharpen", [](Image& i, unsigned t) { SharpenPass(i, kSharpeningFactor, t); },
         [](Image& i) { naive::Sharpen(i, kSharpeningFactor); }, true},
    };
    for (int s = 2; s <= 5; ++s) {
        cases.push_back({"Speckle" + std::to_string(s), [s](Image& i, unsigned t) { SpeckleSmoothing(i, s, t); },
                         [s](Image& i) { naive::Speckle(i, s); }, s == 5});
    }
    for (int level = 1; level <= 5; ++level) {
        cases.push_back({"AiLevel" + std::to_string(level), [level](Image& i, unsigned t) { AiSet(i, level, t); },
                         [level](Image& i) { NaiveAiSet(i, level); }, level == 5});
    }
    return cases;
}

// Each iteration filters a fresh copy of the picture; the copy is not timed.
void Run(benchmark::State& state, const std::function<void(Image&)>& filter)
{
    Image image;
    for (auto _ : state) {
        state.PauseTiming();
        image = Photo();
        state.ResumeTiming();
        filter(image);
        benchmark::DoNotOptimize(image.data.data());
    }
    state.counters["MP/s"] = benchmark::Counter(kMegapixels * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Prints as usual and keeps each benchmark's time per iteration for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                const Times times{run.real_accumulated_time / double(run.iterations),
                                  run.cpu_accumulated_time / double(run.iterations)};
                const auto [it, added] = times_.emplace(run.run_name.function_name, times);
                it->second = {std::min(it->second.real, times.real), std::min(it->second.cpu, times.cpu)};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintTable(const std::vector<Case>& cases, unsigned allThreads) const
    {
        const std::string all = "threads:" + std::to_string(allThreads);
        std::printf("\n%-10s %12s %12s %12s %10s %10s %14s\n", "filter", "naive MP/s", "1 thr MP/s",
                    (std::to_string(allThreads) + " thr MP/s").c_str(), "x naive", "x naive", "of dec+enc");
        const double codec = Seconds("DecodeEncode");
        for (const Case& c : cases) {
            const double slow = Seconds(c.name + "/naive");
            const double one = Seconds(c.name + "/threads:1");
            const double many = Seconds(c.name + "/" + all, allThreads > 1);
            if (one <= 0 && slow <= 0) {
                continue;  // filtered out
            }
            auto rate = [](double s) { return s > 0 ? kMegapixels / s : 0.0; };
            auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; };
            std::printf("%-10s %12.1f %12.1f %12.1f %10.1f %10.1f %13.0f%%\n", c.name.c_str(), rate(slow), rate(one),
                        rate(many), ratio(slow, one), ratio(slow, many), 100 * ratio(one, codec));
        }
        std::printf("\n%-10s", "1 thread");
        for (const char* isa : kIsaNames) {
            std::printf(" %10s", isa);
        }
        std::printf("   (MP/s by instruction set)\n");
        for (const Case& c : cases) {
            if (!c.perIsa || Seconds(c.name + "/isa:baseline") <= 0) {
                continue;
            }
            std::printf("%-10s", c.name.c_str());
            for (const char* isa : kIsaNames) {
                const double s = Seconds(c.name + "/isa:" + isa);
                std::printf(" %10.1f", s > 0 ? kMegapixels / s : 0.0);
            }
            std::printf("\n");
        }
        if (codec > 0) {
            std::printf(
                "decode+encode (libjpeg-turbo q75 4:2:0, 1 thread): %.1f MP/s; last column: 1-thread filters / that\n",
                kMegapixels / codec);
        }
        if (allThreads > 1) {
            std::printf("1-thread and naive figures from CPU time, %u-thread figures from wall time\n", allThreads);
        }
    }

private:
    struct Times {
        double real;
        double cpu;  // of the benchmark's own thread
    };

    // Single-threaded figures use CPU time, which other processes on a shared machine disturb
    // less; with several threads only wall time says what the caller waits.
    double Seconds(const std::string& name, bool wall = false) const
    {
        const auto it = times_.find(name);
        return it == times_.end() ? 0.0 : wall ? it->second.real : it->second.cpu;
    }

    std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv)
{
    const unsigned allThreads = std::max(1u, std::thread::hardware_concurrency());
    const std::vector<Case> cases = Cases();
    for (const Case& c : cases) {
        for (unsigned threads : {1u, allThreads}) {
            benchmark::RegisterBenchmark(
                (c.name + "/threads:" + std::to_string(threads)).c_str(),
                [&c, threads](benchmark::State& state) { Run(state, [&c, threads](Image& i) { c.fast(i, threads); }); })
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            if (allThreads == 1) {
                break;  // the all-threads run would repeat the 1-thread run
            }
        }
        if (c.perIsa) {
            for (tramblix::FilterIsa isa : tramblix::SupportedFilterIsas()) {
                const std::string name = c.name + "/isa:" + kIsaNames[static_cast<int>(isa)];
                benchmark::RegisterBenchmark(name.c_str(),
                                             [&c, isa](benchmark::State& state) {
                                                 const tramblix::FilterIsa active = tramblix::ActiveFilterIsa();
                                                 tramblix::UseFilterIsa(isa);
                                                 Run(state, [&c](Image& i) { c.fast(i, 1); });
                                                 tramblix::UseFilterIsa(active);
                                             })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
        benchmark::RegisterBenchmark((c.name + "/naive").c_str(), [&c](benchmark::State& state) { Run(state, c.slow); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("DecodeEncode",
                                 [](benchmark::State& state) { Run(state, [](Image& i) { DecodeEncode(i); }); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Photo();  // generate once, outside any timing
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable(cases, allThreads);
    benchmark::Shutdown();
    return 0;
}
