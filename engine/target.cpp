#include "engine/target.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "engine/codec.h"
#include "engine/efficient_encode.h"
#include "engine/internal/butteraugli.h"
#include "engine/internal/peak_cells.h"
#include "engine/look.h"

namespace tramblix {

namespace {

// Pictures up to this size are searched whole: their answer is exact and costs at most a few
// butteraugli runs of about a second each.
constexpr std::uint64_t kWholeSearchPixels = 1'000'000;
// Larger ones are measured on cells of the full-size encode where its errors look worst: the
// cells' side, the context measured around each (butteraugli's blurs reach about this far; a
// multiple of 16 keeps a separately encoded tile on the picture's 8 x 8 grid and chroma pairs),
// how many cells each of the error scores nominates, and how many of the worst measured cells
// the quality search encodes alone.
constexpr int kCellSide = 128;
constexpr int kCellMargin = 32;
constexpr int kCellsPerScore = 3;
constexpr int kTilesSearched = 6;
// Context above and below each band of a whole-picture measurement, and how many of the cells
// a whole measurement finds near the distance are measured with every later answer.
constexpr int kBandMargin = 32;
constexpr std::size_t kHotCells = 24;
// How many failing cells join the tiles each time an answer fails, and how near the distance a
// cell must come to join (peaks move as the quality changes).
constexpr std::size_t kCellsPerRound = 6;
constexpr double kNearLimit = 0.9;
// The whole encode is also measured downscaled to about this size: its map finds the peaks the
// error scores miss (flat areas, picture edges), and this many of its worst cells join them.
constexpr std::uint64_t kReducedPixels = 400'000;
constexpr int kMapCells = 8;
// A trial this close under the target leaves no coarser quality worth trying.
constexpr double kCloseEnough = 0.97;
// The efficient encoder's answer is encoded once more with dearer trellis prices where its
// distance map leaves room: this much per unit of headroom past kHeadroomFloor (0.2 and 0.8 saved
// less on the downscaled corpus photos: more answers went over the distance).
constexpr float kHeadroomPrice = 0.4F;

Image Crop(const Image& image, const Cell& r)
{
    Image out(r.width, r.height, image.channels);
    for (int y = 0; y < r.height; ++y) {
        const std::uint8_t* from = image.row(r.y + y) + static_cast<std::ptrdiff_t>(r.x) * image.channels;
        std::copy(from, from + out.rowBytes(), out.row(y));
    }
    return out;
}

// The `count` cells of the full-size grid where `map` (of a copy `factor` times smaller) peaks,
// added to `cells` unless there already.
void AddMapPeaks(const DistanceMap& map, int factor, int width, int height, int count, std::vector<Cell>& cells)
{
    const int columns = (width + kCellSide - 1) / kCellSide;
    const int rows = (height + kCellSide - 1) / kCellSide;
    std::vector<std::pair<float, int>> peaks(static_cast<std::size_t>(columns) * rows, {0.0F, 0});
    for (std::size_t i = 0; i < peaks.size(); ++i)
        peaks[i].second = static_cast<int>(i);
    for (int y = 0; y < map.height; ++y)
        for (int x = 0; x < map.width; ++x) {
            auto& peak = peaks[static_cast<std::size_t>(y * factor / kCellSide) * columns + x * factor / kCellSide];
            peak.first = std::max(peak.first, map.at(x, y));
        }
    const std::size_t taken = std::min(peaks.size(), static_cast<std::size_t>(count));
    std::partial_sort(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(taken), peaks.end(), std::greater<>());
    for (std::size_t i = 0; i < taken; ++i) {
        const int x = (peaks[i].second % columns) * kCellSide, y = (peaks[i].second / columns) * kCellSide;
        const Cell cell{x, y, std::min(kCellSide, width - x), std::min(kCellSide, height - y)};
        if (std::find(cells.begin(), cells.end(), cell) == cells.end())
            cells.push_back(cell);
    }
}

// Encodes `image` at `quality` with the chosen encoder (the efficient one with `tools`) into
// `bytes` and decodes them into `decoded`.
bool EncodeAndDecode(const DecodedImage& image, int quality, Encoder encoder, const EfficientTools& tools,
                     Image& decoded, std::vector<std::uint8_t>& bytes)
{
    const bool encoded = encoder == Encoder::Efficient ? EncodeJpegEfficient(image, quality, bytes, tools)
                                                       : EncodeJpeg(image, quality, bytes);
    if (!encoded)
        return false;
    DecodedImage back;
    const DecodeLimits unlimited{~0ULL, ~0ULL};
    if (DecodeJpeg(bytes, back, unlimited) != DecodeStatus::Ok)
        return false;
    decoded = std::move(back.pixels);
    return true;
}

bool EncodeAndDecode(const DecodedImage& image, int quality, Encoder encoder, const EfficientTools& tools,
                     Image& decoded)
{
    std::vector<std::uint8_t> bytes;
    return EncodeAndDecode(image, quality, encoder, tools, decoded, bytes);
}

// The largest value of `map` inside `r` (map coordinates).
float PeakIn(const DistanceMap& map, const Cell& r)
{
    float peak = 0.0F;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x)
            peak = std::max(peak, map.at(x, y));
    return peak;
}

// Raises `peaks` (per 8 x 8 block of the picture, row after row) to the largest of `map` in each
// block; the map's row 0 is the picture's row `top`, and only rows `first` to `first + rows` count.
void FoldBlockPeaks(const DistanceMap& map, int top, int first, int rows, std::vector<float>& peaks)
{
    const int blocksWide = (map.width + 7) / 8;
    for (int y = first; y < first + rows; ++y)
        for (int x = 0; x < map.width; ++x) {
            float& peak = peaks[static_cast<std::size_t>(y / 8) * static_cast<std::size_t>(blocksWide) +
                                static_cast<std::size_t>(x / 8)];
            peak = std::max(peak, map.at(x, y - top));
        }
}

// A cell with its context: only the distances inside the cell count.
struct Piece {
    Cell withMargin;
    Cell core;  // relative to withMargin
};

Piece PieceOf(const Cell& cell, int width, int height)
{
    const int x0 = std::max(0, cell.x - kCellMargin), y0 = std::max(0, cell.y - kCellMargin);
    const int x1 = std::min(width, cell.x + cell.width + kCellMargin);
    const int y1 = std::min(height, cell.y + cell.height + kCellMargin);
    return {{x0, y0, x1 - x0, y1 - y0}, {cell.x - x0, cell.y - y0, cell.width, cell.height}};
}

// A cell's distance at the quality last checked.
struct Measured {
    double distance;
    Cell cell;
};

// Measures trials of one picture for the searches.
class Trials {
public:
    // Whole encodes of `byteLimit` bytes or more pass unmeasured: a search that only matters when
    // it beats an answer of that size need not measure them (the caller drops such an answer).
    Trials(const DecodedImage& image, const Image& reference, Encoder encoder, const EfficientTools& tools,
           std::size_t byteLimit = std::numeric_limits<std::size_t>::max())
        : image_(image), reference_(reference), encoder_(encoder), tools_(tools), byteLimit_(byteLimit)
    {}

    // The whole of image_ against reference_.
    std::optional<double> Whole(int quality)
    {
        if (!EncodeWhole(quality))
            return std::nullopt;
        if (lastBytes_.size() >= byteLimit_)
            return 0.0;
        DistanceMap map;
        const std::optional<double> distance = ButteraugliMaxDistance(reference_, lastDecoded_, &map);
        if (distance) {
            ClearPeaks();
            FoldBlockPeaks(map, 0, 0, map.height, lastPeaks_);
        }
        return distance;
    }

    // The whole picture encoded at `quality`, measured on the cells where its errors look worst
    // (by the error scores and by the encode measured downscaled) and on `also`; `measured`
    // receives every cell's distance, worst first.
    std::optional<double> Cells(int quality, const std::vector<Cell>& also, std::vector<Measured>& measured)
    {
        if (!EncodeWhole(quality))
            return std::nullopt;
        const Image& decoded = lastDecoded_;
        std::vector<Cell> cells = LikelyPeakCells(reference_, decoded, kCellSide, kCellsPerScore);
        const std::uint64_t pixels =
            static_cast<std::uint64_t>(decoded.width) * static_cast<std::uint64_t>(decoded.height);
        const int factor =
            std::max(2, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(pixels) / kReducedPixels))));
        if (reducedReference_.empty())
            reducedReference_ = BoxDownscale(reference_, factor);
        DistanceMap map;
        if (!ButteraugliMaxDistance(reducedReference_, BoxDownscale(decoded, factor), &map))
            return std::nullopt;
        AddMapPeaks(map, factor, decoded.width, decoded.height, kMapCells, cells);
        for (const Cell& cell : also)
            if (std::find(cells.begin(), cells.end(), cell) == cells.end())
                cells.push_back(cell);
        measured.clear();
        for (const Cell& cell : cells) {
            const Piece piece = PieceOf(cell, decoded.width, decoded.height);
            DistanceMap map;
            if (!ButteraugliMaxDistance(Crop(reference_, piece.withMargin), Crop(decoded, piece.withMargin), &map))
                return std::nullopt;
            measured.push_back({PeakIn(map, piece.core), cell});
        }
        std::sort(measured.begin(), measured.end(),
                  [](const Measured& a, const Measured& b) { return a.distance > b.distance; });
        return measured.empty() ? 0.0 : measured.front().distance;
    }

    // The whole picture encoded at `quality`, measured in bands of `bandRows` rows (each with
    // kBandMargin rows of context) so that butteraugli's planes fit the budget. The bands holding
    // the worst of `likely` come first, and the measurement stops after a band over `limit`: a
    // failing answer most often fails there, and the rest would not change the verdict. `over`
    // receives every cell measured near `limit`, worst first.
    std::optional<double> Bands(int quality, int bandRows, double limit, const std::vector<Measured>& likely,
                                std::vector<Measured>& over)
    {
        if (!EncodeWhole(quality))
            return std::nullopt;
        over.clear();
        if (lastBytes_.size() >= byteLimit_)
            return 0.0;
        const Image& decoded = lastDecoded_;
        const int width = decoded.width, height = decoded.height;
        std::vector<std::pair<double, int>> bands;  // the worst likely cell in each, and its first row
        for (int y0 = 0; y0 < height; y0 += bandRows)
            bands.emplace_back(0.0, y0);
        for (const Measured& m : likely) {
            auto& band = bands[static_cast<std::size_t>(m.cell.y / bandRows)];
            band.first = std::max(band.first, m.distance);
        }
        std::stable_sort(bands.begin(), bands.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        double worst = 0.0;
        ClearPeaks();
        for (const auto& [unused, y0] : bands) {
            const int rows = std::min(bandRows, height - y0);
            const int top = std::max(0, y0 - kBandMargin), bottom = std::min(height, y0 + rows + kBandMargin);
            const Cell withMargin{0, top, width, bottom - top};
            DistanceMap map;
            if (!ButteraugliMaxDistance(Crop(reference_, withMargin), Crop(decoded, withMargin), &map))
                return std::nullopt;
            FoldBlockPeaks(map, top, y0, rows, lastPeaks_);
            for (int y = y0; y < y0 + rows; y += kCellSide)
                for (int x = 0; x < width; x += kCellSide) {
                    const Cell cell{x, y, std::min(kCellSide, width - x), std::min(kCellSide, y0 + rows - y)};
                    const double peak = PeakIn(map, {x, y - top, cell.width, cell.height});
                    worst = std::max(worst, peak);
                    if (peak > kNearLimit * limit)
                        over.push_back({peak, cell});
                }
            if (worst > limit)
                break;
        }
        std::sort(over.begin(), over.end(),
                  [](const Measured& a, const Measured& b) { return a.distance > b.distance; });
        return worst;
    }

    // The worst of `tiles`, each encoded alone with its context; stops at the first tile over
    // `stopAbove` (the trial fails whatever the others say) and moves that tile to the front,
    // where the next trial starts.
    std::optional<double> Tiles(int quality, std::vector<Cell>& tiles, double stopAbove) const
    {
        double worst = 0.0;
        for (std::size_t i = 0; i < tiles.size(); ++i) {
            const Piece piece = PieceOf(tiles[i], image_.pixels.width, image_.pixels.height);
            DecodedImage tile;
            tile.pixels = Crop(image_.pixels, piece.withMargin);
            tile.sourceSteps = image_.sourceSteps;  // tiles start on the 16-pixel grid
            Image decoded;
            if (!EncodeAndDecode(tile, quality, encoder_, tools_, decoded))
                return std::nullopt;
            DistanceMap map;
            if (!ButteraugliMaxDistance(Crop(reference_, piece.withMargin), decoded, &map))
                return std::nullopt;
            worst = std::max(worst, static_cast<double>(PeakIn(map, piece.core)));
            if (worst > stopAbove) {
                std::rotate(tiles.begin(), tiles.begin() + static_cast<std::ptrdiff_t>(i),
                            tiles.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                break;
            }
        }
        return worst;
    }

    // The last whole encode is kept when it passes: the caller writes it instead of encoding again.
    std::optional<double> Kept(int quality, std::optional<double> measured, double limit)
    {
        if (measured && *measured <= limit && quality == lastQuality_) {
            keptBytes_ = std::move(lastBytes_);
            keptPeaks_ = std::move(lastPeaks_);
            keptQuality_ = quality;
            lastQuality_ = 0;  // its bytes are gone
        }
        return measured;
    }
    // The distance per 8 x 8 block of the last whole measurement (zero in bands not measured).
    const std::vector<float>& LastPeaks() const { return lastPeaks_; }

    // The encode at `quality`: the kept trial when it is that one, else encoded anew. `peaks`
    // receives the kept trial's distance per 8 x 8 block (empty when it was encoded anew).
    bool HandBack(int quality, std::vector<std::uint8_t>& encoded, std::vector<float>* peaks = nullptr)
    {
        if (quality == keptQuality_) {
            encoded.swap(keptBytes_);
            if (peaks != nullptr)
                peaks->swap(keptPeaks_);
            return true;
        }
        return encoder_ == Encoder::Efficient ? EncodeJpegEfficient(image_, quality, encoded, tools_)
                                              : EncodeJpeg(image_, quality, encoded);
    }

private:
    // Encodes and decodes the whole picture at `quality` unless that is the last one done.
    bool EncodeWhole(int quality)
    {
        if (quality == lastQuality_)
            return true;
        lastQuality_ = 0;
        if (!EncodeAndDecode(image_, quality, encoder_, tools_, lastDecoded_, lastBytes_))
            return false;
        lastQuality_ = quality;
        return true;
    }

    const DecodedImage& image_;
    const Image& reference_;
    Encoder encoder_;
    EfficientTools tools_;
    std::size_t byteLimit_;
    Image reducedReference_;
    Image lastDecoded_;
    std::vector<std::uint8_t> lastBytes_, keptBytes_;
    std::vector<float> lastPeaks_, keptPeaks_;  // distance per 8 x 8 block of a whole measurement
    int lastQuality_ = 0, keptQuality_ = 0;

    void ClearPeaks()
    {
        const Image& p = image_.pixels;
        lastPeaks_.assign(static_cast<std::size_t>((p.width + 7) / 8) * static_cast<std::size_t>((p.height + 7) / 8),
                          0.0F);
    }
};

// Adds to `tiles` (in front) the measured cells that come near `limit` and are not tiles yet.
void AddNearCells(const std::vector<Measured>& measured, double limit, std::vector<Cell>& tiles)
{
    std::size_t added = 0;
    for (const Measured& m : measured) {
        if (m.distance <= kNearLimit * limit || added == kCellsPerRound)
            break;
        if (std::find(tiles.begin(), tiles.end(), m.cell) != tiles.end())
            continue;
        tiles.insert(tiles.begin() + static_cast<std::ptrdiff_t>(added++), m.cell);
    }
}

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

QualitySearch ConfirmedCoarsestQuality(double target, int start, const DistanceAtQuality& cheap,
                                       const DistanceAtQuality& confirmed, int rounds)
{
    QualitySearch search = FindCoarsestQuality(target, start, 2, cheap);
    for (int round = 0; search.quality != 0 && !search.measureFailed; ++round) {
        const int failed = search.quality;
        const std::optional<double> result = confirmed(failed);
        ++search.trials;
        if (!result) {
            search = {0, 0.0, search.trials, true};
            break;
        }
        if (*result <= target) {
            search.distance = *result;
            break;
        }
        if (failed == 100) {
            search.quality = 0;
            break;
        }
        const int trials = search.trials;
        // Past `rounds`, the cheap measure has misled often enough: the confirmed one steps alone.
        search = round + 1 >= rounds ? FindCoarsestQuality(target, failed + 2, 2, confirmed, failed + 1)
                                     : FindCoarsestQuality(target, failed + 1, 2, cheap, failed + 1);
        search.trials += trials;
        if (round + 1 >= rounds)
            break;
    }
    return search;
}

int RescaledQuality(int quality, double measured, double distance)
{
    // libjpeg scales its tables by 5000 / q below quality 50 and by 200 - 2q above; distances grow
    // about in proportion to that scale.
    const auto scale = [](double q) { return q < 50 ? 5000.0 / q : 200.0 - 2.0 * q; };
    if (measured <= 0.0)
        return quality;
    const double wanted = scale(quality) * distance / measured;
    const double q = wanted > 100.0 ? 5000.0 / wanted : (200.0 - wanted) / 2.0;
    return std::clamp(static_cast<int>(std::lround(q)), 1, 100);
}

std::vector<float> HeadroomPrices(const std::vector<float>& peaks, int blocksWide, int blocksHigh, double distance,
                                  float price)
{
    std::vector<float> prices(peaks.size(), 0.0F);
    for (int by = 0; by < blocksHigh; ++by)
        for (int bx = 0; bx < blocksWide; ++bx) {
            float peak = 0.0F;  // the block's and its neighbours': butteraugli's blurs reach that far
            for (int y = std::max(0, by - 1); y <= std::min(blocksHigh - 1, by + 1); ++y)
                for (int x = std::max(0, bx - 1); x <= std::min(blocksWide - 1, bx + 1); ++x)
                    peak = std::max(peak, peaks[static_cast<std::size_t>(y) * static_cast<std::size_t>(blocksWide) +
                                                static_cast<std::size_t>(x)]);
            const double headroom = distance / std::max(peak, 0.01F);
            prices[static_cast<std::size_t>(by) * static_cast<std::size_t>(blocksWide) + static_cast<std::size_t>(bx)] =
                static_cast<float>(std::min(kMaxHeadroomPrice, price * std::max(0.0, headroom - kHeadroomFloor)));
        }
    return prices;
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

namespace {

// The full-size encode and its decode, and the downscaled pair, held while a picture is measured.
std::uint64_t FullTrialBytes(const Image& pixels)
{
    const std::uint64_t count = PixelsOf(pixels);
    return (count * 3 + std::min(count / 4, kReducedPixels) * 2) * static_cast<std::uint64_t>(pixels.channels);
}

// Rows of the bands a whole measurement of `pixels` takes so that it fits the budget beside
// `held`: a multiple of kCellSide, less than kCellSide when none fits.
int BandRows(const Image& pixels, std::uint64_t held, std::uint64_t budget)
{
    const std::uint64_t fullTrial = FullTrialBytes(pixels);
    const std::uint64_t spare = budget > held + fullTrial ? budget - held - fullTrial : 0;
    const std::uint64_t bandPixels = spare > ButteraugliBytes(0) ? (spare - ButteraugliBytes(0)) / 320 : 0;
    return static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(pixels.height) + 2 * kBandMargin,
                                                    bandPixels / static_cast<std::uint64_t>(pixels.width)) -
                            2 * kBandMargin) /
           kCellSide * kCellSide;
}

// ChooseTargetQuality with the efficient encoder's `tools` (the standard encoder ignores them),
// from `predicted`; `encoded` receives the encode at the quality found. Whole encodes of
// `byteLimit` bytes or more pass unmeasured (Trials): an answer that large is of no use.
CompressStatus SearchTarget(const DecodedImage& image, const Image& reference, double distance,
                            const EngineOptions& options, std::uint64_t held, const EfficientTools& tools,
                            int predicted, TargetReport& report, std::string* detail,
                            std::vector<std::uint8_t>& encoded, std::vector<float>& peaks,
                            std::size_t byteLimit = std::numeric_limits<std::size_t>::max())
{
    report = {};
    const Image& pixels = image.pixels;
    const std::uint64_t count = PixelsOf(pixels);
    const std::uint64_t budget = options.memoryBudget;
    const auto affordable = [&](std::uint64_t trialPixels, std::uint64_t alsoHeld = 0) {
        return held + alsoHeld + TrialBytes(trialPixels, pixels.channels) <= budget;
    };
    const auto unmeasured = [&] {
        if (detail != nullptr)
            *detail = "the distance could not be measured";
        return CompressStatus::InternalError;
    };
    Trials whole(image, reference, options.encoder, tools, byteLimit);

    if (count <= kWholeSearchPixels && affordable(count)) {
        const QualitySearch search =
            FindCoarsestQuality(distance, predicted, 4, [&](int q) { return whole.Kept(q, whole.Whole(q), distance); });
        if (search.measureFailed)
            return unmeasured();
        report = {search.quality, search.distance};
        if (search.quality != 0 && !whole.HandBack(search.quality, encoded, &peaks))
            return unmeasured();
        return CompressStatus::Ok;
    }

    // The full-size encode at the predicted quality, measured on its likely peaks, gives the
    // tiles the search encodes alone. An answer is measured on the likely peaks of its own encode
    // (peaks move as the quality changes) and on the tiles: most failing answers fail there, at a
    // fraction of the whole's cost. An answer that passes them is measured whole, in bands the
    // budget holds: butteraugli's peak is not monotonic in the quality, so cells that stayed under
    // the distance at a coarser quality can rise over it at a finer one (on the full-size corpus
    // photos answers judged on cells alone after a failed whole check came out up to 5% over).
    // When the whole fails, its worst cells join the tiles and its cells near the distance are
    // measured with every later answer.
    const std::uint64_t cellPixels =
        static_cast<std::uint64_t>(kCellSide + 2 * kCellMargin) * (kCellSide + 2 * kCellMargin);
    const std::uint64_t reducedPixels = std::min(count / 4, kReducedPixels);
    const std::uint64_t fullTrial = FullTrialBytes(pixels);
    const int bandRows = BandRows(pixels, held, budget);
    if (bandRows < kCellSide || !affordable(std::max(cellPixels, reducedPixels), fullTrial)) {
        if (detail != nullptr)
            *detail = "measuring the distance needs more";
        return CompressStatus::OverMemoryBudget;
    }
    std::vector<Measured> measured;
    std::vector<Cell> tiles;
    int checkedQuality = predicted;
    std::optional<double> checked = whole.Cells(predicted, tiles, measured);
    if (!checked)
        return unmeasured();
    for (std::size_t i = 0; i < measured.size() && i < static_cast<std::size_t>(kTilesSearched); ++i)
        tiles.push_back(measured[i].cell);
    const auto onTiles = [&](int q) -> std::optional<double> {
        if (q == checkedQuality)
            return checked;
        return whole.Tiles(q, tiles, distance);
    };
    std::vector<Cell> hot;
    const auto verified = [&](int q) -> std::optional<double> {
        if (q != checkedQuality) {
            std::vector<Cell> also = tiles;
            for (const Cell& cell : hot)
                if (std::find(also.begin(), also.end(), cell) == also.end())
                    also.push_back(cell);
            checkedQuality = q;
            checked = whole.Cells(q, also, measured);
        }
        if (!checked || *checked > distance) {
            if (checked)
                AddNearCells(measured, distance, tiles);
            return checked;
        }
        std::vector<Measured> over;
        const std::optional<double> all = whole.Bands(q, bandRows, distance, measured, over);
        if (all && *all > distance) {
            for (std::size_t i = 0; i < over.size() && i < kHotCells; ++i)
                hot.push_back(over[i].cell);
            measured = std::move(over);
        }
        const std::optional<double> result = whole.Kept(q, all, distance);
        if (result && *result > distance)
            AddNearCells(measured, distance, tiles);
        return result;
    };
    const QualitySearch search =
        ConfirmedCoarsestQuality(distance, RescaledQuality(predicted, *checked, distance), onTiles, verified);
    if (search.measureFailed)
        return unmeasured();
    report = {search.quality, search.distance};
    if (search.quality != 0 && !whole.HandBack(search.quality, encoded, &peaks))
        return unmeasured();
    return CompressStatus::Ok;
}

// The efficient encoder's answer `bytes` (at report.quality with `tools`, its distance per block
// `peaks`) encoded again with HeadroomPrices, kept when the whole picture stays within the
// distance and the file shrinks. When it goes over, the blocks that came near the distance (and
// their neighbours) lose their prices and it is encoded once more.
void SpendHeadroom(const DecodedImage& image, const Image& reference, double distance, const EngineOptions& options,
                   std::uint64_t held, EfficientTools tools, const std::vector<float>& peaks, TargetReport& report,
                   std::vector<std::uint8_t>& bytes)
{
    const Image& pixels = image.pixels;
    const int blocksWide = (pixels.width + 7) / 8, blocksHigh = (pixels.height + 7) / 8;
    if (peaks.size() != static_cast<std::size_t>(blocksWide) * static_cast<std::size_t>(blocksHigh))
        return;
    const std::uint64_t count = PixelsOf(pixels);
    const bool whole = count <= kWholeSearchPixels && held + TrialBytes(count, pixels.channels) <= options.memoryBudget;
    const int bandRows = whole ? 0 : BandRows(pixels, held, options.memoryBudget);
    if (!whole && bandRows < kCellSide)
        return;
    tools.blockLambda = HeadroomPrices(peaks, blocksWide, blocksHigh, distance, kHeadroomPrice);
    for (int round = 0; round < 2; ++round) {
        Trials trial(image, reference, Encoder::Efficient, tools);
        std::vector<Measured> over;
        // The first round measures every band even past the distance: its map says where to repair.
        const double stopAbove = round == 0 ? std::numeric_limits<double>::max() : distance;
        const std::optional<double> measured =
            whole ? trial.Whole(report.quality) : trial.Bands(report.quality, bandRows, stopAbove, {}, over);
        if (!measured)
            return;
        if (*measured > distance) {
            // Blocks whose neighbourhood came within about 85% of the distance lose their prices.
            const std::vector<float> hot =
                HeadroomPrices(trial.LastPeaks(), blocksWide, blocksHigh, distance / kNearLimit, 1.0F);
            for (std::size_t i = 0; i < hot.size(); ++i)
                if (hot[i] == 0.0F)
                    tools.blockLambda[i] = 0.0F;
            continue;
        }
        trial.Kept(report.quality, measured, distance);
        std::vector<std::uint8_t> cheaper;
        if (trial.HandBack(report.quality, cheaper) && cheaper.size() < bytes.size()) {
            bytes.swap(cheaper);
            report.distance = *measured;
        }
        return;
    }
}

}  // namespace

CompressStatus ChooseTargetQuality(const DecodedImage& image, const Image& reference, double distance,
                                   const EngineOptions& options, std::uint64_t inputSize, TargetReport& report,
                                   std::string* detail, std::vector<std::uint8_t>* encoded)
{
    const Image& pixels = image.pixels;
    // What the re-encode holds anyway, plus the reference when the filters made a second picture.
    std::uint64_t held = PipelineBytes(inputSize, static_cast<std::uint64_t>(pixels.width),
                                       static_cast<std::uint64_t>(pixels.height), pixels.channels);
    if (&reference != &pixels)
        held += reference.data.size();
    std::vector<std::uint8_t> bytes;
    std::vector<float> peaks;
    const CompressStatus status = SearchTarget(image, reference, distance, options, held, EfficientTools{},
                                               PredictedQuality(distance), report, detail, bytes, peaks);
    if (status == CompressStatus::Ok && options.encoder == Encoder::Efficient && report.quality != 0) {
        // The flatter table, searched from the quality just found, and the smaller answer kept.
        EfficientTools flat;
        flat.tuning = kFlatTuning;
        TargetReport other;
        std::vector<std::uint8_t> otherBytes;
        std::vector<float> otherPeaks;
        // The first answer stands when this search cannot be afforded or measured.
        const CompressStatus second =
            SearchTarget(image, reference, distance, options, held + bytes.size(), flat, report.quality, other, nullptr,
                         otherBytes, otherPeaks, bytes.size());
        const bool flatter = second == CompressStatus::Ok && other.quality != 0 && otherBytes.size() < bytes.size();
        if (flatter) {
            report = other;
            bytes.swap(otherBytes);
            peaks.swap(otherPeaks);
        }
        SpendHeadroom(image, reference, distance, options, held + bytes.size(), flatter ? flat : EfficientTools{},
                      peaks, report, bytes);
    }
    if (encoded != nullptr)
        encoded->swap(bytes);
    return status;
}

}  // namespace tramblix
