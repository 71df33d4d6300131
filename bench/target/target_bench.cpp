// Target mode against fixed level 3 and jpegli, measured with the engine's own butteraugli.
//
//   target_bench [--encoder=standard|efficient] [--cjpegli=PATH] [--distance=D] [--speed] PHOTO.jpg...
//
// For each photo: level 3's bytes and distance; D = the worst of those distances (unless given);
// then --target-distance=D and `cjpegli -d D` (4:2:0), each with its bytes and measured distance.
// --speed also times a level-3 encode against a target run (seconds per megapixel, one thread).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/internal/butteraugli.h"
#include "engine/quality_table.h"
#include "engine/target.h"

namespace fs = std::filesystem;
using namespace tramblix;

namespace {

std::vector<std::uint8_t> ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Image Decoded(const std::vector<std::uint8_t>& bytes)
{
    DecodedImage image;
    const DecodeLimits unlimited{~0ULL, ~0ULL};
    if (DecodeImage(bytes, image, unlimited) != DecodeStatus::Ok)
        return {};
    return std::move(image.pixels);
}

double Distance(const Image& reference, const std::vector<std::uint8_t>& bytes)
{
    const Image decoded = Decoded(bytes);
    if (decoded.channels != reference.channels) {
        // jpegli writes grey as grey too; a mismatch means a colour file decoded otherwise.
        return -1.0;
    }
    return ButteraugliMaxDistance(reference, decoded).value_or(-1.0);
}

double Seconds(const std::chrono::steady_clock::time_point& since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Row {
    std::string name;
    double megapixels = 0;
    Image reference;
    std::vector<std::uint8_t> input;
    std::size_t levelBytes = 0;
    double levelDistance = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    EngineOptions options;
    options.threads = 1;
    std::string cjpegli;
    double distance = 0;
    bool speed = false;
    bool levels = false;  // distances of levels 1-3 and of quality 100, to place the named looks
    std::vector<fs::path> photos;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--encoder=standard")
            options.encoder = Encoder::Standard;
        else if (arg == "--encoder=efficient")
            options.encoder = Encoder::Efficient;
        else if (arg.rfind("--cjpegli=", 0) == 0)
            cjpegli = arg.substr(10);
        else if (arg.rfind("--distance=", 0) == 0)
            distance = std::atof(arg.c_str() + 11);
        else if (arg == "--speed")
            speed = true;
        else if (arg == "--levels")
            levels = true;
        else
            photos.emplace_back(arg);
    }
    if (photos.empty()) {
        std::fprintf(stderr,
                     "usage: target_bench [--encoder=efficient] [--cjpegli=PATH] [--distance=D] [--speed] "
                     "PHOTO...\n");
        return 2;
    }

    std::vector<Row> rows;
    double worst = 0;
    for (const fs::path& photo : photos) {
        Row row;
        row.name = photo.filename().string();
        row.input = ReadAll(photo);
        row.reference = Decoded(row.input);
        if (row.reference.empty()) {
            std::fprintf(stderr, "%s: cannot decode\n", row.name.c_str());
            continue;
        }
        row.megapixels = row.reference.width * static_cast<double>(row.reference.height) / 1e6;
        std::vector<std::uint8_t> out;
        // The baseline is short and noisy on a shared machine: the best of three.
        double levelSeconds = 1e9;
        for (int run = 0; run < (speed ? 3 : 1); ++run) {
            const auto start = std::chrono::steady_clock::now();
            CompressBuffer(row.input, 3, out, 0, options);
            levelSeconds = std::min(levelSeconds, Seconds(start));
        }
        row.levelBytes = out.size();
        row.levelDistance = Distance(row.reference, out);
        worst = std::max(worst, row.levelDistance);
        if (speed) {
            TargetReport report;
            EngineOptions targeted = options;
            targeted.targetDistance = distance > 0 ? distance : 3.0;
            const auto t0 = std::chrono::steady_clock::now();
            CompressBuffer(row.input, 3, out, 0, targeted, nullptr, &report);
            const double targetSeconds = Seconds(t0);
            std::printf("speed %-40s %6.2f MP  level 3 %6.3f s/MP  target %6.3f s/MP  ratio %5.2f  (q %d)\n",
                        row.name.c_str(), row.megapixels, levelSeconds / row.megapixels, targetSeconds / row.megapixels,
                        targetSeconds / levelSeconds, report.quality);
            std::fflush(stdout);
        }
        if (levels) {
            std::printf("levels %-40s %5.2f MP", row.name.c_str(), row.megapixels);
            for (const CompressionLevel level : {0U, 1U, 2U, 3U}) {
                // Level 0 stands for quality 100 here: the finest the encoder offers.
                const int quality = level == 0 ? 100 : QualityForLevel(level);
                ReencodeImage(row.input, out, quality, 0, 0, options);
                std::printf("  q%d %.3f", quality, Distance(row.reference, out));
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        rows.push_back(std::move(row));
    }
    if (levels)
        return 0;
    if (speed)
        return 0;
    if (distance <= 0)
        distance = worst;
    options.targetDistance = distance;
    std::printf("target distance D = %.3f (worst at level 3)\n", distance);
    std::printf("%-40s %6s %9s %6s %9s %6s %4s %9s %6s\n", "photo", "MP", "L3 bytes", "L3 d", "T bytes", "T d", "q",
                "jpegli", "jl d");
    std::size_t levelTotal = 0, targetTotal = 0, jpegliTotal = 0;
    double targetWorst = 0, jpegliWorst = 0;
    const fs::path scratch = fs::temp_directory_path() / ("target_bench_" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    for (const Row& row : rows) {
        std::vector<std::uint8_t> out;
        TargetReport report;
        CompressBuffer(row.input, 3, out, 0, options, nullptr, &report);
        const double targetDistance = Distance(row.reference, out);
        std::size_t jpegliBytes = 0;
        double jpegliDistance = 0;
        if (!cjpegli.empty()) {
            const fs::path in = scratch / "in.jpg", result = scratch / "out.jpg";
            std::ofstream(in, std::ios::binary)
                .write(reinterpret_cast<const char*>(row.input.data()), static_cast<std::streamsize>(row.input.size()));
            char command[1024];
            std::snprintf(command, sizeof command, "'%s' '%s' '%s' -d %.4f --chroma_subsampling=420 >/dev/null 2>&1",
                          cjpegli.c_str(), in.c_str(), result.c_str(), distance);
            if (std::system(command) == 0) {
                const std::vector<std::uint8_t> jpegli = ReadAll(result);
                jpegliBytes = jpegli.size();
                jpegliDistance = Distance(row.reference, jpegli);
            }
        }
        levelTotal += row.levelBytes;
        targetTotal += out.size();
        jpegliTotal += jpegliBytes;
        targetWorst = std::max(targetWorst, targetDistance / distance);
        jpegliWorst = std::max(jpegliWorst, jpegliDistance / distance);
        std::printf("%-40s %6.2f %9zu %6.3f %9zu %6.3f %4d %9zu %6.3f\n", row.name.c_str(), row.megapixels,
                    row.levelBytes, row.levelDistance, out.size(), targetDistance, report.quality, jpegliBytes,
                    jpegliDistance);
        std::fflush(stdout);
    }
    fs::remove_all(scratch);
    std::printf("total bytes: level 3 %zu, target %zu (%+.1f%%), jpegli %zu (%+.1f%%)\n", levelTotal, targetTotal,
                100.0 * (static_cast<double>(targetTotal) / static_cast<double>(levelTotal) - 1.0), jpegliTotal,
                jpegliTotal ? 100.0 * (static_cast<double>(jpegliTotal) / static_cast<double>(levelTotal) - 1.0) : 0.0);
    std::printf("worst distance / D: target %.3f, jpegli %.3f\n", targetWorst, jpegliWorst);
    return 0;
}
