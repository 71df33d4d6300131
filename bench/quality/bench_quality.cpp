// Bytes at equal look: the standard encoder, the efficient encoder and mozjpeg (peer) on the
// corpus photos, each downscaled (area average) to between 0.5 and 2.5 MP, at the qualities of
// compression levels 1-10. Per level and in total: bytes, butteraugli distance and SSIM, both
// against the picture that was encoded; then the bytes of the efficient encoder and of mozjpeg
// at the standard encoder's butteraugli and SSIM of each level (interpolated across levels),
// the efficient encoder's time per MP against the standard one, and on a full-size photo the
// whole CompressBuffer time and peak memory of both (one child process each). And each picture
// made into a quality-75 JPEG and that JPEG compressed at levels 1 and 2 by both encoders.
//
//   bench_quality [--levels 1,2,...] [--photos N] [--no-peer] [--no-full] [--speed] [--keep DIR] [PHOTO_DIR]
//
// --speed: only the whole-file time and memory (levels 1, 5 and 9). bench/quality/field_bench.py
// measures bytes at equal SSIMULACRA2 and butteraugli 3-norm against mozjpeg and jpegli.
//
// For field_bench.py --search, which tunes the efficient encoder's numbers (EfficientTuning):
//   bench_quality --tuning       prints them: luma=W,... chroma=W,... cr=W,... czero=Z cap=C fit=F finechroma=S
//   lambda=L masked=M look=Q:S,... bench_quality --encode QUALITY IN OUT [luma=W,...] [chroma=W,...] [cr=W,...]
//   [czero=Z] [cap=C] [fit=F] [finechroma=S] [lambda=L] [masked=M]
//                                [look=S]
//                                encodes IN (any format the engine reads) with those numbers
//                                replaced, look=S being one scale for every quality.
//
// The peer runs through node (bench/quality/mozjpeg.mjs, after `npm install` in bench/quality);
// without node or the package it is left out, as is butteraugli when it is not installed.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <QImage>

#include "engine/codec.h"
#include "engine/compress.h"
#include "engine/efficient_encode.h"
#include "engine/levels.h"
#include "engine/ssim.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::array<double, 5> kTargetMegapixels{0.5, 1.0, 1.5, 2.0, 2.5};
constexpr int kEncoders = 3;
constexpr int kWebQuality = 75;
constexpr std::array<tramblix::CompressionLevel, 2> kFinerLevels{1, 2};
const char* const kEncoderNames[kEncoders]{"standard", "efficient", "mozjpeg"};

Bytes ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Area-average resampling by the same factor in both directions: every source pixel counts with
// the share of it an output pixel covers, so nothing aliases.
std::vector<double> AreaWeights(int from, int to, std::vector<int>& first)
{
    const double scale = static_cast<double>(from) / to;
    std::vector<double> weights;  // per output: ceil(scale) + 1 span
    const int span = static_cast<int>(std::ceil(scale)) + 1;
    first.assign(static_cast<std::size_t>(to), 0);
    weights.assign(static_cast<std::size_t>(to * span), 0.0);
    for (int o = 0; o < to; ++o) {
        const double a = o * scale, b = (o + 1) * scale;
        first[static_cast<std::size_t>(o)] = static_cast<int>(a);
        for (int s = 0; s < span; ++s) {
            const int i = static_cast<int>(a) + s;
            const double cover = std::min(b, i + 1.0) - std::max(a, static_cast<double>(i));
            if (i < from && cover > 0)
                weights[static_cast<std::size_t>(o * span + s)] = cover / scale;
        }
    }
    return weights;
}

tramblix::Image Downscale(const tramblix::Image& in, double megapixels)
{
    const double factor = std::sqrt(megapixels * 1e6 / (static_cast<double>(in.width) * in.height));
    if (factor >= 1.0)
        return in;
    const int w = std::max(1, static_cast<int>(in.width * factor)),
              h = std::max(1, static_cast<int>(in.height * factor));
    std::vector<int> fx, fy;
    const auto wx = AreaWeights(in.width, w, fx), wy = AreaWeights(in.height, h, fy);
    const int sx = static_cast<int>(wx.size()) / w, sy = static_cast<int>(wy.size()) / h;
    const int c = in.channels;
    std::vector<double> rows(static_cast<std::size_t>(in.height) * w * c);  // horizontal pass
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < w; ++x)
            for (int s = 0; s < sx; ++s) {
                const double k = wx[static_cast<std::size_t>(x * sx + s)];
                if (k == 0)
                    continue;
                const std::uint8_t* p = in.row(y) + (fx[static_cast<std::size_t>(x)] + s) * c;
                for (int ch = 0; ch < c; ++ch)
                    rows[(static_cast<std::size_t>(y) * w + x) * c + ch] += k * p[ch];
            }
    tramblix::Image out(w, h, c);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * c; ++x) {
            double v = 0;
            for (int s = 0; s < sy; ++s) {
                const int yy = fy[static_cast<std::size_t>(y)] + s;
                if (yy < in.height)
                    v += wy[static_cast<std::size_t>(y * sy + s)] * rows[static_cast<std::size_t>(yy) * w * c + x];
            }
            out.row(y)[x] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    return out;
}

std::string Run(const std::string& command)
{
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        pclose(pipe);
    }
    return text;
}

std::string Quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

double Butteraugli(const fs::path& reference, const fs::path& jpeg)
{
    const std::string text = Run("butteraugli " + Quoted(reference) + " " + Quoted(jpeg) + " 2>/dev/null");
    return text.empty() ? NAN : std::atof(text.c_str());
}

struct Score {
    double bytes = 0;
    double butteraugli = 0;
    double ssim = 0;
    int count = 0;
};

void SavePng(const tramblix::Image& image, const fs::path& path)
{
    QImage(image.data.data(), image.width, image.height, static_cast<qsizetype>(image.stride), QImage::Format_RGB888)
        .save(QString::fromStdString(path.string()));
}

// Adds one encode to `score`: its bytes, and its SSIM and butteraugli distance against `ref`
// (butteraugli reads files: `refPng` and the JPEG written to `out`, removed unless kept).
void Record(Score& score, const Bytes& jpeg, const tramblix::Image& ref, const tramblix::Image& back,
            const fs::path& refPng, const fs::path& out, bool butteraugli, bool keepOut)
{
    WriteFile(out, jpeg);
    score.bytes += static_cast<double>(jpeg.size());
    score.ssim += tramblix::Ssim(ref, back).value_or(NAN);
    score.butteraugli += butteraugli ? Butteraugli(refPng, out) : NAN;
    ++score.count;
    if (!keepOut)
        fs::remove(out);
}

// Bytes an encoder needs for the look `target` has, from its (look, bytes) points across the
// levels; `better` says which way the look measure improves. NAN outside its range.
double BytesAt(const std::vector<Score>& curve, double target, bool lowerIsBetter, bool useSsim)
{
    for (std::size_t i = 0; i + 1 < curve.size(); ++i) {
        const double a = useSsim ? curve[i].ssim : curve[i].butteraugli;
        const double b = useSsim ? curve[i + 1].ssim : curve[i + 1].butteraugli;
        if (std::isnan(a) || std::isnan(b) || a == b)
            continue;
        if ((target - a) * (target - b) <= 0) {
            const double t = (target - a) / (b - a);
            return std::exp(std::log(curve[i].bytes) + t * (std::log(curve[i + 1].bytes) - std::log(curve[i].bytes)));
        }
    }
    (void)lowerIsBetter;
    return NAN;
}

// Whole CompressBuffer in a child process: seconds (best of `rounds`) and peak resident memory.
bool MeasureWhole(const Bytes& file, tramblix::Encoder encoder, tramblix::CompressionLevel level, int rounds,
                  double& seconds, long& peakKiB)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        double best = 1e9;
        tramblix::EngineOptions options;
        options.threads = 1;
        options.encoder = encoder;
        for (int r = 0; r < rounds; ++r) {
            Bytes out;
            const auto start = Clock::now();
            tramblix::CompressBuffer(file, level, out, 0, options);
            best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
        }
        const ssize_t written = write(fds[1], &best, sizeof best);
        _exit(written == sizeof best ? 0 : 1);
    }
    close(fds[1]);
    const bool got = read(fds[0], &seconds, sizeof seconds) == static_cast<ssize_t>(sizeof seconds);
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    peakKiB = usage.ru_maxrss;
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PrintTuning()
{
    const tramblix::EfficientTuning& t = tramblix::kEfficientTuning;
    for (int table = 0; table < 3; ++table) {
        std::printf("%s=", table == 0 ? "luma" : table == 1 ? "chroma" : "cr");
        for (int band = 0; band < 6; ++band)
            std::printf("%s%g", band ? "," : "", t.bandWeight[table][band]);
        std::printf(" ");
    }
    std::printf("czero=%g cap=%g fit=%g finechroma=%g ", t.chromaZero, t.lumaDiagonalCap, t.chromaFit,
                t.fineChromaScale);
    std::printf("lambda=%g masked=%g look=", t.lumaLambda, t.maskedLambda);
    for (std::size_t i = 0; i < std::size(t.look); ++i)
        std::printf("%s%d:%g", i ? "," : "", t.look[i].quality, t.look[i].scale);
    std::printf("\n");
}

// The numbers of NAME=V1,V2,... into `to`; false when the count differs.
bool ParseNumbers(const std::string& text, float* to, std::size_t count)
{
    std::istringstream in(text);
    std::string item;
    std::size_t n = 0;
    while (std::getline(in, item, ','))
        if (n < count)
            to[n++] = std::strtof(item.c_str(), nullptr);
        else
            return false;
    return n == count;
}

int EncodeTuned(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_quality --encode QUALITY IN OUT [NAME=VALUES]...\n");
        return 2;
    }
    tramblix::EfficientTools tools;
    tramblix::EfficientTuning& t = tools.tuning;
    for (int i = 5; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq), value = eq == std::string::npos ? "" : arg.substr(eq + 1);
        float look = 0;
        bool ok = false;
        if (name == "luma" || name == "chroma" || name == "cr")
            ok = ParseNumbers(value, t.bandWeight[name == "luma" ? 0 : name == "chroma" ? 1 : 2], 6);
        else if (name == "cap")
            ok = ParseNumbers(value, &t.lumaDiagonalCap, 1);
        else if (name == "czero")
            ok = ParseNumbers(value, &t.chromaZero, 1);
        else if (name == "lambda")
            ok = ParseNumbers(value, &t.lumaLambda, 1);
        else if (name == "masked")
            ok = ParseNumbers(value, &t.maskedLambda, 1);
        else if (name == "fit")
            ok = ParseNumbers(value, &t.chromaFit, 1);
        else if (name == "finechroma")
            ok = ParseNumbers(value, &t.fineChromaScale, 1);
        else if (name == "look" && (ok = ParseNumbers(value, &look, 1)))
            for (auto& point : t.look)
                point.scale = look;
        if (!ok) {
            std::fprintf(stderr, "bench_quality: cannot read %s\n", arg.c_str());
            return 2;
        }
    }
    tramblix::DecodedImage image;
    Bytes jpeg;
    if (tramblix::DecodeImage(ReadFile(argv[3]), image) != tramblix::DecodeStatus::Ok ||
        !tramblix::EncodeJpegEfficient(image, std::atoi(argv[2]), jpeg, tools)) {
        std::fprintf(stderr, "bench_quality: cannot encode %s\n", argv[3]);
        return 1;
    }
    WriteFile(argv[4], jpeg);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--tuning") {
        PrintTuning();
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--encode")
        return EncodeTuned(argc, argv);
    fs::path dir = fs::path(TRAMBLIX_CORPUS_DIR) / "photos";
    std::vector<int> levels{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::size_t maxPhotos = 1000;
    bool peer = true, full = true, speedOnly = false;
    fs::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--levels" && i + 1 < argc) {
            levels.clear();
            std::istringstream in(argv[++i]);
            std::string item;
            while (std::getline(in, item, ','))
                levels.push_back(std::atoi(item.c_str()));
        } else if (arg == "--photos" && i + 1 < argc) {
            maxPhotos = static_cast<std::size_t>(std::atoi(argv[++i]));
        } else if (arg == "--no-peer") {
            peer = false;
        } else if (arg == "--no-full") {
            full = false;
        } else if (arg == "--speed") {
            speedOnly = true;
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else if (!arg.empty() && arg[0] != '-') {
            dir = arg;
        } else {
            std::fprintf(stderr,
                         "usage: bench_quality [--levels 1,2,...] [--photos N] [--no-peer] [--no-full] [--speed] "
                         "[--keep DIR] [PHOTO_DIR]\n");
            return 2;
        }
    }
    if (!fs::is_directory(dir)) {
        std::printf("bench_quality: skipped, no photo corpus at %s\n", dir.string().c_str());
        return 0;
    }
    const bool haveButteraugli = !Run("command -v butteraugli").empty();
    const fs::path script = fs::path(TRAMBLIX_BENCH_QUALITY_DIR) / "mozjpeg.mjs";
    peer = peer && !Run("command -v node").empty() &&
           fs::exists(fs::path(TRAMBLIX_BENCH_QUALITY_DIR) / "node_modules/@jsquash/jpeg");
    if (!haveButteraugli)
        std::printf("bench_quality: butteraugli not installed, distances left out\n");
    if (!peer)
        std::printf("bench_quality: node or @jsquash/jpeg missing (npm install in bench/quality), mozjpeg left out\n");

    const fs::path work =
        keep.empty() ? fs::temp_directory_path() / ("bench_quality." + std::to_string(getpid())) : keep;
    fs::create_directories(work);

    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file())
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    if (paths.size() > maxPhotos)
        paths.resize(maxPhotos);

    std::map<int, std::array<Score, kEncoders>> scores;
    std::array<std::array<Score, 2>, kFinerLevels.size()> reencoded{};
    double webBytes = 0;
    double seconds[2] = {}, megapixels = 0;
    fs::path largest;
    std::uintmax_t largestPixels = 0;
    for (std::size_t p = 0; p < paths.size(); ++p) {
        const Bytes file = ReadFile(paths[p]);
        tramblix::DecodedImage decoded;
        if (tramblix::DecodeImage(file, decoded) != tramblix::DecodeStatus::Ok || decoded.pixels.channels != 3)
            continue;
        const std::uintmax_t pixels = static_cast<std::uintmax_t>(decoded.pixels.width) * decoded.pixels.height;
        if (pixels > largestPixels) {
            largestPixels = pixels;
            largest = paths[p];
        }
        if (speedOnly)
            continue;
        tramblix::DecodedImage image;
        image.pixels = Downscale(decoded.pixels, kTargetMegapixels[p % kTargetMegapixels.size()]);
        // A photo used at its own size keeps its steps, as compressing the file itself would.
        if (image.pixels.width == decoded.pixels.width)
            image.sourceSteps = decoded.sourceSteps;
        decoded = {};
        const tramblix::Image& ref = image.pixels;
        const std::string stem = "p" + std::to_string(p);
        const fs::path refPng = work / (stem + ".png");
        SavePng(ref, refPng);
        std::printf("%s: %dx%d (%.2f MP)\n", paths[p].filename().c_str(), ref.width, ref.height,
                    ref.width * ref.height / 1e6);
        std::fflush(stdout);

        std::string qualities;
        for (int level : levels)
            qualities += (qualities.empty() ? "" : ",") +
                         std::to_string(tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level)));
        if (peer) {
            const fs::path raw = work / (stem + ".rgb");
            WriteFile(raw, ref.data);
            Run("node " + Quoted(script) + " " + std::to_string(ref.width) + " " + std::to_string(ref.height) + " " +
                Quoted(raw) + " " + Quoted(work / (stem + "-moz-q")) + " " + qualities + " 2>&1");
            fs::remove(raw);
        }
        megapixels += ref.width * ref.height / 1e6 * static_cast<double>(levels.size());

        for (int level : levels) {
            const int quality = tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level));
            for (int e = 0; e < kEncoders; ++e) {
                Bytes jpeg;
                if (e < 2) {
                    const auto start = Clock::now();
                    const bool ok = e == 0 ? tramblix::EncodeJpeg(image, quality, jpeg)
                                           : tramblix::EncodeJpegEfficient(image, quality, jpeg);
                    seconds[e] += std::chrono::duration<double>(Clock::now() - start).count();
                    if (!ok)
                        continue;
                } else {
                    if (!peer)
                        continue;
                    jpeg = ReadFile(work / (stem + "-moz-q" + std::to_string(quality) + ".jpg"));
                }
                tramblix::DecodedImage back;
                if (tramblix::DecodeJpeg(jpeg, back) != tramblix::DecodeStatus::Ok) {
                    std::printf("  %s level %d: output does not decode\n", kEncoderNames[e], level);
                    continue;
                }
                Record(scores[level][static_cast<std::size_t>(e)], jpeg, ref, back.pixels, refPng,
                       work / (stem + "-" + kEncoderNames[e] + "-L" + std::to_string(level) + ".jpg"), haveButteraugli,
                       !keep.empty());
            }
        }
        // A JPEG from elsewhere, made at quality 75, compressed at levels finer than that: the
        // standard encoder requantises it onto finer steps, the efficient one keeps its steps.
        std::vector<std::uint8_t> web;
        tramblix::DecodedImage webImage;
        if (tramblix::EncodeJpeg(image, kWebQuality, web) &&
            tramblix::DecodeJpeg(web, webImage) == tramblix::DecodeStatus::Ok) {
            const tramblix::Image& webPixels = webImage.pixels;
            const fs::path webPng = work / (stem + "-web.png");
            SavePng(webPixels, webPng);
            for (std::size_t l = 0; l < kFinerLevels.size(); ++l) {
                const int quality = tramblix::QualityForLevel(kFinerLevels[l]);
                for (int e = 0; e < 2; ++e) {
                    Bytes jpeg;
                    tramblix::DecodedImage back;
                    if (!(e == 0 ? tramblix::EncodeJpeg(webImage, quality, jpeg)
                                 : tramblix::EncodeJpegEfficient(webImage, quality, jpeg)) ||
                        tramblix::DecodeJpeg(jpeg, back) != tramblix::DecodeStatus::Ok)
                        continue;
                    Record(reencoded[l][static_cast<std::size_t>(e)], jpeg, webPixels, back.pixels, webPng,
                           work / (stem + "-web-" + kEncoderNames[e] + ".jpg"), haveButteraugli, false);
                }
                if (l == 0)
                    webBytes += static_cast<double>(web.size());
            }
            fs::remove(webPng);
        }
        if (keep.empty())
            fs::remove(refPng);
    }
    if (keep.empty())
        fs::remove_all(work);

    // Per level: totals and means.
    std::printf("\n%-5s %-4s", "level", "q");
    for (const char* name : kEncoderNames)
        std::printf(" | %-9s bytes  ratio  butter   ssim ", name);
    std::printf("\n");
    std::array<Score, kEncoders> total{};
    std::array<std::vector<Score>, kEncoders> curves;
    for (int level : levels) {
        std::printf("L%-4d q%-3d", level, tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level)));
        for (int e = 0; e < kEncoders; ++e) {
            Score s = scores[level][static_cast<std::size_t>(e)];
            const double n = std::max(1, s.count);
            s.butteraugli /= n;
            s.ssim /= n;
            curves[static_cast<std::size_t>(e)].push_back(s);
            total[static_cast<std::size_t>(e)].bytes += s.bytes;
            std::printf(" | %15.0f %6.3f %6.3f %7.4f", s.bytes, s.bytes / scores[level][0].bytes, s.butteraugli,
                        s.ssim);
        }
        std::printf("\n");
    }
    std::printf("total     ");
    for (int e = 0; e < kEncoders; ++e)
        std::printf(" | %15.0f %6.3f               ", total[static_cast<std::size_t>(e)].bytes,
                    total[static_cast<std::size_t>(e)].bytes / total[0].bytes);
    std::printf("\n\nbytes against standard at the standard encoder's look of each level (interpolated):\n");
    std::printf("%-6s %-22s %-22s\n", "level", "equal butteraugli", "equal SSIM");
    std::printf("%-6s %-10s %-11s %-10s %-11s\n", "", "efficient", "mozjpeg", "efficient", "mozjpeg");
    double sums[2][2] = {}, base[2][2] = {};
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const Score& standard = curves[0][i];
        std::printf("L%-5d", levels[i]);
        for (int measure = 0; measure < 2; ++measure)
            for (int e = 1; e < kEncoders; ++e) {
                const double bytes =
                    BytesAt(curves[static_cast<std::size_t>(e)], measure ? standard.ssim : standard.butteraugli,
                            measure == 0, measure == 1);
                std::printf(" %-10.3f", bytes / standard.bytes);
                if (!std::isnan(bytes) && levels[i] <= 7) {
                    sums[measure][e - 1] += bytes;
                    base[measure][e - 1] += standard.bytes;
                }
            }
        std::printf("\n");
    }
    std::printf("L1-7   %-10.3f %-10.3f %-10.3f %-10.3f  (levels where both were in range)\n", sums[0][0] / base[0][0],
                sums[0][1] / base[0][1], sums[1][0] / base[1][0], sums[1][1] / base[1][1]);
    std::printf(
        "\nre-encoding quality-%d JPEGs of the same pictures (%.0f bytes) at finer levels; bytes against "
        "that JPEG, butteraugli and SSIM against its pixels:\n",
        kWebQuality, webBytes);
    for (std::size_t l = 0; l < kFinerLevels.size(); ++l) {
        std::printf("L%-4d", static_cast<int>(kFinerLevels[l]));
        for (int e = 0; e < 2; ++e) {
            const Score& s = reencoded[l][static_cast<std::size_t>(e)];
            const double n = std::max(1, s.count);
            std::printf(" | %-9s %6.3f %6.3f %7.4f", kEncoderNames[e], s.bytes / webBytes, s.butteraugli / n,
                        s.ssim / n);
        }
        std::printf("\n");
    }
    std::printf("\nencode time per MP, efficient/standard (same pictures, this run): %.2f (%.1f vs %.1f MP/s)\n",
                seconds[1] / seconds[0], megapixels / seconds[1], megapixels / seconds[0]);

    if ((full || speedOnly) && !largest.empty()) {
        const Bytes file = ReadFile(largest);
        for (tramblix::CompressionLevel level : {1u, 5u, 9u}) {
            double t[2] = {};
            long peak[2] = {};
            bool ok = true;
            for (int e = 0; e < 2; ++e)
                ok = ok && MeasureWhole(file, e ? tramblix::Encoder::Efficient : tramblix::Encoder::Standard, level, 3,
                                        t[e], peak[e]);
            if (ok)
                std::printf(
                    "whole CompressBuffer, %s (%.1f MP), level %u, one thread, best of 3: efficient/standard time "
                    "%.2f (%.2f s vs %.2f s), peak memory %.2f (%ld vs %ld KiB)\n",
                    largest.filename().c_str(), static_cast<double>(largestPixels) / 1e6, level, t[1] / t[0], t[1],
                    t[0], static_cast<double>(peak[1]) / static_cast<double>(peak[0]), peak[1], peak[0]);
        }
    }
    return 0;
}
