// Area statistics: minimum, maximum, mean and standard deviation of a
// rectangle, in two parallel passes over its rows.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/isa.h"
#include "hcpp/tamrix/statistics_kernels.h"

#include <algorithm>
#include <cmath>

namespace tamrix {

// The baseline leaves the extremes to the per-pixel loop and sums the lanes
// as written.
namespace opt_baseline {
namespace {

template <class Pixel>
int BlockDeviations(const Pixel* p, int n, double mean, double* lane)
{
    using stats::kLanes;
    for (int k = 0; k < kLanes; ++k)
        lane[k] = 0.0;
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k) {
            const double d = static_cast<double>(p[i + k]) - mean;
            lane[k] += d * d;
        }
    return i;
}

} // namespace

int Extremes(const uint16_t*, int, stats::Extremes*) { return 0; }
int Extremes(const uint32_t*, int, stats::Extremes*) { return 0; }
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes) { return BlockDeviations(p, n, mean, lanes); }
int DeviationLanes(const uint32_t* p, int n, double mean, double* lanes) { return BlockDeviations(p, n, mean, lanes); }

} // namespace opt_baseline

namespace stats {
namespace {

// The kernels of each level for one pixel type.
template <class Pixel>
struct RowKernels {
    int (*extremes)(const Pixel* p, int n, Extremes* e);
    int (*deviations)(const Pixel* p, int n, double mean, double* lanes);
};

template <class Pixel>
constexpr RowKernels<Pixel> kBaseline{&opt_baseline::Extremes, &opt_baseline::DeviationLanes};
template <class Pixel>
constexpr RowKernels<Pixel> kAvx2{&opt_avx2::Extremes, &opt_avx2::DeviationLanes};
template <class Pixel>
constexpr RowKernels<Pixel> kAvx512{&opt_avx2::Extremes, &opt_avx512::DeviationLanes};

template <class Pixel>
constexpr RowKernels<Pixel> kVariants[isa::kLevelCount] = {
    kBaseline<Pixel>, kBaseline<Pixel>, kBaseline<Pixel>, kAvx2<Pixel>, kAvx512<Pixel>, kAvx512<Pixel>};

// Row minimum, maximum and sum. The sum is taken as an exact integer: while a
// running double sum stays below 2^53 every partial sum is an exact integer,
// so the integer total converted once is the double sum added pixel by pixel.
// A 32-bit row of more than 2^21 pixels could pass 2^53 and is added pixel by
// pixel in double instead.
template <class Pixel>
void RowExtremes(const RowKernels<Pixel>& k, const Pixel* p, int n, uint32_t& min, uint32_t& max, double& sum)
{
    Extremes e{0xFFFFFFFFu, 0, 0};
    for (int i = k.extremes(p, n, &e); i < n; ++i) {
        const uint32_t v = p[i];
        e.min = std::min(e.min, v);
        e.max = std::max(e.max, v);
        e.sum += v;
    }
    min = e.min;
    max = e.max;
    if (sizeof(Pixel) == 4 && n > (1 << 21)) {
        sum = 0.0;
        for (int j = 0; j < n; ++j)
            sum += static_cast<double>(p[j]);
    } else {
        sum = static_cast<double>(e.sum);
    }
}

// Sum of (p - mean)^2 over a row, in the lane order that statistics_kernels.h
// fixes: pixel i into lane i % kLanes, then the lanes added pairwise. The
// deviation and its square are rounded to double each, as written.
template <class Pixel>
double RowSquaredDeviations(const RowKernels<Pixel>& kernels, const Pixel* p, int n, double mean)
{
    double lane[kLanes];
    int i = kernels.deviations(p, n, mean, lane);
    for (int k = 0; i < n; ++i, ++k) {
        const double d = static_cast<double>(p[i]) - mean;
        lane[k] += d * d;
    }
    // 32 -> 8 as four vectors of eight lanes (v0 + v1) + (v2 + v3), then
    // 8 -> 4 -> 2 -> 1 by halves.
    double s[8];
    for (int k = 0; k < 8; ++k)
        s[k] = (lane[k] + lane[8 + k]) + (lane[16 + k] + lane[24 + k]);
    for (int k = 0; k < 4; ++k)
        s[k] += s[k + 4];
    s[0] += s[2];
    s[1] += s[3];
    return s[0] + s[1];
}

template <class Pixel>
void Measure(const Pixel* frame, int width, int x, int y, int w, int h, unsigned* minimum,
             unsigned* maximum, double* mean, double* stdDev)
{
    const Pixel* first = frame + static_cast<std::ptrdiff_t>(y) * width + x;
    const double count = static_cast<double>(static_cast<uint32_t>(w) * static_cast<uint32_t>(h));
    const RowKernels<Pixel>& k = isa::Pick(kVariants<Pixel>);

    // Pass 1: per row minimum, maximum and sum; the extremes are shared and
    // updated under the library's lock once per row, the sums are a
    // reduction of per-thread partial sums.
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    double sum = 0.0;
#pragma omp parallel for schedule(static) reduction(+ : sum)
    for (int r = 0; r < h; ++r) {
        uint32_t rowMin, rowMax;
        double rowSum;
        RowExtremes(k, first + static_cast<std::ptrdiff_t>(r) * width, w, rowMin, rowMax, rowSum);
        sum += rowSum;
        detail::UnderLock([&] {
            if (rowMax > hi)
                hi = rowMax;
            if (rowMin < lo)
                lo = rowMin;
        });
    }
    *minimum = lo;
    *maximum = hi;
    const double m = sum / count;
    *mean = m;

    // Pass 2: squared deviations from the mean.
    double squares = 0.0;
#pragma omp parallel for schedule(static) reduction(+ : squares)
    for (int r = 0; r < h; ++r)
        squares += RowSquaredDeviations(k, first + static_cast<std::ptrdiff_t>(r) * width, w, m);
    *stdDev = std::sqrt(squares / count); // population deviation: divided by N
}

} // namespace
} // namespace stats

void CalculateAreaStatistics(void* frame, int width, int height, int depth, int x, int y, int w, int h,
                             unsigned* minimum, unsigned* maximum, double* mean, double* stdDev)
{
    if (frame == nullptr || width < 1 || height < 1)
        return;
    // Fitting in 64 bits, so that x + w cannot overflow. A part of the
    // rectangle left of or above the frame is cut off first; then, as the
    // rectangle has always been fitted, a start right of or below the frame
    // moves onto the last column or row, and the far edges are cut.
    int64_t x0 = x, y0 = y, cw = w, ch = h;
    if (x0 < 0) {
        cw += x0;
        x0 = 0;
    }
    if (y0 < 0) {
        ch += y0;
        y0 = 0;
    }
    if (x0 >= width)
        x0 = width - 1;
    if (y0 >= height)
        y0 = height - 1;
    if (x0 + cw > width)
        cw = width - x0;
    if (y0 + ch > height)
        ch = height - y0;
    if (cw < 1 || ch < 1)
        return;
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        stats::Measure(detail::Pixels<Pixel>(frame), width, static_cast<int>(x0), static_cast<int>(y0),
                static_cast<int>(cw), static_cast<int>(ch), minimum, maximum, mean, stdDev);
    });
}

} // namespace tamrix
