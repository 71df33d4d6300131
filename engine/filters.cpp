#include "engine/filters.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/cpus.h"

// The row loops are plain loops that GCC vectorises (this file is built with -O3). They are
// compiled for SSE2 (every x86-64), AVX2 and AVX-512, and the widest the CPU offers is chosen
// at start-up.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define TRAMBLIX_X86_DISPATCH 1
#else
#define TRAMBLIX_X86_DISPATCH 0
#endif

namespace tramblix {
namespace {

using u8 = std::uint8_t;
using Bytes = std::vector<u8>;

// ---------------------------------------------------------------------------------------------
// Row loops.

inline u8 AbsDiff(u8 a, u8 b)
{
    return a > b ? u8(a - b) : u8(b - a);
}
inline u8 Min(u8 a, u8 b)
{
    return a < b ? a : b;
}
inline u8 Max(u8 a, u8 b)
{
    return a > b ? a : b;
}
inline u8 Dec(u8 a)
{
    return u8(Max(a, 1) - 1);
}  // saturating
inline u8 Inc(u8 a)
{
    return u8(Min(a, 254) + 1);
}  // saturating

// A kernel whose every partial sum fits in 16 bits and whose divisor d >= 2 satisfies
// floor(|sum| / d) == (|sum| * magic) >> 16 over the whole sum range.
struct Kernel16 {
    std::int16_t weight[9];
    std::uint16_t magic;
    std::int16_t offset;
};

// The same in 32 bits: floor(|sum| / d) == (|sum| * magic) >> shift over the whole sum range.
struct Kernel32 {
    std::int32_t weight[9];
    std::uint32_t magic;
    int shift;
    std::int32_t offset;
};

struct RowLoops {
    void (*edgeLift)(u8*, const u8*, const u8*, const u8*, std::ptrdiff_t, std::ptrdiff_t, u8);
    void (*kernel16)(u8*, const u8*, const u8*, const u8*, std::ptrdiff_t, std::ptrdiff_t, const Kernel16&);
    void (*cross16)(u8*, const u8*, const u8*, const u8*, std::ptrdiff_t, std::ptrdiff_t, const Kernel16&);
    void (*kernel32)(u8*, const u8*, const u8*, const u8*, std::ptrdiff_t, std::ptrdiff_t, const Kernel32&);
    void (*raise1)(u8*, const u8*, const u8*, std::ptrdiff_t);
    void (*lower1)(u8*, const u8*, const u8*, std::ptrdiff_t);
    void (*raise2)(u8*, const u8*, const u8*, const u8*, std::ptrdiff_t);
    void (*lower2)(u8*, const u8*, const u8*, const u8*, std::ptrdiff_t);
};

namespace baseline {
#include "engine/filters_rows.inc"
}  // namespace baseline

#if TRAMBLIX_X86_DISPATCH
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#include "engine/filters_rows.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")
namespace avx512 {
#include "engine/filters_rows.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif

bool IsaSupported(FilterIsa isa)
{
#if TRAMBLIX_X86_DISPATCH
    __builtin_cpu_init();
    switch (isa) {
    case FilterIsa::Baseline: return true;
    case FilterIsa::Avx2: return __builtin_cpu_supports("avx2");
    case FilterIsa::Avx512: return __builtin_cpu_supports("x86-64-v4");
    }
    return false;
#else
    return isa == FilterIsa::Baseline;
#endif
}

const RowLoops& LoopsFor([[maybe_unused]] FilterIsa isa)
{
#if TRAMBLIX_X86_DISPATCH
    switch (isa) {
    case FilterIsa::Baseline: return baseline::kRowLoops;
    case FilterIsa::Avx2: return avx2::kRowLoops;
    case FilterIsa::Avx512: return avx512::kRowLoops;
    }
#endif
    return baseline::kRowLoops;
}

FilterIsa BestIsa()
{
    for (FilterIsa isa : {FilterIsa::Avx512, FilterIsa::Avx2}) {
        if (IsaSupported(isa)) {
            return isa;
        }
    }
    return FilterIsa::Baseline;
}

std::atomic<FilterIsa> g_isa{BestIsa()};

const RowLoops& Loops()
{
    return LoopsFor(g_isa.load(std::memory_order_relaxed));
}

// Any kernel at all: exact 64-bit sums and a real division.
void KernelRow64(u8* out, const u8* up, const u8* mid, const u8* down, std::ptrdiff_t c, std::ptrdiff_t len,
                 const KernelWeights& k)
{
    const u8* rows[3] = {up, mid, down};
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        std::int64_t sum = 0;
        for (int r = 0; r < 3; ++r) {
            sum += std::int64_t(k.weight[r * 3]) * rows[r][i - c] + std::int64_t(k.weight[r * 3 + 1]) * rows[r][i] +
                   std::int64_t(k.weight[r * 3 + 2]) * rows[r][i + c];
        }
        const std::int64_t value = sum / k.divisor + k.offset;
        out[i] = value < 0 ? u8(0) : value > 255 ? u8(255) : u8(value);
    }
}

// ---------------------------------------------------------------------------------------------
// Threads.

unsigned ResolveThreads(unsigned threads)
{
    if (threads == 0) {
        threads = UsableCpuCount();
    }
    return std::max(1u, threads);
}

// Runs work(0) .. work(bands - 1), band 0 on the calling thread. A thread that cannot be
// started leaves its band to the calling thread, so every band runs exactly once.
template <class Work>
void RunBands(int bands, const Work& work)
{
    std::vector<std::thread> workers;
    int inlineFrom = bands;
    try {
        workers.reserve(static_cast<std::size_t>(bands));
        for (int b = 1; b < bands; ++b) {
            workers.emplace_back([&work, b] { work(b); });
        }
    } catch (...) {
        inlineFrom = static_cast<int>(workers.size()) + 1;
    }
    work(0);
    for (int b = inlineFrom; b < bands; ++b) {
        work(b);
    }
    for (auto& worker : workers) {
        worker.join();
    }
}

int BandStart(int rows, int bands, int band)
{
    return static_cast<int>(static_cast<std::int64_t>(rows) * band / bands);
}

// ---------------------------------------------------------------------------------------------
// 3x3 passes that read the unfiltered image and write the filtered one. Instead of a full working
// copy, each band keeps the unfiltered versions of the row above and of the current row; rows on a
// band boundary that a neighbouring band overwrites are saved before the threads start.

template <class RowFn>
void Run3x3Pass(Image& image, unsigned threads, const RowFn& rowFn)
{
    const int height = image.height;
    const std::size_t rowBytes = image.rowBytes();
    const int innerRows = height - 2;
    const int bands = std::clamp(static_cast<int>(ResolveThreads(threads)), 1, std::max(1, innerRows / 16));

    std::vector<Bytes> above(static_cast<std::size_t>(bands));
    std::vector<Bytes> below(static_cast<std::size_t>(bands));
    std::vector<Bytes> scratch(static_cast<std::size_t>(bands));
    for (int b = 0; b < bands; ++b) {
        const int y0 = 1 + BandStart(innerRows, bands, b);
        const int y1 = 1 + BandStart(innerRows, bands, b + 1);
        if (b > 0) {
            above[b].assign(image.row(y0 - 1), image.row(y0 - 1) + rowBytes);
        }
        if (b + 1 < bands) {
            below[b].assign(image.row(y1), image.row(y1) + rowBytes);
        }
        scratch[b].resize(2 * rowBytes);
    }

    const std::ptrdiff_t c = image.channels;
    const std::ptrdiff_t len = static_cast<std::ptrdiff_t>(rowBytes) - 2 * c;
    RunBands(bands, [&](int b) {
        const int y0 = 1 + BandStart(innerRows, bands, b);
        const int y1 = 1 + BandStart(innerRows, bands, b + 1);
        u8* saved[2] = {scratch[b].data(), scratch[b].data() + rowBytes};
        const u8* up = b > 0 ? above[b].data() : image.row(y0 - 1);
        const u8* lastDown = b + 1 < bands ? below[b].data() : image.row(y1);
        for (int y = y0; y < y1; ++y) {
            u8* current = saved[y & 1];
            std::memcpy(current, image.row(y), rowBytes);
            const u8* down = y + 1 < y1 ? image.row(y + 1) : lastDown;
            rowFn(image.row(y) + c, up + c, current + c, down + c, c, len);
            up = current;
        }
    });
}

// Magic numbers for floor(x / d) == (x * magic) >> shift on 0 <= x <= maxX. With
// magic = ceil(2^shift / d) and e = magic * d - 2^shift (0 <= e < d), writing x = q d + r gives
// x * magic / 2^shift = q + (r + x e / 2^shift) / d, and r <= d - 1, so x e < 2^shift suffices.
bool FindMagic(std::uint64_t d, std::uint64_t maxX, int shift, std::uint64_t magicLimit, std::uint64_t& magic)
{
    const std::uint64_t power = std::uint64_t(1) << shift;  // shift <= 63
    const std::uint64_t m = power / d + (power % d != 0 ? 1 : 0);
    if (m >= magicLimit) {
        return false;
    }
    const std::uint64_t e = m * d - power;  // m * d < power + d: no overflow for d < 2^63
    if (e != 0 && maxX > (power - 1) / e) {
        return false;
    }
    magic = m;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Speckle smoothing.

// One pass of a speckle step on padded rows: pass 1 (`second` false) looks at the neighbour
// ahead, pass 2 at the neighbours behind and ahead. The neighbour ahead lies `dy` rows down and
// `shift` bytes right.
struct SpecklePass {
    int dy;
    std::ptrdiff_t shift;
    bool raise;
    bool second;
};

// prev, current and next point at the first sample of rows of the pass's input, each with a
// zero frame pixel on either side; out is where the first sample of the output row goes.
void RunSpecklePass(const RowLoops& loops, const SpecklePass& pass, u8* out, const u8* prev, const u8* current,
                    const u8* next, std::ptrdiff_t len)
{
    const u8* ahead = (pass.dy > 0 ? next : pass.dy < 0 ? prev : current) + pass.shift;
    const u8* behind = (pass.dy > 0 ? prev : pass.dy < 0 ? next : current) - pass.shift;
    if (!pass.second) {
        (pass.raise ? loops.raise1 : loops.lower1)(out, current, ahead, len);
    } else {
        (pass.raise ? loops.raise2 : loops.lower2)(out, current, behind, ahead, len);
    }
}

std::vector<SpecklePass> SpecklePasses(int directions, int channels)
{
    // Each direction D runs four steps: (D, raise), (-D, raise), (-D, lower), (D, lower).
    static constexpr struct {
        int sign;
        bool raise;
    } kSteps[4] = {{1, true}, {-1, true}, {-1, false}, {1, false}};
    std::vector<SpecklePass> passes;
    for (int i = 0; i < directions; ++i) {
        const SpeckleDirection d = SpeckleDirections[static_cast<std::size_t>(i)];
        for (const auto& step : kSteps) {
            const std::ptrdiff_t shift = std::ptrdiff_t(step.sign) * d.dx * channels;
            passes.push_back({step.sign * d.dy, shift, step.raise, false});
            passes.push_back({step.sign * d.dy, shift, step.raise, true});
        }
    }
    return passes;
}

// Runs all passes over image rows [y0, y1) in one sweep. Pass k computes row t - k at time t, so
// everything it reads (rows up to t - k + 1 of pass k - 1) was computed at time t or before.
// Even-numbered results live in ring 0, odd ones in ring 1, each of K + 2 padded rows: a row of
// pass k - 2 is overwritten by pass k only after pass k - 1 has read it for the last time, and
// K + 2 rows keep every other row of the same ring out of the way while it is live. The band
// also computes the rows around it that its own rows depend on; those rows of the unfiltered
// image come from `above` and `below`, since neighbouring bands may already have overwritten them.
struct SpeckleHalo {
    // Rows above and below a band that pass k (0: the unfiltered image) must still provide for
    // the band's final rows: pass k reads rows r + dy and, in a second pass, r - dy.
    std::vector<int> above, below;

    explicit SpeckleHalo(const std::vector<SpecklePass>& passes) : above(passes.size() + 1), below(passes.size() + 1)
    {
        for (std::size_t k = passes.size(); k > 0; --k) {
            const SpecklePass& pass = passes[k - 1];
            const int back = pass.second ? -pass.dy : 0;
            above[k - 1] = above[k] + std::max({0, -pass.dy, -back});
            below[k - 1] = below[k] + std::max({0, pass.dy, back});
        }
    }
};

struct SpeckleBandJob {
    const RowLoops* loops;
    Image* image;
    const std::vector<SpecklePass>* passes;
    const SpeckleHalo* halo;
    int y0, y1;
    const u8* above;    // unfiltered rows [max(0, y0 - halo.above[0]), y0)
    const u8* below;    // unfiltered rows [y1, min(height, y1 + halo.below[0]))
    u8* rings;          // 2 x (K + 2) rows of RingPitch bytes, zero-filled, 64-byte aligned
    const u8* zeroRow;  // first sample of a zero row with its frame
};

// Ring rows keep their first sample on a 64-byte boundary, so the passes store whole aligned
// vectors; the zero frame pixels sit just before and after the samples.
constexpr std::size_t kRingLead = 64;

std::size_t RingPitch(std::size_t rowBytes, int channels)
{
    return (kRingLead + rowBytes + static_cast<std::size_t>(channels) + 63) / 64 * 64;
}

void RunSpeckleBand(const SpeckleBandJob& job)
{
    Image& image = *job.image;
    const auto& passes = *job.passes;
    const int height = image.height;
    const int passCount = static_cast<int>(passes.size());
    const int ringRows = passCount + 2;
    const std::size_t rowBytes = image.rowBytes();
    const std::size_t pitch = RingPitch(rowBytes, image.channels);
    const auto len = static_cast<std::ptrdiff_t>(rowBytes);

    std::vector<int> lo(passes.size() + 1);
    std::vector<int> hi(lo.size());
    for (std::size_t k = 0; k < lo.size(); ++k) {
        lo[k] = std::max(0, job.y0 - job.halo->above[k]);
        hi[k] = std::min(height, job.y1 + job.halo->below[k]);
    }
    auto ringRow = [&](int parity, int r) {
        return job.rings + static_cast<std::size_t>(parity * ringRows + r % ringRows) * pitch + kRingLead;
    };
    auto inputRow = [&](int parity, int r) -> const u8* {
        return r < 0 || r >= height ? job.zeroRow : ringRow(parity, r);
    };

    for (int t = lo[0]; t < hi[0] + passCount; ++t) {
        if (t < hi[0]) {
            const u8* source = t < job.y0    ? job.above + static_cast<std::size_t>(t - lo[0]) * rowBytes
                               : t >= job.y1 ? job.below + static_cast<std::size_t>(t - job.y1) * rowBytes
                                             : image.row(t);
            std::memcpy(ringRow(0, t), source, rowBytes);
        }
        for (int k = 1; k <= passCount; ++k) {
            const int r = t - k;
            if (r < lo[static_cast<std::size_t>(k)]) {
                break;  // later passes are further behind and start no earlier
            }
            if (r >= hi[static_cast<std::size_t>(k)]) {
                continue;
            }
            const int parity = (k - 1) & 1;
            u8* out = k == passCount ? image.row(r) : ringRow(k & 1, r);
            RunSpecklePass(*job.loops, passes[static_cast<std::size_t>(k) - 1], out, inputRow(parity, r - 1),
                           inputRow(parity, r), inputRow(parity, r + 1), len);
        }
    }
}

}  // namespace

bool EdgeLiftPass(Image& image, std::uint8_t threshold, unsigned threads)
{
    if (image.width < 3 || image.height < 3) {
        return true;
    }
    try {
        const RowLoops& loops = Loops();
        Run3x3Pass(image, threads,
                   [&loops, threshold](u8* out, const u8* up, const u8* mid, const u8* down, std::ptrdiff_t c,
                                       std::ptrdiff_t len) { loops.edgeLift(out, up, mid, down, c, len, threshold); });
    } catch (const std::bad_alloc&) {
        // Without scratch rows the image stays as it was; the caller carries on.
    }
    return true;
}

int SharpenPass(Image& image, std::int32_t n, unsigned threads)
{
    KernelWeights kernel;
    kernel.weight = {0, -2, 0, -2, n, -2, 0, -2, 0};
    kernel.divisor = static_cast<std::int32_t>(static_cast<std::int64_t>(n) - 8);
    kernel.offset = 0;
    KernelPass(image, kernel, threads);
    return 1;
}

bool KernelPass(Image& image, const KernelWeights& kernel, unsigned threads)
{
    if (kernel.divisor == 0) {
        return false;
    }
    if (image.width < 3 || image.height < 3) {
        return true;
    }

    // trunc(x / d) == trunc(-x / -d): fold the divisor's sign into the weights.
    const bool negate = kernel.divisor < 0;
    std::int64_t weight[9];
    std::int64_t minSum = 0;
    std::int64_t maxSum = 0;
    for (int i = 0; i < 9; ++i) {
        weight[i] = negate ? -std::int64_t(kernel.weight[i]) : std::int64_t(kernel.weight[i]);
        (weight[i] < 0 ? minSum : maxSum) += weight[i] * 255;
    }
    const std::uint64_t d = negate ? std::uint64_t(-std::int64_t(kernel.divisor)) : std::uint64_t(kernel.divisor);
    const std::uint64_t maxMagnitude = std::uint64_t(std::max(-minSum, maxSum));
    const std::int64_t maxValue = std::int64_t(maxMagnitude / d) + std::abs(std::int64_t(kernel.offset));
    const RowLoops& loops = Loops();

    try {
        std::uint64_t magic = 0;
        if (minSum >= INT16_MIN && maxSum <= INT16_MAX && maxValue <= INT16_MAX && d >= 2 &&
            FindMagic(d, maxMagnitude, 16, 1u << 16, magic)) {
            Kernel16 k{};
            for (int i = 0; i < 9; ++i) {
                k.weight[i] = static_cast<std::int16_t>(weight[i]);
            }
            k.magic = static_cast<std::uint16_t>(magic);
            k.offset = static_cast<std::int16_t>(kernel.offset);
            const auto& w = k.weight;
            const bool cross =
                w[0] == 0 && w[2] == 0 && w[6] == 0 && w[8] == 0 && w[1] == w[3] && w[1] == w[5] && w[1] == w[7];
            Run3x3Pass(image, threads,
                       [&loops, &k, cross](u8* out, const u8* up, const u8* mid, const u8* down, std::ptrdiff_t c,
                                           std::ptrdiff_t len) {
                           (cross ? loops.cross16 : loops.kernel16)(out, up, mid, down, c, len, k);
                       });
            return true;
        }
        if (minSum >= INT32_MIN && maxSum <= INT32_MAX && maxValue <= INT32_MAX) {
            for (int shift = 0; shift < 64; ++shift) {
                if (FindMagic(d, maxMagnitude, shift, std::uint64_t(1) << 32, magic)) {
                    Kernel32 k{};
                    for (int i = 0; i < 9; ++i) {
                        k.weight[i] = static_cast<std::int32_t>(weight[i]);
                    }
                    k.magic = static_cast<std::uint32_t>(magic);
                    k.shift = shift;
                    k.offset = kernel.offset;
                    Run3x3Pass(image, threads,
                               [&loops, &k](u8* out, const u8* up, const u8* mid, const u8* down, std::ptrdiff_t c,
                                            std::ptrdiff_t len) { loops.kernel32(out, up, mid, down, c, len, k); });
                    return true;
                }
            }
        }
        Run3x3Pass(image, threads,
                   [&kernel](u8* out, const u8* up, const u8* mid, const u8* down, std::ptrdiff_t c,
                             std::ptrdiff_t len) { KernelRow64(out, up, mid, down, c, len, kernel); });
    } catch (const std::bad_alloc&) {
        // Without scratch rows the image stays as it was.
    }
    return true;
}

bool SpeckleSmoothing(Image& image, std::int32_t strength, unsigned threads)
{
    const int directions = std::min<std::int32_t>(4, strength < 1 ? 0 : strength - 1);
    if (directions <= 0 || image.empty()) {
        return true;
    }
    try {
        const std::vector<SpecklePass> passes = SpecklePasses(directions, image.channels);
        const SpeckleHalo halo(passes);

        const int height = image.height;
        const std::size_t rowBytes = image.rowBytes();
        const std::size_t pitch = RingPitch(rowBytes, image.channels);
        const std::size_t ringBytes = 2 * (passes.size() + 2) * pitch;
        // Bands much taller than their halo keep the work done twice small.
        const int minBandRows = std::max(16, 2 * (halo.above[0] + halo.below[0]));
        const int bands = std::clamp(static_cast<int>(ResolveThreads(threads)), 1, std::max(1, height / minBandRows));

        const Bytes zeroRow(pitch, 0);
        std::vector<Bytes> above(static_cast<std::size_t>(bands));
        std::vector<Bytes> below(static_cast<std::size_t>(bands));
        std::vector<Bytes> rings(static_cast<std::size_t>(bands));
        std::vector<SpeckleBandJob> jobs(static_cast<std::size_t>(bands));
        for (int b = 0; b < bands; ++b) {
            SpeckleBandJob& job = jobs[static_cast<std::size_t>(b)];
            job = {&Loops(),
                   &image,
                   &passes,
                   &halo,
                   BandStart(height, bands, b),
                   BandStart(height, bands, b + 1),
                   nullptr,
                   nullptr,
                   nullptr,
                   zeroRow.data() + kRingLead};
            const int top = std::max(0, job.y0 - halo.above[0]);
            const int bottom = std::min(height, job.y1 + halo.below[0]);
            for (int y = top; y < job.y0; ++y) {
                above[b].insert(above[b].end(), image.row(y), image.row(y) + rowBytes);
            }
            for (int y = job.y1; y < bottom; ++y) {
                below[b].insert(below[b].end(), image.row(y), image.row(y) + rowBytes);
            }
            rings[b].assign(ringBytes + 63, 0);
            job.above = above[b].data();
            job.below = below[b].data();
            const auto misalignment = reinterpret_cast<std::uintptr_t>(rings[b].data()) % 64;
            job.rings = rings[b].data() + (misalignment == 0 ? 0 : 64 - misalignment);
        }
        RunBands(bands, [&jobs](int b) { RunSpeckleBand(jobs[static_cast<std::size_t>(b)]); });
    } catch (const std::bad_alloc&) {
        // Without scratch memory the image stays as it was.
    }
    return true;
}

void SpeckleStep(SpeckleDirection vector, int width, int height, int channels, std::uint8_t* bufferA,
                 std::uint8_t* bufferB, int sign)
{
    if (width <= 0 || height <= 0 || std::abs(vector.dx) > 1 || std::abs(vector.dy) > 1) {
        return;
    }
    const std::ptrdiff_t c = channels;
    const std::ptrdiff_t padded = (std::ptrdiff_t(width) + 2) * c;
    const std::ptrdiff_t len = std::ptrdiff_t(width) * c;
    const RowLoops& loops = Loops();
    const SpecklePass first{vector.dy, vector.dx * c, sign > 0, false};
    SpecklePass second = first;
    second.second = true;
    for (const auto& [pass, from, to] : {std::tuple{first, bufferA, bufferB}, std::tuple{second, bufferB, bufferA}}) {
        for (int y = 1; y <= height; ++y) {
            const u8* row = from + y * padded + c;
            RunSpecklePass(loops, pass, to + y * padded + c, row - padded, row, row + padded, len);
        }
    }
}

std::vector<FilterIsa> SupportedFilterIsas()
{
    std::vector<FilterIsa> isas;
    for (FilterIsa isa : {FilterIsa::Baseline, FilterIsa::Avx2, FilterIsa::Avx512}) {
        if (IsaSupported(isa)) {
            isas.push_back(isa);
        }
    }
    return isas;
}

FilterIsa ActiveFilterIsa()
{
    return g_isa.load();
}

bool UseFilterIsa(FilterIsa isa)
{
    if (!IsaSupported(isa)) {
        return false;
    }
    g_isa.store(isa);
    return true;
}

}  // namespace tramblix
