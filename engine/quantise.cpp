#include "engine/quantise.h"

#include <algorithm>
#include <cstdlib>

namespace tramblix {

const std::uint8_t kZigzagToNatural[64]{
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

namespace {

// The Loeffler-Ligtenberg-Moschytz factorisation in 13-bit fixed point with 2 extra bits kept
// between the passes, as libjpeg's accurate integer transform computes it.
constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;
constexpr std::int32_t kFix0_298631336 = 2446;
constexpr std::int32_t kFix0_390180644 = 3196;
constexpr std::int32_t kFix0_541196100 = 4433;
constexpr std::int32_t kFix0_765366865 = 6270;
constexpr std::int32_t kFix0_899976223 = 7373;
constexpr std::int32_t kFix1_175875602 = 9633;
constexpr std::int32_t kFix1_501321110 = 12299;
constexpr std::int32_t kFix1_847759065 = 15137;
constexpr std::int32_t kFix1_961570560 = 16069;
constexpr std::int32_t kFix2_053119869 = 16819;
constexpr std::int32_t kFix2_562915447 = 20995;
constexpr std::int32_t kFix3_072711026 = 25172;

constexpr std::int32_t Descale(std::int32_t x, int n)
{
    return (x + (std::int32_t{1} << (n - 1))) >> n;
}

// One 8-point pass over data[0], data[step], ... data[7 * step]. The first pass keeps kPass1Bits
// more bits; the second removes them again.
template <bool First>
void Pass(std::int32_t* d, int step)
{
    const std::int32_t tmp0 = d[0] + d[7 * step], tmp7 = d[0] - d[7 * step];
    const std::int32_t tmp1 = d[step] + d[6 * step], tmp6 = d[step] - d[6 * step];
    const std::int32_t tmp2 = d[2 * step] + d[5 * step], tmp5 = d[2 * step] - d[5 * step];
    const std::int32_t tmp3 = d[3 * step] + d[4 * step], tmp4 = d[3 * step] - d[4 * step];

    const std::int32_t tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    const std::int32_t tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    constexpr int evenShift = First ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
    if constexpr (First) {
        d[0] = (tmp10 + tmp11) * (1 << kPass1Bits);
        d[4 * step] = (tmp10 - tmp11) * (1 << kPass1Bits);
    } else {
        d[0] = Descale(tmp10 + tmp11, kPass1Bits);
        d[4 * step] = Descale(tmp10 - tmp11, kPass1Bits);
    }
    const std::int32_t e1 = (tmp12 + tmp13) * kFix0_541196100;
    d[2 * step] = Descale(e1 + tmp13 * kFix0_765366865, evenShift);
    d[6 * step] = Descale(e1 - tmp12 * kFix1_847759065, evenShift);

    const std::int32_t z1 = (tmp4 + tmp7) * -kFix0_899976223;
    const std::int32_t z2 = (tmp5 + tmp6) * -kFix2_562915447;
    const std::int32_t z5 = (tmp4 + tmp6 + tmp5 + tmp7) * kFix1_175875602;
    const std::int32_t z3 = (tmp4 + tmp6) * -kFix1_961570560 + z5;
    const std::int32_t z4 = (tmp5 + tmp7) * -kFix0_390180644 + z5;
    d[7 * step] = Descale(tmp4 * kFix0_298631336 + z1 + z3, evenShift);
    d[5 * step] = Descale(tmp5 * kFix2_053119869 + z2 + z4, evenShift);
    d[3 * step] = Descale(tmp6 * kFix3_072711026 + z2 + z3, evenShift);
    d[step] = Descale(tmp7 * kFix1_501321110 + z1 + z4, evenShift);
}

}  // namespace

void ForwardDct(const std::uint8_t* samples, std::ptrdiff_t stride, std::int32_t coefficients[64])
{
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            coefficients[y * 8 + x] = static_cast<std::int32_t>(samples[y * stride + x]) - 128;
    for (int y = 0; y < 8; ++y)
        Pass<true>(coefficients + y * 8, 1);
    for (int x = 0; x < 8; ++x)
        Pass<false>(coefficients + x, 8);
}

QuantSteps::QuantSteps(const std::uint16_t table[64])
{
    for (int i = 0; i < 64; ++i) {
        step[i] = table[i];
        const std::uint64_t divisor = 8 * std::uint64_t{table[i]};
        reciprocal[i] = ((std::uint64_t{1} << 32) + divisor - 1) / divisor;
    }
}

void QuantiseNearest(const std::int32_t coefficients[64], const QuantSteps& steps, std::int16_t out[64])
{
    for (int i = 0; i < 64; ++i) {
        const std::uint64_t numerator = static_cast<std::uint64_t>(std::abs(coefficients[i])) + 4 * steps.step[i];
        const auto magnitude = static_cast<std::int32_t>((numerator * steps.reciprocal[i]) >> 32);
        out[i] = static_cast<std::int16_t>(coefficients[i] < 0 ? -magnitude : magnitude);
    }
}

void QuantiseDeadZone(const std::int32_t coefficients[64], const QuantSteps& steps, float threshold,
                      std::int16_t out[64])
{
    QuantiseNearest(coefficients, steps, out);
    for (int i = 1; i < 64; ++i)
        if (out[i] != 0 &&
            static_cast<float>(std::abs(coefficients[i])) < threshold * 8.0f * static_cast<float>(steps.step[i]))
            out[i] = 0;
}

namespace {

int SizeOf(int magnitude)
{
    int size = 0;
    for (; magnitude > 0; magnitude >>= 1)
        ++size;
    return size;
}

}  // namespace

void QuantiseTrellis(const std::int32_t coefficients[64], const QuantSteps& quant, float lambda,
                     const AcCodeLengths& lengths, std::int16_t out[64])
{
    const std::uint16_t* table = quant.step;
    QuantiseNearest(coefficients, quant, out);
    if (lambda <= 0.0f)
        return;
    // zeroCost[k]: the error of zeroing zigzag positions 1..k. best[k]: the least cost of
    // positions 1..k with k the last value kept (0: none kept), reached from `from[k]`.
    float zeroCost[64];
    float best[64];
    int from[64];
    std::int16_t value[64];
    int kept[64];  // positions that may end a run: 0 and every one with a value to keep
    int keptCount = 0;
    zeroCost[0] = 0;
    best[0] = 0;
    kept[keptCount++] = 0;
    const float zrlBits = lengths.bits[0xF0];
    // A run from an earlier position costs at most `spread` more bits than one from a later
    // position (codes are 0-16 bits, a run of 62 zeros needs three sixteen-zero codes); an
    // earlier position whose cost so far is worse than a later one's by more than that can never
    // be the cheaper start again. Dropping those keeps dense blocks (noise at fine levels) from
    // costing a square of their values.
    const float spread = lambda * (16.0f + 3.0f * zrlBits);
    for (int k = 1; k < 64; ++k) {
        const int i = kZigzagToNatural[k];
        const float steps = static_cast<float>(std::abs(coefficients[i])) / (8.0f * static_cast<float>(table[i]));
        zeroCost[k] = zeroCost[k - 1] + steps * steps;
        const int nearest = static_cast<int>(steps + 0.5f);
        if (nearest == 0)
            continue;
        best[k] = 3.4e38f;
        for (int v = nearest; v >= std::max(1, nearest - 1); --v) {
            const int size = SizeOf(v);
            const float error = steps - static_cast<float>(v);
            const float own = error * error + lambda * static_cast<float>(size);
            for (int s = 0; s < keptCount; ++s) {
                const int j = kept[s];
                const int run = k - j - 1;
                const float bits = lengths.bits[((run & 15) << 4) | size] + zrlBits * static_cast<float>(run >> 4);
                const float cost = best[j] + (zeroCost[k - 1] - zeroCost[j]) + own + lambda * bits;
                if (cost < best[k]) {
                    best[k] = cost;
                    from[k] = j;
                    value[k] = static_cast<std::int16_t>(v);
                }
            }
        }
        const float base = best[k] - zeroCost[k];
        int still = 0;
        for (int s = 0; s < keptCount; ++s)
            if (best[kept[s]] - zeroCost[kept[s]] < base + spread)
                kept[still++] = kept[s];
        keptCount = still;
        kept[keptCount++] = k;
    }
    // The zeros after the last value kept cost one end-of-block code, unless it is the 63rd.
    int last = 0;
    float total = 3.4e38f;
    for (int s = 0; s < keptCount; ++s) {
        const int j = kept[s];
        const float cost = best[j] + (zeroCost[63] - zeroCost[j]) + (j < 63 ? lambda * lengths.bits[0x00] : 0.0f);
        if (cost < total) {
            total = cost;
            last = j;
        }
    }
    for (int k = 1; k < 64; ++k)
        out[kZigzagToNatural[k]] = 0;
    for (int k = last; k > 0; k = from[k]) {
        const int i = kZigzagToNatural[k];
        out[i] = static_cast<std::int16_t>(coefficients[i] < 0 ? -value[k] : value[k]);
    }
}

}  // namespace tramblix
