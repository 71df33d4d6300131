#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/image.h"

namespace tramblix {

// The efficient encoder's tuned numbers. A step is the standard encoder's step at the quality,
// times the weight of its band, times the quality's look scale, rounded. A band is a run of the
// block's anti-diagonals (row + column of a coefficient: 0 for DC, 14 for the last), the runs
// the zig-zag order visits one after another: see kBandLastDiagonal.
// bench/quality/field_bench.py --search reruns the search that found them (bytes at equal
// SSIMULACRA2 on the downscaled corpus photos and the other photos; the band weights, lambdas
// and dead zone were then chosen by bytes at equal SSIMULACRA2 and butteraugli 3-norm both).
struct EfficientTuning {
    struct LookPoint {
        int quality;
        float scale;
    };
    // Luma, Cb, Cr. Luma: DC finer, the first AC diagonal as it is, the middle ones
    // coarser and the highest run finer, so fine texture keeps its detail (SSIMULACRA2 and
    // butteraugli both see it lost); the trellis then drops what texture hides.
    // Chroma: DC and lowest AC finer (butteraugli sees colour banding in smooth areas) and the
    // higher diagonals much finer than the standard table's, whose steps there are nearly all
    // 99: at 4:2:0 one chroma step spans two pixels, and butteraugli sees colour bleeding
    // across edges long before SSIMULACRA2 does. Cr (red-green) finer than Cb (blue-yellow)
    // above the lowest diagonals: the eye, and both measures, tell red from green far better,
    // so each gets its own table.
    float bandWeight[3][6];
    // The standard luma table is lumpy along its anti-diagonals (40 beside 17 for the same
    // frequency turned), coding some directions of fine detail much coarser than others; before
    // weighting, each step is held to at most this many times the finest of its anti-diagonal.
    float lumaDiagonalCap;
    // The one overall scale, per level's quality, so that level L looks as the standard encoder's
    // level L does: mean SSIMULACRA2 within about a point on each photo set. Qualities in
    // between take the scale in between; those outside, the nearest level's.
    // Qualities 15 to 70 are what `field_bench.py --search look` printed. The two finest were
    // set by hand and are not the search's: at 90 it finds 1.33 to 1.36 depending on where it
    // starts, which leaves the corpus photos below the standard encoder's look once the grid
    // found from pixels (GuessLumaGrid) keeps a source's steps; 1.24 (quality 90) and 1.16
    // (quality 80) keep level 1 and 2 within a point of it on both photo sets.
    LookPoint look[10];
    // The price of a luma bit in squared steps for the trellis, everywhere.
    float lumaLambda;
    // Added at full masking strength (BlockMasking): small values in texture go to zero as far
    // as about one step in the busiest blocks, which pays for the finer high diagonals. Flat
    // areas and their edges, where the error shows, keep the base price. Chroma has no trellis:
    // the same zeroing there cost more in SSIMULACRA2 than it saved.
    float maskedLambda;
    // Chroma AC values below this many steps become zero (0.5 would be plain rounding): a value
    // just past half a step costs its bits for less than a step's worth of colour. Widening it
    // where luma masks more lost on both measures: colour shows at the edges of texture.
    float chromaZero;
    // At fine levels chroma steps are fine enough to carry sharper colour edges: there chroma
    // is fitted to what decoders show (ChromaFit, this strength) and its steps are this much
    // coarser, which butteraugli and SSIMULACRA2 both prefer at equal bytes. Both apply in full
    // from kFineQuality and fade out towards kCoarseQuality, below which neither does.
    float chromaFit;
    float fineChromaScale;
};

inline constexpr int kFineQuality = 80;
inline constexpr int kCoarseQuality = 70;

// Bands of anti-diagonals: DC, 1, 2, 3-4, 5-6 and 7-14 (zig-zag positions 0, 1-2, 3-5, 6-14,
// 15-27 and 28-63).
inline constexpr int kBandLastDiagonal[6]{0, 1, 2, 4, 6, 14};

inline constexpr EfficientTuning kEfficientTuning{
    .bandWeight{{0.55f, 1.0f, 1.4f, 1.3f, 1.0f, 0.6f},
                {0.512f, 0.737f, 1.1f, 0.78f, 0.64f, 0.6f},
                {0.512f, 0.59f, 0.77f, 0.42f, 0.28f, 0.21f}},
    .lumaDiagonalCap = 1.3f,
    .look{{15, 1.271f},
          {20, 1.192f},
          {25, 1.247f},
          {30, 1.183f},
          {40, 1.132f},
          {50, 1.123f},
          {60, 1.221f},
          {70, 1.163f},
          {80, 1.16f},
          {90, 1.24f}},
    .lumaLambda = 0.05f,
    .maskedLambda = 0.06f,
    .chromaZero = 0.6f,
    .chromaFit = 0.6f,
    .fineChromaScale = 1.2f,
};

// A flatter luma table for distance targets: every step of an anti-diagonal at its finest, DC
// finer and the middle diagonals as the standard table has them. Butteraugli's largest distance
// sits in the worst block, where the coarse steps of the lumpy standard diagonals and of the
// middle bands ring; which table reaches a distance in fewer bytes depends on the photo (bytes
// at the same largest distance: up to 9% fewer on some photos, up to 11% more on others), so a
// target searches both and keeps the smaller (docs/measurements.md "Target look").
constexpr EfficientTuning FlatTuning()
{
    EfficientTuning tuning = kEfficientTuning;
    tuning.lumaDiagonalCap = 1.0f;
    tuning.bandWeight[0][0] = 0.8f;
    tuning.bandWeight[0][2] = 1.0f;
    tuning.bandWeight[0][3] = 1.0f;
    return tuning;
}
inline constexpr EfficientTuning kFlatTuning = FlatTuning();

// What the efficient encoder does beyond the standard one. With everything off it computes
// the standard encoder's coefficients itself, so its pixels are the standard encoder's.
struct EfficientTools {
    // Steps re-weighted from the standard tables at the level's quality, for the eye and SSIM.
    bool tunedTables = true;
    // Luma: rate-distortion optimised values (a trellis weighing squared error against bits);
    // chroma: the dead zone of chromaZero.
    bool rdQuantise = true;
    // Never quantise finer than the JPEG the pixels came from: where the level's step is finer
    // than that file's, take the file's own.
    bool sourceGrid = true;
    // Chroma fitted to decoders' upsampling at fine levels (EfficientTuning::chromaFit).
    bool fittedChroma = true;
    // Other numbers, for the search that tunes them.
    EfficientTuning tuning = kEfficientTuning;
    // Every step this many times coarser than the level's look asks for (ToolsToShrink).
    float lookFactor = 1.0f;
    // Added to the luma trellis price of each 8 x 8 luma block, row after row (empty: nothing):
    // a distance target spends fewer bits where its measured distance leaves room.
    std::vector<float> blockLambda{};
};

// Tools whose steps are coarse enough that an encode which took `bytes` with the default tools
// most likely fits in `limit` bytes: on pictures where the level's steps cost more than the
// standard encoder's file, their look is well above it, and steps coarser by the bytes to lose
// keep most of that. Bytes follow the steps' scale by a power of about -0.6 at the finest levels
// and steeper below, so the factor is the bytes' ratio cubed, with 2% to spare.
EfficientTools ToolsToShrink(std::size_t bytes, std::size_t limit);

// The steps (natural order; luma, Cb, Cr) the tuned tables give `quality` with `tuning`, each
// times `lookFactor`, before a JPEG input's own coarser steps are taken over.
void EfficientSteps(int quality, const EfficientTuning& tuning, float lookFactor, std::uint16_t steps[3][64]);

// Encodes like EncodeJpeg (same segments, sampling, scan script and Huffman optimisation) but
// with its own steps, and computes and quantises the DCT coefficients itself, handing them to
// libjpeg whole. One
// thread; the bytes depend only on the pixels, `quality` and `tools`.
// Returns false when encoding failed; `out` is then empty. Throws std::bad_alloc when memory runs out.
bool EncodeJpegEfficient(const DecodedImage& image, int quality, std::vector<std::uint8_t>& out,
                         const EfficientTools& tools = {});

}  // namespace tramblix
