#include "engine/target.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include "engine/codec.h"
#include "engine/efficient_encode.h"
#include "engine/internal/butteraugli.h"

namespace tramblix {

namespace {

// Pictures up to this size are searched whole: their answer is exact and costs at most a few
// butteraugli runs of about a second each.
constexpr std::uint64_t kWholeSearchPixels = 1'000'000;
// The downscaled copy whose distance map finds the regions that decide: big enough to tell them
// apart, small enough for a fraction of a second.
constexpr std::uint64_t kProxyPixels = 160'000;
// Full-resolution tiles checked after the copy's search: their side, the context measured
// around each (a multiple of 16, so tiles keep the picture's 8 x 8 grid and chroma pairs) and
// how many of the worst are taken from each map.
constexpr int kTileSide = 256;
constexpr int kTileMargin = 16;
constexpr int kTilesPerMap = 3;
// Context above and below each band of a whole-picture measurement (butteraugli's blurs reach
// about this far), and how many times tiles may search again before the bands step alone.
constexpr int kBandMargin = 32;
constexpr int kConfirmRounds = 3;
// A failed whole measurement hands the tiles the cells within 10% of the distance, this many at most.
constexpr double kNearLimit = 0.9;
constexpr std::size_t kCellsPerRound = 8;
// A trial this close under the target leaves no coarser quality worth trying.
constexpr double kCloseEnough = 0.97;

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

Image Crop(const Image& image, const Rect& r)
{
    Image out(r.width, r.height, image.channels);
    for (int y = 0; y < r.height; ++y) {
        const std::uint8_t* from = image.row(r.y + y) + static_cast<std::ptrdiff_t>(r.x) * image.channels;
        std::copy(from, from + out.rowBytes(), out.row(y));
    }
    return out;
}

// Box average over factor x factor blocks (the rest at the right and bottom edges is dropped).
Image Downscale(const Image& image, int factor)
{
    Image out(image.width / factor, image.height / factor, image.channels);
    const int channels = image.channels;
    std::vector<unsigned> sums(out.rowBytes());
    const unsigned area = static_cast<unsigned>(factor * factor);
    for (int y = 0; y < out.height; ++y) {
        std::fill(sums.begin(), sums.end(), 0U);
        for (int dy = 0; dy < factor; ++dy) {
            const std::uint8_t* row = image.row(y * factor + dy);
            for (int x = 0; x < out.width; ++x)
                for (int dx = 0; dx < factor; ++dx)
                    for (int c = 0; c < channels; ++c)
                        sums[static_cast<std::size_t>(x * channels + c)] += row[(x * factor + dx) * channels + c];
        }
        std::uint8_t* to = out.row(y);
        for (std::size_t i = 0; i < sums.size(); ++i)
            to[i] = static_cast<std::uint8_t>((sums[i] + area / 2) / area);
    }
    return out;
}

// Encodes `image` at `quality` with the chosen encoder and decodes the result into `decoded`.
bool EncodeAndDecode(const DecodedImage& image, int quality, Encoder encoder, Image& decoded)
{
    std::vector<std::uint8_t> bytes;
    const bool encoded =
        encoder == Encoder::Efficient ? EncodeJpegEfficient(image, quality, bytes) : EncodeJpeg(image, quality, bytes);
    if (!encoded)
        return false;
    DecodedImage back;
    const DecodeLimits unlimited{~0ULL, ~0ULL};
    if (DecodeJpeg(bytes, back, unlimited) != DecodeStatus::Ok)
        return false;
    decoded = std::move(back.pixels);
    return true;
}

// The largest value of `map` inside `r` (map coordinates).
float PeakIn(const DistanceMap& map, const Rect& r)
{
    float peak = 0.0F;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            peak = std::max(peak, map.at(x, y));
    return peak;
}

// One trial on a piece of the picture: the piece with its margin is encoded alone, and only the
// distances inside the piece count (the margin gives butteraugli and chroma their context).
struct Piece {
    Rect withMargin;
    Rect core;  // relative to withMargin
};

Rect Grown(const Rect& r, int margin, int width, int height)
{
    const int x0 = std::max(0, r.x - margin), y0 = std::max(0, r.y - margin);
    const int x1 = std::min(width, r.x + r.width + margin), y1 = std::min(height, r.y + r.height + margin);
    return {x0, y0, x1 - x0, y1 - y0};
}

Piece PieceOf(const Rect& cell, int width, int height)
{
    const Rect grown = Grown(cell, kTileMargin, width, height);
    return {grown, {cell.x - grown.x, cell.y - grown.y, cell.width, cell.height}};
}

// The grid cells where each map (of the downscaled copy, `factor` times smaller) peaks, the
// kTilesPerMap worst of each, every cell once.
std::vector<Piece> WorstTiles(std::initializer_list<const DistanceMap*> maps, int factor, int width, int height)
{
    struct Scored {
        float score;
        Rect cell;
    };
    std::vector<Piece> pieces;
    std::vector<std::pair<int, int>> taken;
    for (const DistanceMap* map : maps) {
        std::vector<Scored> cells;
        for (int y = 0; y < height; y += kTileSide)
            for (int x = 0; x < width; x += kTileSide) {
                const Rect cell{x, y, std::min(kTileSide, width - x), std::min(kTileSide, height - y)};
                const int px0 = std::min(x / factor, map->width - 1), py0 = std::min(y / factor, map->height - 1);
                const int px1 = std::clamp((x + cell.width) / factor, px0 + 1, map->width);
                const int py1 = std::clamp((y + cell.height) / factor, py0 + 1, map->height);
                cells.push_back({PeakIn(*map, {px0, py0, px1 - px0, py1 - py0}), cell});
            }
        std::sort(cells.begin(), cells.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
        int added = 0;
        for (const Scored& scored : cells) {
            if (added == kTilesPerMap)
                break;
            const std::pair<int, int> at{scored.cell.x, scored.cell.y};
            if (std::find(taken.begin(), taken.end(), at) != taken.end())
                continue;
            taken.push_back(at);
            ++added;
            pieces.push_back(PieceOf(scored.cell, width, height));
        }
    }
    return pieces;
}

// Measures trials of one picture (or its copy, or its tiles) for the searches.
class Trials {
public:
    Trials(const DecodedImage& image, const Image& reference, Encoder encoder)
        : image_(image), reference_(reference), encoder_(encoder)
    {}

    // The whole of image_ against reference_; `map` receives the distances when given.
    std::optional<double> Whole(int quality, DistanceMap* map = nullptr) const
    {
        Image decoded;
        if (!EncodeAndDecode(image_, quality, encoder_, decoded))
            return std::nullopt;
        return ButteraugliMaxDistance(reference_, decoded, map);
    }

    // The whole picture encoded at `quality`, measured in bands of `bandRows` rows (each with
    // kBandMargin rows of context) so that butteraugli's planes fit the budget. `over` receives
    // the grid cells whose distance comes near `limit` (peaks move as the quality changes), worst
    // first.
    std::optional<double> Bands(int quality, int bandRows, double limit, std::vector<Piece>& over) const
    {
        Image decoded;
        if (!EncodeAndDecode(image_, quality, encoder_, decoded))
            return std::nullopt;
        const int width = decoded.width, height = decoded.height;
        const int columns = (width + kTileSide - 1) / kTileSide;
        std::vector<float> peaks(static_cast<std::size_t>(columns) * ((height + kTileSide - 1) / kTileSide), 0.0F);
        double worst = 0.0;
        for (int y0 = 0; y0 < height; y0 += bandRows) {
            const Rect core{0, y0, width, std::min(bandRows, height - y0)};
            const Rect band = Grown(core, kBandMargin, width, height);
            DistanceMap map;
            if (!ButteraugliMaxDistance(Crop(reference_, band), Crop(decoded, band), &map))
                return std::nullopt;
            for (int y = core.y; y < core.y + core.height; ++y)
                for (int x = 0; x < width; ++x) {
                    const float value = map.at(x, y - band.y);
                    float& peak = peaks[static_cast<std::size_t>((y / kTileSide) * columns + x / kTileSide)];
                    peak = std::max(peak, value);
                    worst = std::max(worst, static_cast<double>(value));
                }
        }
        std::vector<std::pair<float, std::size_t>> failing;
        for (std::size_t i = 0; i < peaks.size(); ++i)
            if (peaks[i] > kNearLimit * limit)
                failing.emplace_back(peaks[i], i);
        std::sort(failing.begin(), failing.end(), std::greater<>());
        over.clear();
        for (const auto& [peak, i] : failing) {
            const int x = static_cast<int>(i % static_cast<std::size_t>(columns)) * kTileSide;
            const int y = static_cast<int>(i / static_cast<std::size_t>(columns)) * kTileSide;
            over.push_back(
                PieceOf({x, y, std::min(kTileSide, width - x), std::min(kTileSide, height - y)}, width, height));
        }
        return worst;
    }

    // The worst tile's distance; stops at the first tile over `stopAbove` (the trial fails
    // whatever the others say) and moves that tile to the front, where the next trial starts.
    std::optional<double> Tiles(int quality, std::vector<Piece>& pieces, double stopAbove) const
    {
        double worst = 0.0;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const Piece& piece = pieces[i];
            DecodedImage tile;
            tile.pixels = Crop(image_.pixels, piece.withMargin);
            tile.sourceSteps = image_.sourceSteps;  // tiles start on the 16-pixel grid
            Image decoded;
            if (!EncodeAndDecode(tile, quality, encoder_, decoded))
                return std::nullopt;
            DistanceMap map;
            if (!ButteraugliMaxDistance(Crop(reference_, piece.withMargin), decoded, &map))
                return std::nullopt;
            worst = std::max(worst, static_cast<double>(PeakIn(map, piece.core)));
            if (worst > stopAbove) {
                std::rotate(pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(i),
                            pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                break;
            }
        }
        return worst;
    }

private:
    const DecodedImage& image_;
    const Image& reference_;
    Encoder encoder_;
};

std::uint64_t PixelsOf(const Image& image)
{
    return static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height);
}

// One trial's memory on `pixels` pixels: the encode's coefficients and output, the decoded copy
// and butteraugli.
std::uint64_t TrialBytes(std::uint64_t pixels, int channels)
{
    return pixels * static_cast<std::uint64_t>(channels) * 4 + ButteraugliBytes(pixels);
}

}  // namespace

QualitySearch FindCoarsestQuality(double target, int start, int firstStep, const DistanceAtQuality& measure,
                                  int coarsest, int finest, int tolerance)
{
    QualitySearch search;
    int pass = finest + 1;    // coarsest quality known to pass
    int fail = coarsest - 1;  // finest quality known to fail
    auto probe = [&](int quality) {
        ++search.trials;
        const std::optional<double> distance = measure(quality);
        if (!distance) {
            search.measureFailed = true;
            return false;
        }
        if (*distance <= target) {
            pass = quality;
            search.distance = *distance;
            return true;
        }
        fail = quality;
        return false;
    };
    int step = std::max(1, firstStep);
    if (probe(std::clamp(start, coarsest, finest))) {
        while (pass > coarsest && search.distance < kCloseEnough * target) {
            if (!probe(std::max(coarsest, pass - step)) || search.measureFailed)
                break;
            step *= 2;
        }
    } else {
        while (fail < finest && !search.measureFailed) {
            if (probe(std::min(finest, fail + step)))
                break;
            step *= 2;
        }
    }
    if (search.measureFailed || pass > finest)
        return search;
    while (pass - fail > std::max(1, tolerance) && search.distance < kCloseEnough * target) {
        probe(fail + (pass - fail) / 2);
        if (search.measureFailed)
            return search;
    }
    search.quality = pass;
    return search;
}

int PredictedQuality(double distance)
{
    return std::clamp(static_cast<int>(std::lround(112.0 - 12.0 * distance)), 10, 98);
}

std::string DistanceText(double distance)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", distance);
    std::string s(text);
    if (s.size() > 3 && s.back() == '0')
        s.pop_back();
    return s;
}

std::string UnreachableText(double distance)
{
    return "distance " + DistanceText(distance) + " cannot be reached at any quality";
}

std::string KeptText(int quality, double distance)
{
    return "quality " + std::to_string(quality) + ", the coarsest within distance " + DistanceText(distance) +
           ", would not save enough";
}

std::string TargetResultLine(std::int64_t inputSize, std::int64_t outputSize, int quality, double distance, bool kept)
{
    if (inputSize == 0 || outputSize == 0)
        return "Could not create file.";
    if (quality == 0)
        return "Image kept unchanged: " + UnreachableText(distance) + ". ";
    if (kept || outputSize == inputSize)
        return "Image kept unchanged: " + KeptText(quality, distance) + ". ";
    const double saved = 100.0 - static_cast<double>(outputSize) * 100.0 / static_cast<double>(inputSize);
    const long long percent = static_cast<long long>(std::trunc(saved));
    return "Image Compressed by " + std::to_string(percent) + "% at quality " + std::to_string(quality) +
           " for distance " + DistanceText(distance) + " and reduced by " + std::to_string(inputSize - outputSize) +
           " bytes. ";
}

CompressStatus ChooseTargetQuality(const DecodedImage& image, const Image& reference, double distance,
                                   const EngineOptions& options, std::uint64_t inputSize, TargetReport& report,
                                   std::string* detail)
{
    report = {};
    const Image& pixels = image.pixels;
    const std::uint64_t count = PixelsOf(pixels);
    // What the re-encode holds anyway, plus the reference when the filters made a second picture.
    std::uint64_t held = PipelineBytes(inputSize, static_cast<std::uint64_t>(pixels.width),
                                       static_cast<std::uint64_t>(pixels.height), pixels.channels);
    if (&reference != &pixels)
        held += reference.data.size();
    const std::uint64_t budget = options.memoryBudget;
    const auto affordable = [&](std::uint64_t trialPixels, std::uint64_t alsoHeld = 0) {
        return held + alsoHeld + TrialBytes(trialPixels, pixels.channels) <= budget;
    };
    const auto unmeasured = [&] {
        if (detail != nullptr)
            *detail = "the distance could not be measured";
        return CompressStatus::InternalError;
    };
    const Trials whole(image, reference, options.encoder);
    const int predicted = PredictedQuality(distance);

    if (count <= kWholeSearchPixels && affordable(count)) {
        const QualitySearch search = FindCoarsestQuality(distance, predicted, 4, [&](int q) { return whole.Whole(q); });
        if (search.measureFailed)
            return unmeasured();
        report = {search.quality, search.distance};
        return CompressStatus::Ok;
    }

    // The downscaled copy says where to look.
    const int factor = std::max(2, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count) / kProxyPixels))));
    const std::uint64_t tilePixels =
        static_cast<std::uint64_t>(kTileSide + 2 * kTileMargin) * (kTileSide + 2 * kTileMargin);
    // The full-size encode and its decode are held while the copy is measured.
    const std::uint64_t fullTrial = count * static_cast<std::uint64_t>(pixels.channels) * 3;
    if (!affordable(std::max(count / (static_cast<std::uint64_t>(factor) * factor), tilePixels), fullTrial)) {
        if (detail != nullptr)
            *detail = "measuring the distance needs more";
        return CompressStatus::OverMemoryBudget;
    }
    DecodedImage proxy;
    proxy.pixels = Downscale(pixels, factor);
    const Image proxyReference = &reference == &pixels ? proxy.pixels : Downscale(reference, factor);
    const Trials proxyTrials(proxy, proxyReference, options.encoder);
    // Two maps say where the picture is hardest, both at the predicted quality: the copy encoded
    // (where detail is densest) and the full-size encode seen at the copy's size (where its
    // errors are largest). Full-size tiles there find the quality.
    DistanceMap copyMap, fullMap;
    if (!proxyTrials.Whole(predicted, &copyMap))
        return unmeasured();
    {
        Image decoded;
        if (!EncodeAndDecode(image, predicted, options.encoder, decoded) ||
            !ButteraugliMaxDistance(proxyReference, Downscale(decoded, factor), &fullMap))
            return unmeasured();
    }
    std::vector<Piece> tiles = WorstTiles({&copyMap, &fullMap}, factor, pixels.width, pixels.height);
    QualitySearch search =
        FindCoarsestQuality(distance, predicted, 2, [&](int q) { return whole.Tiles(q, tiles, distance); });
    if (search.measureFailed)
        return unmeasured();

    // Tiles miss peaks, so the answer is measured whole, in bands the budget can hold. Cells over
    // the distance join the tiles, which search again above the failed quality; after
    // kConfirmRounds such rounds the bands themselves step the quality finer.
    const std::uint64_t spare = budget > held + fullTrial ? budget - held - fullTrial : 0;
    const std::uint64_t bandPixels = spare > ButteraugliBytes(0) ? (spare - ButteraugliBytes(0)) / 320 : 0;
    const int bandRows =
        static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(pixels.height),
                                                 bandPixels / static_cast<std::uint64_t>(pixels.width))) -
        2 * kBandMargin;
    if (bandRows < kTileSide) {
        if (detail != nullptr)
            *detail = "measuring the distance needs more";
        return CompressStatus::OverMemoryBudget;
    }
    std::vector<Piece> over;
    for (int round = 0; search.quality != 0; ++round) {
        const std::optional<double> measured = whole.Bands(search.quality, bandRows, distance, over);
        if (!measured)
            return unmeasured();
        if (*measured <= distance) {
            search.distance = *measured;
            break;
        }
        const int failed = search.quality;
        if (failed == 100) {
            search.quality = 0;
            break;
        }
        if (round + 1 >= kConfirmRounds) {
            search = FindCoarsestQuality(
                distance, failed + 3, 3, [&](int q) { return whole.Bands(q, bandRows, distance, over); }, failed + 1);
            if (search.measureFailed)
                return unmeasured();
            break;
        }
        tiles.insert(tiles.begin(), over.begin(),
                     over.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(kCellsPerRound, over.size())));
        search = FindCoarsestQuality(
            distance, failed + 1, 2, [&](int q) { return whole.Tiles(q, tiles, distance); }, failed + 1);
        if (search.measureFailed)
            return unmeasured();
    }
    report = {search.quality, search.distance};
    return CompressStatus::Ok;
}

}  // namespace tramblix
