// Throughput of the batch runner with 2 workers against 1, in the same process.
//
// Twenty different 4 MP photos are cut out of the largest corpus photo and written to a
// scratch directory; the whole directory is then compressed with 1 and with 2 workers, in
// alternation, after a warm-up run. The best time of each is kept, tjbench-style, so a
// neighbour's burst of work on a shared machine counts against neither side.
//
//   bench_batch [--photos N] [--rounds N] [--level N] [--ai N] [SOURCE.jpg]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "batch/runner.h"
#include "engine/codec.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

constexpr int kWidth = 2304;
constexpr int kHeight = 1728;  // 3.98 MP

std::vector<std::uint8_t> ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Cuts `count` overlapping but different windows out of the source photo.
bool MakePhotos(const fs::path& source, const fs::path& directory, int count)
{
    DecodedImage whole;
    if (DecodeImage(ReadAll(source), whole) != DecodeStatus::Ok || whole.pixels.width < kWidth ||
        whole.pixels.height < kHeight) {
        std::fprintf(stderr, "bench_batch: %s is not a photo of at least %dx%d\n", source.c_str(), kWidth, kHeight);
        return false;
    }
    const Image& from = whole.pixels;
    for (int i = 0; i < count; ++i) {
        const int x = (from.width - kWidth) * (i % 5) / 4;
        const int y = (from.height - kHeight) * (i / 5 % 4) / 3;
        DecodedImage crop;
        crop.icc = whole.icc;
        crop.pixels = Image(kWidth, kHeight, from.channels);
        for (int row = 0; row < kHeight; ++row)
            std::copy_n(from.row(y + row) + static_cast<std::ptrdiff_t>(x) * from.channels, crop.pixels.rowBytes(),
                        crop.pixels.row(row));
        std::vector<std::uint8_t> bytes;
        if (!EncodeJpeg(crop, 92, bytes))
            return false;
        char name[32];
        std::snprintf(name, sizeof name, "photo%02d.jpg", i);
        std::ofstream(directory / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return true;
}

struct Timing {
    double seconds = 0;
    double cores = 0;  // CPU time over wall time: below the worker count, the machine was busy
    BatchProgress result;
};

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Timing RunBatch(const fs::path& input, const fs::path& output, unsigned jobs, CompressionLevel level, FilterStrength ai)
{
    fs::remove_all(output);
    BatchSettings settings{input.string(), output.string(), level, ai, true, jobs};
    BatchRunner runner(settings, {});
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    Timing timing;
    timing.result = runner.Run();
    timing.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timing.cores = (CpuSeconds() - cpuStart) / timing.seconds;
    return timing;
}

}  // namespace

int main(int argc, char** argv)
{
    int photos = 20, rounds = 2;
    CompressionLevel level = 5;
    FilterStrength ai = 0;
    fs::path source = fs::path(TRAMBLIX_CORPUS_DIR) / "photos" / "42_IndexError.jpg";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool value = i + 1 < argc;
        if (arg == "--photos" && value)
            photos = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--rounds" && value)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--level" && value)
            level = static_cast<CompressionLevel>(std::atoi(argv[++i]));
        else if (arg == "--ai" && value)
            ai = std::atoi(argv[++i]);
        else
            source = arg;
    }
    if (!fs::exists(source)) {
        std::printf("bench_batch: skipped, %s not found\n", source.c_str());
        return 0;
    }

    const test::ScratchDir scratch("bench-batch");
    const fs::path input = scratch.path() / "in", output = scratch.path() / "out";
    fs::create_directories(input);
    int status = 0;
    if (MakePhotos(source, input, photos)) {
        RunBatch(input, output, 2, level, ai);  // warm-up: caches, allocator, page cache
        Timing best1, best2;
        best1.seconds = best2.seconds = 1e300;
        for (int r = 0; r < rounds; ++r) {
            const Timing one = RunBatch(input, output, 1, level, ai);
            const Timing two = RunBatch(input, output, 2, level, ai);
            if (one.seconds < best1.seconds)
                best1 = one;
            if (two.seconds < best2.seconds)
                best2 = two;
        }
        const double megapixels = static_cast<double>(photos) * kWidth * kHeight / 1e6;
        std::printf("batch of %d photos of %.2f MP, level %u, AI level %d, best of %d rounds\n", photos,
                    kWidth * kHeight / 1e6, level, ai, rounds);
        std::printf("  1 worker : %6.2f s  %6.2f MP/s  %.2f cores busy  (%zu files done, %zu failed)\n", best1.seconds,
                    megapixels / best1.seconds, best1.cores, best1.result.filesDone, best1.result.filesFailed);
        std::printf("  2 workers: %6.2f s  %6.2f MP/s  %.2f cores busy  (%zu files done, %zu failed)\n", best2.seconds,
                    megapixels / best2.seconds, best2.cores, best2.result.filesDone, best2.result.filesFailed);
        std::printf("batch throughput 2 workers / 1 worker: %.2f\n", best1.seconds / best2.seconds);
        if (best1.result.filesDone != static_cast<std::size_t>(photos) ||
            best2.result.filesDone != static_cast<std::size_t>(photos))
            status = 1;
    } else {
        status = 1;
    }
    return status;
}
