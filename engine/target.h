#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/compress.h"
#include "engine/image.h"

namespace tramblix {

// Named looks as butteraugli distances (the largest over the picture, output decode against input
// decode). Measured on the corpus photos downscaled to 1-2.5 MP, our level 1 (quality 90) lands
// near 2.0 and level 3 (quality 70) near 3.6; see docs/measurements.md "Target look".
inline constexpr double kVisuallyLosslessDistance = 1.0;
inline constexpr double kHighDistance = 2.0;
inline constexpr double kGoodDistance = 3.0;

// Distances a target may take: finer than 0.1 no JPEG reaches, past 15 nothing is worth keeping.
inline constexpr double kMinTargetDistance = 0.1;
inline constexpr double kMaxTargetDistance = 15.0;

// What a target run chose for one picture.
struct TargetReport {
    int quality = 0;        // the JPEG quality written; 0 when the distance cannot be reached
    double distance = 0.0;  // measured at that quality: on the whole picture, or the largest on its cells
    bool kept = false;      // `quality` would not save enough, so the input was kept
    // Filled in every run, targeted or not: why the input's coded data was kept.
    KeepReason keep = KeepReason::None;
};

// The distance of one trial encode at `quality`; nothing when it could not be measured.
using DistanceAtQuality = std::function<std::optional<double>(int quality)>;

struct QualitySearch {
    int quality = 0;  // the coarsest quality found within the target; 0: none up to `finest`
    double distance = 0.0;
    int trials = 0;
    bool measureFailed = false;  // a trial could not be measured: quality is meaningless
};

// Finds the coarsest quality in [coarsest, finest] whose distance stays within `target`, taking
// distance to grow as quality falls: from `start` it walks by `firstStep`, doubling, until the
// answer is bracketed, then halves the bracket. It stops when the bracket is `tolerance` qualities
// wide (1: exact), or early when a passing trial lies within 3% under the target (a coarser one
// would not pass).
QualitySearch FindCoarsestQuality(double target, int start, int firstStep, const DistanceAtQuality& measure,
                                  int coarsest = 1, int finest = 100, int tolerance = 1);

// The coarsest quality whose `confirmed` distance stays within `target`, searched with the
// `cheap` measure from `start`: each answer the cheap search finds is confirmed, and when that
// fails the cheap search goes on above it; after `rounds` failures the confirmed measure steps
// alone. Only a confirmed distance is ever returned.
QualitySearch ConfirmedCoarsestQuality(double target, int start, const DistanceAtQuality& cheap,
                                       const DistanceAtQuality& confirmed, int rounds = 3);

// Trellis prices per 8 x 8 block for the efficient encoder (EfficientTools::blockLambda) from an
// answer's largest distance per block, `peaks` (row after row): `price` per unit of headroom
// (distance over the largest of the block and its neighbours) past kHeadroomFloor, at most
// kMaxHeadroomPrice. Blocks near the distance keep their price.
inline constexpr double kHeadroomFloor = 1.3;
inline constexpr double kMaxHeadroomPrice = 2.0;
std::vector<float> HeadroomPrices(const std::vector<float>& peaks, int blocksWide, int blocksHigh, double distance,
                                  float price);

// Where the search starts for a target distance: the quality that usually lands near it.
int PredictedQuality(double distance);

// The quality expected to land on `distance` when `quality` measured `measured`, taking the
// distance to grow in proportion to the scale libjpeg applies to its tables.
int RescaledQuality(int quality, double measured, double distance);

// The distance as the result lines print it: one or two decimals ("1.0", "2.5", "1.25").
std::string DistanceText(double distance);

// "Image Compressed by P% at quality Q for distance D and reduced by R bytes. ", or, when the
// distance could not be reached (quality 0), "Image kept unchanged: distance D cannot be reached
// at any quality. ", or, when the quality found would not save enough (`kept`, or an output the
// size of the input), "Image kept unchanged: quality Q, the coarsest within distance D, would not
// save enough. "; "Could not create file." when either size is 0.
std::string TargetResultLine(std::int64_t inputSize, std::int64_t outputSize, int quality, double distance,
                             bool kept = false);

// Why a picture was kept: "distance D cannot be reached at any quality", or, for a quality
// found, "quality Q, the coarsest within distance D, would not save enough".
std::string UnreachableText(double distance);
std::string KeptText(int quality, double distance);

// Picks the quality for `image` (what will be encoded: the filtered pixels) so that its decode
// stays within `distance` of `reference` (the decoded input). Up to 1 MP every trial is measured
// whole; larger pictures are searched on the cells where an encode most likely peaks and on
// tiles encoded alone, and every answer that passes them is measured whole. The efficient encoder
// is searched with its own tables and with kFlatTuning's, the smaller answer is kept, and it is
// encoded again with HeadroomPrices from its distance map, which stays when it passes whole.
// `inputSize`: the file's bytes, counted in the budget. `encoded`, when given, receives the
// encode of the answer as the encoder writes it (empty when no quality reaches the distance).
CompressStatus ChooseTargetQuality(const DecodedImage& image, const Image& reference, double distance,
                                   const EngineOptions& options, std::uint64_t inputSize, TargetReport& report,
                                   std::string* detail = nullptr, std::vector<std::uint8_t>* encoded = nullptr);

}  // namespace tramblix
