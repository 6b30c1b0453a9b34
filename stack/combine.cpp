#include "combine.h"

#include "intake/error.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <vector>

namespace tamrix::stack {
namespace {

using intake::Error;
using intake::Fault;

// The median of sorted[0 .. n), n > 0: the mean of the two middle values
// for an even count.
double SortedMedian(const double* sorted, int n)
{
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

// The median of |sorted[i] - centre|: the deviations come in increasing
// order walking outwards from the centre, so no second sort is needed.
double MedianDeviation(const double* sorted, int n, double centre)
{
    int right = static_cast<int>(std::lower_bound(sorted, sorted + n, centre) - sorted);
    int left = right - 1;
    double previous = 0, d = 0;
    for (int taken = 0; taken <= n / 2; ++taken) {
        previous = d;
        if (right >= n || (left >= 0 && centre - sorted[left] <= sorted[right] - centre))
            d = centre - sorted[left--]; // equals std::abs(sorted[left] - centre): rounding is symmetric
        else
            d = sorted[right++] - centre;
    }
    return n % 2 ? d : (previous + d) / 2;
}

// The compare-exchanges of Batcher's odd-even merge network for 2^level
// values, in order.
std::vector<std::pair<uint8_t, uint8_t>> Network(int level)
{
    const int size = 1 << level;
    std::vector<std::pair<uint8_t, uint8_t>> pairs;
    for (int p = 1; p < size; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < size; j += 2 * k)
                for (int i = 0; i < std::min(k, size - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        pairs.emplace_back(i + j, i + j + k);
    return pairs;
}

// Sorts v[0 .. n), finite values. Up to 32 of them (a pixel's stack, most
// often) go through a sorting network, padded with +inf to a power of two
// (v has room for it, at most 2n): its compare-exchanges are branch-free
// min/max, where a sort's comparisons of noise mispredict half the time.
void SortValues(double* v, int n)
{
    static const std::vector<std::pair<uint8_t, uint8_t>> networks[]
        = { Network(0), Network(1), Network(2), Network(3), Network(4), Network(5) };
    if (n > 32) {
        std::sort(v, v + n);
        return;
    }
    int level = 0;
    while ((1 << level) < n)
        ++level;
    std::fill(v + n, v + (1 << level), std::numeric_limits<double>::infinity());
    for (const auto& [i, j] : networks[level]) {
        const double a = v[i], b = v[j];
        v[i] = std::min(a, b);
        v[j] = std::max(a, b);
    }
}

// The mean of the defined values, each first clamped to [lo, hi] or, when
// `clamp` is false, left out beyond it; weighted by `weights` (null: equal).
// In frame order, so that the result does not depend on how they were sorted.
double MeanWithin(const double* values, int count, double lo, double hi, const double* weights, bool clamp = false)
{
    double sum = 0, total = 0;
    for (int i = 0; i < count; ++i) {
        const double v = values[i];
        if (std::isfinite(v) && (clamp || (v >= lo && v <= hi))) {
            const double w = weights ? weights[i] : 1.0;
            sum += w * std::clamp(v, lo, hi);
            total += w;
        }
    }
    return sum / total;
}

} // namespace

double MadToSigma(int n)
{
    static constexpr double kSmall[] = { 1.196, 1.495, 1.363, 1.206, 1.200, 1.140, 1.129, 1.107 }; // n = 2 .. 9
    return 1.4826 * (n < 2 ? 1.0 : n <= 9 ? kSmall[n - 2] : n / (n - 0.8));
}

std::string MethodName(Method method)
{
    switch (method) {
    case Method::Median:
        return "median";
    case Method::Mean:
        return "mean";
    case Method::SigmaClip:
        return "sigma-clip";
    default:
        return "winsorized";
    }
}

Method ParseMethod(const std::string& text, const std::string& option)
{
    for (Method m : { Method::Median, Method::Mean, Method::SigmaClip, Method::Winsorized })
        if (text == MethodName(m))
            return m;
    throw Error(
        Fault::Usage, option + ": '" + text + "' is not a method; choose median, mean, sigma-clip or winsorized");
}

void CheckSigma(double low, double high, const std::string& option)
{
    if (!(std::isfinite(low) && std::isfinite(high) && low > 0 && high > 0))
        throw Error(Fault::Usage, option + ": both bounds must be positive numbers of standard deviations, e.g. 3,3");
}

double CombinePixel(const double* values, int count, const Settings& settings, double* scratch, int& rejected)
{
    constexpr double kInf = std::numeric_limits<double>::infinity();
    rejected = 0;
    double* sorted = scratch;
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (std::isfinite(values[i]))
            sorted[n++] = values[i];
    if (n == 0)
        return std::numeric_limits<double>::quiet_NaN();
    if (settings.method == Method::Mean || (settings.method != Method::Median && n < kLeastToClip))
        return MeanWithin(values, count, -kInf, kInf, settings.weights);
    if (settings.method == Method::Median) {
        // Selection, not a sort: the median alone is wanted.
        const int mid = n / 2;
        std::nth_element(sorted, sorted + mid, sorted + n);
        return n % 2 ? sorted[mid] : (*std::max_element(sorted, sorted + mid) + sorted[mid]) / 2;
    }
    SortValues(sorted, n);

    // The values kept are always a run sorted[first .. last) of the sorted ones.
    int first = 0, last = n;
    double lo = 0, hi = 0;
    for (int round = 0; round < kClipRounds && last - first >= kLeastToClip; ++round) {
        const double* run = sorted + first;
        const int m = last - first;
        const double centre = SortedMedian(run, m);
        const double spread = std::max(MadToSigma(m) * MedianDeviation(run, m, centre), settings.floor);
        lo = centre - settings.low * spread;
        hi = centre + settings.high * spread;
        const int from = static_cast<int>(std::lower_bound(run, run + m, lo) - sorted);
        const int to = static_cast<int>(std::upper_bound(run, run + m, hi) - sorted);
        if (from == first && to == last)
            break;
        first = from;
        last = to;
    }
    if (settings.method == Method::SigmaClip) {
        rejected = n - (last - first);
        // Equal values are kept or rejected together, so these bounds select the run.
        return MeanWithin(values, count, sorted[first], sorted[last - 1], settings.weights);
    }
    // Winsorized: every defined value, the outer ones moved to the last bounds.
    for (int i = 0; i < count; ++i)
        rejected += std::isfinite(values[i]) && (values[i] < lo || values[i] > hi);
    return MeanWithin(values, count, lo, hi, settings.weights, true);
}

int BandRows(int64_t bytes, int count, int width, int height)
{
    // The frames' values, and the band's float results and counts.
    const int64_t perRow = int64_t { width } * (int64_t { count } * 8 + 6);
    return static_cast<int>(std::clamp<int64_t>(bytes / perRow, 1, height));
}

void Combine(Frames& frames, const Settings& settings, const Budget& budget, const BandSink& sink,
    const Progress& progress, const unsigned char* cancel)
{
    const int count = frames.Count(), width = frames.Width(), height = frames.Height();
    const int band = BandRows(budget.bytes, count, width, height);
    const int bands = (height + band - 1) / band;
    const int group = std::max(1, budget.files);
    const bool grouped = count > group;
    const size_t plane = static_cast<size_t>(band) * static_cast<size_t>(width);
    std::vector<double> slab(plane * static_cast<size_t>(count));
    std::vector<float> values(plane);
    std::vector<uint16_t> rejected(plane);
    auto check = [cancel] {
        if (cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED))
            throw Error(Fault::Failure, "interrupted");
    };

    for (int b = 0; b < bands; ++b) {
        const int y = b * band, rows = std::min(band, height - y);
        const size_t pixels = static_cast<size_t>(rows) * static_cast<size_t>(width);
        for (int first = 0; first < count; first += group) {
            const int last = std::min(count, first + group);
            std::exception_ptr failed;
#pragma omp parallel for schedule(dynamic) if (frames.Concurrent())
            for (int i = first; i < last; ++i)
                try {
                    check();
                    frames.Read(i, y, rows, slab.data() + static_cast<size_t>(i) * pixels);
                } catch (...) {
#pragma omp critical(tamrix_stack_read)
                    if (!failed)
                        failed = std::current_exception();
                }
            if (failed)
                std::rethrow_exception(failed);
            if (grouped)
                for (int i = first; i < last; ++i)
                    frames.Release(i);
        }
#pragma omp parallel
        {
            std::vector<double> stackOf(static_cast<size_t>(count)), scratch(2 * static_cast<size_t>(count));
#pragma omp for schedule(static)
            for (int64_t p = 0; p < static_cast<int64_t>(pixels); ++p) {
                for (int i = 0; i < count; ++i)
                    stackOf[i] = slab[static_cast<size_t>(i) * pixels + static_cast<size_t>(p)];
                int r = 0;
                values[p] = static_cast<float>(CombinePixel(stackOf.data(), count, settings, scratch.data(), r));
                rejected[p] = static_cast<uint16_t>(std::min(r, 65535));
            }
        }
        sink(y, rows, values.data(), rejected.data());
        if (progress)
            progress(b + 1, bands);
    }
    for (int i = 0; i < count; ++i)
        frames.Release(i);
}

} // namespace tamrix::stack
