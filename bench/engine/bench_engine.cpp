// Engine speed against a bare libjpeg-turbo decode + encode in the same process.
//
// Inputs are photo JPEGs of about 1, 12 and 24 megapixels, all made from one camera photo of
// the corpus: the 12 MP one is the file itself; the 1 MP one is it reduced by area averaging
// and the 24 MP one is it stacked over its mirror image, both encoded at quality 90 in memory.
// Everything stays in memory, so disk stays out of the figures.
//
// Every figure is a ratio of two runs timed in pairs: each iteration runs the baseline and the
// candidate back to back (in alternating order), and the figure is the median of the per-pair
// ratios. Other work on a shared machine then slows both sides of a pair alike instead of
// whichever benchmark it happened to overlap. Each benchmark warms up, then repeats for a fixed
// time; the "ratio ..." lines at the end gather the figures.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/internal/scan_script.h"
#include "engine/quality_table.h"
#include "tests/support/jpeg_helpers.h"

namespace {

namespace fs = std::filesystem;

constexpr tramblix::CompressionLevel kLevel = 5;  // the sliders' starting position
constexpr double kWarmUp = 0.3;                   // seconds

using Pixels = tramblix::test::Pixels;  // RGB here

struct Input {
    std::string name;  // "1MP", "12MP", "24MP"
    std::vector<std::uint8_t> jpeg;
    double megapixels = 0;
};

enum class Coding {
    Ours,       // 4:2:0, optimised Huffman, ConfigureScans: what the engine writes
    Optimised,  // 4:2:0, optimised Huffman, sequential
    Plain,      // 4:2:0, standard Huffman tables, sequential
};

// The bare baseline's decode: what any libjpeg program would do, with the engine's accuracy
// settings (accurate DCT, smooth chroma upsampling, RGB out).
bool BareDecode(const std::vector<std::uint8_t>& jpeg, Pixels& out)
{
    return tramblix::test::DecodeWithLibjpeg(jpeg, out, JCS_RGB);
}

// 4:2:0 from RGB with the accurate DCT, coded as `coding` says; empty when libjpeg refused.
std::vector<std::uint8_t> Encode(const Pixels& pixels, int quality, Coding coding)
{
    tramblix::test::JpegRecipe recipe;
    recipe.width = pixels.width;
    recipe.height = pixels.height;
    recipe.quality = quality;
    recipe.optimise = coding == Coding::Optimised;
    if (coding == Coding::Ours)
        recipe.configure = [quality](jpeg_compress_struct& cinfo) { tramblix::ConfigureScans(cinfo, quality); };
    return tramblix::test::MakeJpeg(recipe, pixels.samples);
}

// Area-averaging reduction to width x height.
Pixels Reduce(const Pixels& in, int width, int height)
{
    Pixels out{width, height, 3, std::vector<JSAMPLE>(static_cast<std::size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        const int y0 = static_cast<int>(static_cast<long long>(y) * in.height / height);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<long long>(y + 1) * in.height / height));
        for (int x = 0; x < width; ++x) {
            const int x0 = static_cast<int>(static_cast<long long>(x) * in.width / width);
            const int x1 = std::max(x0 + 1, static_cast<int>(static_cast<long long>(x + 1) * in.width / width));
            for (int c = 0; c < 3; ++c) {
                unsigned sum = 0;
                for (int sy = y0; sy < y1; ++sy)
                    for (int sx = x0; sx < x1; ++sx)
                        sum += in.samples[(static_cast<std::size_t>(sy) * in.width + sx) * 3 + c];
                const unsigned n = static_cast<unsigned>((y1 - y0) * (x1 - x0));
                out.samples[(static_cast<std::size_t>(y) * width + x) * 3 + c] =
                    static_cast<JSAMPLE>((sum + n / 2) / n);
            }
        }
    }
    return out;
}

// The picture over its upside-down mirror: twice the pixels with the detail of the original.
Pixels StackWithMirror(const Pixels& in)
{
    Pixels out{in.width, in.height * 2, 3, {}};
    const std::size_t rowBytes = static_cast<std::size_t>(in.width) * 3;
    out.samples.resize(rowBytes * static_cast<std::size_t>(out.height));
    std::copy(in.samples.begin(), in.samples.end(), out.samples.begin());
    for (int y = 0; y < in.height; ++y)
        std::copy_n(in.samples.data() + rowBytes * (in.height - 1 - y), rowBytes,
                    out.samples.data() + rowBytes * (in.height + y));
    return out;
}

std::vector<std::uint8_t> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Timing {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds, all threads of the process
};

template <typename F>
Timing Measure(F&& work)
{
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto wall0 = std::chrono::steady_clock::now();
    work();
    const auto wall1 = std::chrono::steady_clock::now();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    return {std::chrono::duration<double>(wall1 - wall0).count(),
            static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9};
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (v.size() % 2 == 1)
        return *mid;
    return (*mid + *std::max_element(v.begin(), mid)) / 2;
}

struct PairResult {
    double wallRatio = std::numeric_limits<double>::quiet_NaN();  // candidate / baseline
    double cpuRatio = std::numeric_limits<double>::quiet_NaN();
    double baselineMpps = 0;
    double candidateMpps = 0;
};

// Figures of the last (longest) run of each pair benchmark, by name.
std::map<std::string, PairResult>& Results()
{
    static std::map<std::string, PairResult> results;
    return results;
}

template <typename Baseline, typename Candidate>
void RunPair(benchmark::State& state, const std::string& name, double megapixels, Baseline baseline,
             Candidate candidate)
{
    std::vector<double> wallRatios, cpuRatios, baselineWall, candidateWall;
    bool baselineFirst = true;
    for (auto _ : state) {
        Timing b, c;
        if (baselineFirst) {
            b = Measure(baseline);
            c = Measure(candidate);
        } else {
            c = Measure(candidate);
            b = Measure(baseline);
        }
        baselineFirst = !baselineFirst;
        wallRatios.push_back(c.wall / b.wall);
        cpuRatios.push_back(c.cpu / b.cpu);
        baselineWall.push_back(b.wall);
        candidateWall.push_back(c.wall);
    }
    const PairResult r{Median(wallRatios), Median(cpuRatios), megapixels / Median(baselineWall),
                       megapixels / Median(candidateWall)};
    state.counters["ratio"] = r.wallRatio;
    state.counters["ratio_cpu"] = r.cpuRatio;
    state.counters["base_MP/s"] = r.baselineMpps;
    state.counters["MP/s"] = r.candidateMpps;
    Results()[name] = r;
}

template <typename Baseline, typename Candidate>
void AddPair(const std::string& name, double minTime, double megapixels, Baseline baseline, Candidate candidate)
{
    benchmark::RegisterBenchmark(
        name.c_str(), [=](benchmark::State& state) { RunPair(state, name, megapixels, baseline, candidate); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(minTime)
        ->MinWarmUpTime(kWarmUp);
}

}  // namespace

int main(int argc, char** argv)
{
    const fs::path photo = fs::path(TRAMBLIX_CORPUS_DIR) / "photos" / "42_IndexError.jpg";
    if (!fs::is_regular_file(photo)) {
        std::printf("bench_engine: skipped, no corpus photo at %s\n", photo.string().c_str());
        return 0;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    std::vector<Input> inputs(3);
    Pixels photoPixels;
    inputs[1] = {"12MP", ReadFile(photo), 0};
    if (!BareDecode(inputs[1].jpeg, photoPixels)) {
        std::printf("bench_engine: cannot decode %s\n", photo.string().c_str());
        return 1;
    }
    inputs[1].megapixels = photoPixels.width * static_cast<double>(photoPixels.height) / 1e6;
    {
        // 1 MP with the photo's aspect ratio.
        const double scale = std::sqrt(1e6 / (photoPixels.width * static_cast<double>(photoPixels.height)));
        const Pixels small = Reduce(photoPixels, static_cast<int>(photoPixels.width * scale),
                                    static_cast<int>(photoPixels.height * scale));
        inputs[0] = {"1MP", Encode(small, 90, Coding::Plain), small.width * static_cast<double>(small.height) / 1e6};
        const Pixels large = StackWithMirror(photoPixels);
        inputs[2] = {"24MP", Encode(large, 90, Coding::Plain), large.width * static_cast<double>(large.height) / 1e6};
    }
    const int quality = tramblix::QualityForLevel(kLevel);

    // Same coding settings on both sides: the same output bytes, less the metadata the engine
    // carries over. Checked once so that the ratio compares like with like.
    for (const Input& input : inputs) {
        Pixels pixels;
        std::vector<std::uint8_t> engineOut;
        const bool ok = BareDecode(input.jpeg, pixels) &&
                        tramblix::CompressBuffer(input.jpeg, kLevel, engineOut, 0) == tramblix::CompressStatus::Ok;
        const auto bareOut = ok ? Encode(pixels, quality, Coding::Ours) : std::vector<std::uint8_t>{};
        if (!ok || bareOut.empty()) {
            std::printf("bench_engine: %s input does not compress\n", input.name.c_str());
            return 1;
        }
        std::printf("%s: %.1f MP, input %zu bytes, bare output %zu bytes, engine output %zu bytes\n",
                    input.name.c_str(), input.megapixels, input.jpeg.size(), bareOut.size(), engineOut.size());
    }

    auto bare = [quality](const Input& input, Coding coding = Coding::Ours) {
        return [&input, quality, coding] {
            Pixels pixels;  // a fresh buffer each time, as the engine has
            BareDecode(input.jpeg, pixels);
            benchmark::DoNotOptimize(Encode(pixels, quality, coding));
        };
    };
    auto engine = [](const Input& input, tramblix::FilterStrength ai, unsigned threads) {
        return [&input, ai, threads] {
            std::vector<std::uint8_t> out;
            tramblix::CompressBuffer(input.jpeg, kLevel, out, ai, tramblix::EngineOptions{threads});
        };
    };
    for (const Input& input : inputs)
        AddPair("CompressBuffer_vs_Bare/" + input.name, input.megapixels < 2 ? 1.0 : 2.5, input.megapixels, bare(input),
                engine(input, 0, 0));

    // The filters may use every core (a single-image run) or one (each worker of a batch).
    const Input& twelve = inputs[1];
    for (unsigned threads : {0u, 1u})
        for (int ai = 1; ai <= 5; ++ai)
            AddPair("AI" + std::to_string(ai) + "_vs_AI0/12MP" + (threads == 1 ? "/1thread" : ""), 1.5,
                    twelve.megapixels, engine(twelve, 0, threads), engine(twelve, ai, threads));

    // What bounds the AI5 figure: the filters alone (on a copy of the decoded pixels, one
    // thread) against the whole AI0 call; whatever else AI5 costs is the encode of the changed
    // pixels (the output sizes show whether the filters added or removed detail).
    auto decodedTwelve = std::make_shared<tramblix::DecodedImage>();
    tramblix::DecodeImage(twelve.jpeg, *decodedTwelve);
    AddPair("FiltersAI5_vs_AI0/12MP/1thread", 1.5, twelve.megapixels, engine(twelve, 0, 1), [decodedTwelve] {
        tramblix::Image copy = decodedTwelve->pixels;
        tramblix::ApplyFilters(copy, 5, tramblix::kSharpeningFactor, 1);
    });
    {
        std::vector<std::uint8_t> ai0, ai5;
        tramblix::CompressBuffer(twelve.jpeg, kLevel, ai0, 0);
        tramblix::CompressBuffer(twelve.jpeg, kLevel, ai5, 5);
        std::printf("12MP output at AI0 %zu bytes, at AI5 %zu bytes\n", ai0.size(), ai5.size());
    }

    // Where the engine spends more than the bare calls: the two halves apart.
    AddPair(
        "DecodeEngine_vs_Bare/12MP", 1.0, twelve.megapixels,
        [&twelve] {
            Pixels pixels;
            BareDecode(twelve.jpeg, pixels);
        },
        [&twelve] {
            tramblix::DecodedImage image;
            tramblix::DecodeImage(twelve.jpeg, image);
        });
    const auto decoded = decodedTwelve;
    AddPair(
        "EncodeEngine_vs_Bare/12MP", 1.0, twelve.megapixels,
        [&photoPixels, quality] { benchmark::DoNotOptimize(Encode(photoPixels, quality, Coding::Ours)); },
        [decoded, quality] {
            std::vector<std::uint8_t> out;
            tramblix::EncodeJpeg(*decoded, quality, out);
        });

    // What our progressive scripts cost over optimised sequential coding: in a whole decode and
    // encode, and in the encode alone at three levels.
    AddPair("ReencodeProgressive_vs_Sequential/12MP", 2.5, twelve.megapixels, bare(twelve, Coding::Optimised),
            bare(twelve));
    for (int level : {1, 5, 10}) {
        const int q = tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level));
        auto encoder = [&photoPixels, q](Coding coding) {
            return [&photoPixels, q, coding] { benchmark::DoNotOptimize(Encode(photoPixels, q, coding)); };
        };
        AddPair("EncodeProgressive_vs_Sequential/12MP/L" + std::to_string(level), 1.0, twelve.megapixels,
                encoder(Coding::Optimised), encoder(Coding::Ours));
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf(
        "\nratios (candidate / baseline, median of paired runs) at compression level %u, quality %d "
        "unless named; cpu: all threads of the process\n",
        kLevel, quality);
    auto line = [](const std::string& what, const std::string& name, const char* target) {
        const auto it = Results().find(name);
        if (it == Results().end())  // filtered out
            return;
        const PairResult& r = it->second;
        std::printf("ratio %-62s %6.3f  (cpu %.3f; %.1f vs %.1f MP/s)%s\n", what.c_str(), r.wallRatio, r.cpuRatio,
                    r.candidateMpps, r.baselineMpps, target);
    };
    for (const Input& input : inputs)
        line("CompressBuffer AI0 / bare decode+encode, " + input.name, "CompressBuffer_vs_Bare/" + input.name,
             input.name == "12MP" ? "  target <= 1.10" : "");
    for (const char* threads : {"", "/1thread"})
        for (int ai = 1; ai <= 5; ++ai)
            line("CompressBuffer AI" + std::to_string(ai) + " / AI0, 12MP, filters on " +
                     (*threads ? "1 thread" : "all cores"),
                 "AI" + std::to_string(ai) + "_vs_AI0/12MP" + threads, ai == 5 ? "  target <= 2.0" : "");
    line("filters alone at AI5 (1 thread) / CompressBuffer AI0, 12MP", "FiltersAI5_vs_AI0/12MP/1thread", "");
    line("engine decode / bare decode, 12MP", "DecodeEngine_vs_Bare/12MP", "");
    line("engine encode / bare encode, 12MP", "EncodeEngine_vs_Bare/12MP", "");
    line("decode+encode progressive (ours) / optimised sequential, 12MP", "ReencodeProgressive_vs_Sequential/12MP", "");
    for (int level : {1, 5, 10})
        line("encode progressive (ours) / optimised sequential, 12MP, L" + std::to_string(level),
             "EncodeProgressive_vs_Sequential/12MP/L" + std::to_string(level), "");
    return 0;
}
