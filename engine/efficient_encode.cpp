#include "engine/efficient_encode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <new>
#include <optional>

#include <jpeglib.h>

#include "engine/chroma_fit.h"
#include "engine/internal/jpeg_common.h"
#include "engine/internal/jpeg_encode_parts.h"
#include "engine/masking.h"
#include "engine/quality_table.h"
#include "engine/quantise.h"
#include "engine/source_grid.h"

namespace tramblix {

namespace {

// One component's blocks as libjpeg lays them out: real blocks cover the samples, the array is
// padded to whole MCUs with dummy blocks.
struct Plane {
    int widthInBlocks = 0;
    int heightInBlocks = 0;
    int hSamp = 1;
    int vSamp = 1;
    int paddedWidth = 0;  // in blocks, a multiple of hSamp
    int paddedHeight = 0;
};

int DivRoundUp(long a, long b)
{
    return static_cast<int>((a + b - 1) / b);
}

struct Plan {
    const Image* pixels = nullptr;
    const SourceSteps* source = nullptr;
    Density density;
    bool grey = false;
    int quality = 75;
    EfficientTools tools;
    Plane planes[3];
    std::optional<QuantSteps> steps[3];  // Y, Cb, Cr, read back from libjpeg once set
    int tables = 2;                      // Cr has its own with tuned tables
    float lambda = 0.0f;                 // luma trellis, in the flattest blocks
    float maskedLambda = 0.0f;           // luma, added at full masking strength
    float chromaZero = 0.5f;             // chroma dead zone in steps
    float chromaFit = 0.0f;              // ChromaFit's strength; 0: libjpeg's 2x2 mean
    std::vector<float> masking;          // per luma block, BlockMasking
    AcCodeLengths lengths[2];
    // Sample rows of one MCU row, owned by the caller: luma, then Cb and Cr, then two full
    // resolution rows of each chroma channel before downsampling.
    std::uint8_t* luma = nullptr;
    std::uint8_t* chroma[2] = {};
    int* chromaFull[2][2] = {};
    ChromaFit* fit = nullptr;  // owned by the caller, made when chromaFit > 0
};

// The coefficient arrays live as long as the compressor that allocated them.
struct Compressor : jpeg::Compressor {
    jvirt_barray_ptr arrays[3] = {};
};

int BandOf(int natural)
{
    const int diagonal = natural / 8 + natural % 8;
    return static_cast<int>(std::find_if(std::begin(kBandLastDiagonal), std::end(kBandLastDiagonal),
                                         [&](int last) { return diagonal <= last; }) -
                            std::begin(kBandLastDiagonal));
}

// How far `quality` is into the fine levels: 0 up to kCoarseQuality, 1 from kFineQuality.
float FineShare(int quality)
{
    return std::clamp(static_cast<float>(quality - kCoarseQuality) / (kFineQuality - kCoarseQuality), 0.0f, 1.0f);
}

float LookScale(const EfficientTuning& tuning, int quality)
{
    const auto* first = std::begin(tuning.look);
    const auto* last = std::end(tuning.look) - 1;
    if (quality <= first->quality)
        return first->scale;
    if (quality >= last->quality)
        return last->scale;
    const auto* upper = std::find_if(first, last, [&](const auto& p) { return p.quality >= quality; });
    const auto& lower = *(upper - 1);
    const float t = static_cast<float>(quality - lower.quality) / static_cast<float>(upper->quality - lower.quality);
    return lower.scale + t * (upper->scale - lower.scale);
}

// Holds each step to `cap` times the finest of its anti-diagonal (EfficientTuning::lumaDiagonalCap).
void CapDiagonals(std::uint16_t steps[DCTSIZE2], float cap)
{
    int finest[15];
    std::fill(std::begin(finest), std::end(finest), 65535);
    for (int i = 0; i < DCTSIZE2; ++i)
        finest[i / 8 + i % 8] = std::min<int>(finest[i / 8 + i % 8], steps[i]);
    for (int i = 0; i < DCTSIZE2; ++i)
        steps[i] = static_cast<std::uint16_t>(std::min<long>(steps[i], std::lround(finest[i / 8 + i % 8] * cap)));
}

}  // namespace

void EfficientSteps(int quality, const EfficientTuning& tuning, float lookFactor, std::uint16_t steps[3][64])
{
    quality = std::clamp(quality, 1, 100);
    StandardLumaSteps(quality, steps[0]);
    StandardChromaSteps(quality, steps[1]);
    std::copy_n(steps[1], DCTSIZE2, steps[2]);
    CapDiagonals(steps[0], tuning.lumaDiagonalCap);
    const float look = LookScale(tuning, quality) * lookFactor;
    const float chromaScale = 1.0f + FineShare(quality) * (tuning.fineChromaScale - 1.0f);
    for (int t = 0; t < 3; ++t)
        for (int i = 0; i < DCTSIZE2; ++i) {
            const float weight = tuning.bandWeight[t][BandOf(i)] * (t == 0 ? 1.0f : chromaScale);
            steps[t][i] = static_cast<std::uint16_t>(std::clamp(std::lround(steps[t][i] * weight * look), 1L, 255L));
        }
}

namespace {

void SetTables(jpeg_compress_struct& cinfo, Plan& plan)
{
    jpeg_set_quality(&cinfo, plan.quality, TRUE);
    const EfficientTuning& tuning = plan.tools.tuning;
    const float fine = FineShare(plan.quality);
    int onSourceGrid = 0;  // luma AC steps taken from the JPEG the pixels came from
    if (plan.tools.tunedTables && !plan.grey) {
        plan.tables = 3;
        cinfo.quant_tbl_ptrs[2] = jpeg_alloc_quant_table(reinterpret_cast<j_common_ptr>(&cinfo));
    }
    std::uint16_t tuned[3][DCTSIZE2];
    EfficientSteps(plan.quality, tuning, plan.tools.lookFactor, tuned);
    for (int t = 0; t < plan.tables; ++t) {
        JQUANT_TBL* table = cinfo.quant_tbl_ptrs[t];
        if (plan.tools.tunedTables)
            std::copy_n(tuned[t], DCTSIZE2, table->quantval);
        // Where the level asks for finer steps than the JPEG the pixels came from, finer steps
        // only code that file's rounding again: its own steps give back its values at fewer bits.
        const std::uint16_t* source = t == 0 ? plan.source->luma : plan.source->chroma;
        if (plan.tools.sourceGrid && source[0] != 0)
            for (int i = 0; i < 64; ++i) {
                onSourceGrid += t == 0 && i != 0 && source[i] >= table->quantval[i] ? 1 : 0;
                table->quantval[i] = std::max<UINT16>(table->quantval[i], source[i]);
            }
        plan.steps[t].emplace(table->quantval);
    }
    // The bits the trellis counts are the standard Huffman codes': our optimised tables follow
    // the same statistics closely enough to choose by.
    for (int t = 0; t < 2; ++t) {
        const JHUFF_TBL& huffman = *cinfo.ac_huff_tbl_ptrs[t];
        int symbol = 0;
        for (int length = 1; length <= 16; ++length)
            for (int n = 0; n < huffman.bits[length]; ++n)
                plan.lengths[t].bits[huffman.huffval[symbol++]] = static_cast<std::uint8_t>(length);
    }
    // Chroma has no trellis, only a slightly wider dead zone: butteraugli sees every chroma step
    // taken from it. A picture that mostly sits on the grid of the file it came from is rounded
    // plainly: its values come back as the file's own, without error, and dropping any would add
    // error the file never had.
    const bool trellis = plan.tools.rdQuantise && onSourceGrid < 32;
    plan.lambda = trellis ? tuning.lumaLambda : 0.0f;
    plan.maskedLambda = trellis ? tuning.maskedLambda : 0.0f;
    plan.chromaZero = trellis ? std::max(0.5f, tuning.chromaZero) : 0.5f;
    plan.chromaFit = plan.tools.fittedChroma && !plan.grey ? fine * tuning.chromaFit : 0.0f;
}

// Parameters as EncodeJpeg sets them, our tables, and the whole-image coefficient arrays.
bool Setup(Compressor& c, Plan& plan, jpeg::OutputBlock& output)
{
    jpeg_compress_struct& cinfo = c.cinfo;
    if (setjmp(c.err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    const Image& pixels = *plan.pixels;
    jpeg::CreateFor(cinfo, pixels, output);
    SetTables(cinfo, plan);
    jpeg::SetLayout(cinfo, plan.density, plan.quality);
    if (plan.tables == 3)
        cinfo.comp_info[2].quant_tbl_no = 2;

    const int maxH = plan.grey ? 1 : 2;
    for (int ci = 0; ci < cinfo.num_components; ++ci) {
        Plane& p = plan.planes[ci];
        p.hSamp = cinfo.comp_info[ci].h_samp_factor;
        p.vSamp = cinfo.comp_info[ci].v_samp_factor;
        // libjpeg's own arithmetic: component size rounded up, then whole blocks, then whole MCUs.
        p.widthInBlocks = DivRoundUp(DivRoundUp(static_cast<long>(pixels.width) * p.hSamp, maxH), 8);
        p.heightInBlocks = DivRoundUp(DivRoundUp(static_cast<long>(pixels.height) * p.vSamp, maxH), 8);
        p.paddedWidth = DivRoundUp(p.widthInBlocks, p.hSamp) * p.hSamp;
        p.paddedHeight = DivRoundUp(p.heightInBlocks, p.vSamp) * p.vSamp;
        c.arrays[ci] = cinfo.mem->request_virt_barray(
            reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, TRUE, static_cast<JDIMENSION>(p.paddedWidth),
            static_cast<JDIMENSION>(p.paddedHeight), static_cast<JDIMENSION>(p.vSamp));
    }
    cinfo.mem->realize_virt_arrays(reinterpret_cast<j_common_ptr>(&cinfo));
    return true;
}

// libjpeg's fixed-point RGB -> YCbCr (16 fraction bits, chroma rounded with 0.5 - epsilon).
inline int LumaOf(const std::uint8_t* rgb)
{
    return (19595 * rgb[0] + 38470 * rgb[1] + 7471 * rgb[2] + 32768) >> 16;
}
inline int CbOf(const std::uint8_t* rgb)
{
    return (-11059 * rgb[0] - 21709 * rgb[1] + 32768 * rgb[2] + (128 << 16) + 32767) >> 16;
}
inline int CrOf(const std::uint8_t* rgb)
{
    return (32768 * rgb[0] - 27439 * rgb[1] - 5329 * rgb[2] + (128 << 16) + 32767) >> 16;
}

// The samples of MCU row `mcuRow`, edges replicated as libjpeg replicates them: luma (and grey)
// by clamping to the last column and row; chroma averaged over 2x2 clamped pixels with libjpeg's
// alternating 1, 2 bias, and its rows past the component's height copied from its last row; or,
// with Plan::fit, fitted chroma.
void LoadSamples(const Plan& plan, int mcuRow)
{
    const Image& pixels = *plan.pixels;
    const int lastX = pixels.width - 1;
    const int lastY = pixels.height - 1;
    const Plane& luma = plan.planes[0];
    const int lumaRows = 8 * luma.vSamp;
    const int lumaWidth = 8 * luma.widthInBlocks;
    for (int r = 0; r < lumaRows; ++r) {
        const std::uint8_t* src = pixels.row(std::min(mcuRow * lumaRows + r, lastY));
        std::uint8_t* dst = plan.luma + static_cast<std::ptrdiff_t>(r) * lumaWidth;
        if (plan.grey) {
            for (int x = 0; x < lumaWidth; ++x)
                dst[x] = src[std::min(x, lastX)];
        } else {
            for (int x = 0; x < lumaWidth; ++x)
                dst[x] = static_cast<std::uint8_t>(LumaOf(src + 3 * std::min(x, lastX)));
        }
    }
    if (plan.grey)
        return;

    const int chromaWidth = 8 * plan.planes[1].widthInBlocks;
    if (plan.fit != nullptr) {
        for (int r = 0; r < 8; ++r)
            plan.fit->Row(mcuRow * 8 + r, plan.chroma[0] + static_cast<std::ptrdiff_t>(r) * chromaWidth,
                          plan.chroma[1] + static_cast<std::ptrdiff_t>(r) * chromaWidth, chromaWidth);
        return;
    }
    const int chromaHeight = (pixels.height + 1) / 2;
    for (int r = 0; r < 8; ++r) {
        const int cy = std::min(mcuRow * 8 + r, chromaHeight - 1);
        for (int half = 0; half < 2; ++half) {
            const std::uint8_t* src = pixels.row(std::min(2 * cy + half, lastY));
            for (int x = 0; x < 2 * chromaWidth; ++x) {
                const std::uint8_t* rgb = src + 3 * std::min(x, lastX);
                plan.chromaFull[0][half][x] = CbOf(rgb);
                plan.chromaFull[1][half][x] = CrOf(rgb);
            }
        }
        for (int c = 0; c < 2; ++c) {
            const int* top = plan.chromaFull[c][0];
            const int* bottom = plan.chromaFull[c][1];
            std::uint8_t* dst = plan.chroma[c] + static_cast<std::ptrdiff_t>(r) * chromaWidth;
            for (int x = 0; x < chromaWidth; ++x) {
                const int bias = 1 + (x & 1);
                dst[x] = static_cast<std::uint8_t>(
                    (top[2 * x] + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1] + bias) >> 2);
            }
        }
    }
}

void QuantiseLuma(const Plan& plan, float lambda, const std::uint8_t* samples, std::ptrdiff_t stride, JCOEF* out)
{
    std::int32_t coefficients[64];
    ForwardDct(samples, stride, coefficients);
    static_assert(sizeof(JCOEF) == sizeof(std::int16_t));
    QuantiseTrellis(coefficients, *plan.steps[0], lambda, plan.lengths[0], reinterpret_cast<std::int16_t*>(out));
}

void QuantiseChroma(const Plan& plan, int ci, const std::uint8_t* samples, std::ptrdiff_t stride, JCOEF* out)
{
    std::int32_t coefficients[64];
    ForwardDct(samples, stride, coefficients);
    QuantiseDeadZone(coefficients, *plan.steps[std::min(ci, plan.tables - 1)], plan.chromaZero,
                     reinterpret_cast<std::int16_t*>(out));
}

// EfficientTools::blockLambda of luma block (bx, by), where the trellis runs at all.
float BlockLambda(const Plan& plan, int bx, int by)
{
    const std::vector<float>& prices = plan.tools.blockLambda;
    const std::size_t at = static_cast<std::size_t>(by) * static_cast<std::size_t>(plan.planes[0].widthInBlocks) +
                           static_cast<std::size_t>(bx);
    return plan.lambda > 0.0f && at < prices.size() ? prices[at] : 0.0f;
}

// One component's blocks of one MCU row. Dummy blocks (past the real ones, to fill whole MCUs)
// are flat, with the DC of the block libjpeg takes it from, so they cost almost nothing.
void EncodeRow(const Plan& plan, int ci, const std::uint8_t* samples, JBLOCKARRAY rows, int mcuRow)
{
    const Plane& p = plan.planes[ci];
    const std::ptrdiff_t stride = 8 * p.widthInBlocks;
    for (int br = 0; br < p.vSamp; ++br) {
        JBLOCKROW blocks = rows[br];
        const int by = mcuRow * p.vSamp + br;
        if (by < p.heightInBlocks) {
            const float* masking = ci == 0 && !plan.masking.empty()
                                       ? plan.masking.data() + static_cast<std::size_t>(by) * p.widthInBlocks
                                       : nullptr;
            for (int bx = 0; bx < p.widthInBlocks; ++bx) {
                const std::uint8_t* block = samples + br * 8 * stride + bx * 8;
                if (ci == 0)
                    QuantiseLuma(
                        plan,
                        plan.lambda + (masking ? masking[bx] * plan.maskedLambda : 0.0f) + BlockLambda(plan, bx, by),
                        block, stride, blocks[bx]);
                else
                    QuantiseChroma(plan, ci, block, stride, blocks[bx]);
            }
            for (int bx = p.widthInBlocks; bx < p.paddedWidth; ++bx) {
                std::fill_n(blocks[bx], DCTSIZE2, JCOEF{0});
                blocks[bx][0] = blocks[p.widthInBlocks - 1][0];
            }
        } else {
            const JBLOCKROW above = rows[br - 1];
            for (int bx = 0; bx < p.paddedWidth; ++bx) {
                std::fill_n(blocks[bx], DCTSIZE2, JCOEF{0});
                blocks[bx][0] = above[(bx / p.hSamp) * p.hSamp + p.hSamp - 1][0];
            }
        }
    }
}

bool FillCoefficients(Compressor& c, const Plan& plan)
{
    jpeg_compress_struct& cinfo = c.cinfo;
    if (setjmp(c.err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    const int mcuRows = plan.planes[0].paddedHeight / plan.planes[0].vSamp;
    const int components = plan.grey ? 1 : 3;
    for (int mcuRow = 0; mcuRow < mcuRows; ++mcuRow) {
        LoadSamples(plan, mcuRow);
        for (int ci = 0; ci < components; ++ci) {
            const int vSamp = plan.planes[ci].vSamp;
            JBLOCKARRAY rows = cinfo.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo), c.arrays[ci],
                                                             static_cast<JDIMENSION>(mcuRow * vSamp),
                                                             static_cast<JDIMENSION>(vSamp), TRUE);
            EncodeRow(plan, ci, ci == 0 ? plan.luma : plan.chroma[ci - 1], rows, mcuRow);
        }
    }
    return true;
}

bool Write(Compressor& c, const DecodedImage& image)
{
    jpeg_compress_struct& cinfo = c.cinfo;
    if (setjmp(c.err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_write_coefficients(&cinfo, c.arrays);
    jpeg::WriteSegments(cinfo, image.markers, image.icc);
    jpeg_finish_compress(&cinfo);
    return true;
}

}  // namespace

EfficientTools ToolsToShrink(std::size_t bytes, std::size_t limit)
{
    EfficientTools tools;
    const double ratio = static_cast<double>(bytes) / static_cast<double>(std::max<std::size_t>(limit, 1));
    tools.lookFactor = static_cast<float>(std::max(1.0, ratio * ratio * ratio * 1.02));
    return tools;
}

bool EncodeJpegEfficient(const DecodedImage& image, int quality, std::vector<std::uint8_t>& out,
                         const EfficientTools& tools)
{
    out.clear();
    if (!jpeg::Encodable(image))
        return false;
    try {
        const Image& pixels = image.pixels;
        Plan plan;
        plan.pixels = &pixels;
        plan.source = &image.sourceSteps;
        plan.density = image.density;
        plan.grey = pixels.channels == 1;
        plan.quality = std::clamp(quality, 1, 100);
        plan.tools = tools;
        const auto lumaRow = [&](int y, std::uint8_t* row) {
            const std::uint8_t* src = pixels.row(y);
            if (plan.grey)
                std::copy(src, src + pixels.width, row);
            else
                for (int x = 0; x < pixels.width; ++x)
                    row[x] = static_cast<std::uint8_t>(LumaOf(src + 3 * x));
        };
        // Pixels from a JPEG saved in another format keep that JPEG's grid, steps unknown.
        SourceSteps guessed;
        if (tools.sourceGrid && !image.sourceSteps.present())
            if (const auto grid = GuessLumaGrid(pixels.width, pixels.height, lumaRow)) {
                std::copy(grid->begin(), grid->end(), guessed.luma);
                plan.source = &guessed;
            }

        jpeg::OutputBlock output(jpeg::EncodeBufferBound(image));
        Compressor compressor;
        if (!Setup(compressor, plan, output))
            return output.HandBack(false, compressor.err, out);
        if (plan.maskedLambda > 0.0f)
            plan.masking = BlockMasking(pixels.width, pixels.height, plan.planes[0].widthInBlocks,
                                        plan.planes[0].heightInBlocks, lumaRow);
        // Sample rows of one MCU row; the whole picture exists only as coefficients.
        const std::size_t lumaWidth = 8 * static_cast<std::size_t>(plan.planes[0].widthInBlocks);
        std::vector<std::uint8_t> luma(lumaWidth * 8 * static_cast<std::size_t>(plan.planes[0].vSamp));
        std::vector<std::uint8_t> chroma[2];
        std::vector<int> chromaFull[2][2];
        plan.luma = luma.data();
        if (!plan.grey) {
            const std::size_t chromaWidth = 8 * static_cast<std::size_t>(plan.planes[1].widthInBlocks);
            for (int c = 0; c < 2; ++c) {
                chroma[c].resize(chromaWidth * 8);
                plan.chroma[c] = chroma[c].data();
                for (int half = 0; half < 2; ++half) {
                    chromaFull[c][half].resize(2 * chromaWidth);
                    plan.chromaFull[c][half] = chromaFull[c][half].data();
                }
            }
        }
        std::optional<ChromaFit> fit;
        if (plan.chromaFit > 0.0f) {
            fit.emplace(pixels.width, pixels.height, plan.chromaFit, [&](int y, int* cb, int* cr) {
                const std::uint8_t* rgb = pixels.row(y);
                for (int x = 0; x < pixels.width; ++x, rgb += 3) {
                    cb[x] = CbOf(rgb);
                    cr[x] = CrOf(rgb);
                }
            });
            plan.fit = &*fit;
        }
        const bool done = FillCoefficients(compressor, plan) && Write(compressor, image);
        return output.HandBack(done, compressor.err, out);
    } catch (const std::bad_alloc&) {
        out.clear();
        throw;
    }
}

}  // namespace tramblix
