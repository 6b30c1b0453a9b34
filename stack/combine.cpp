#include "combine.h"

#include "intake/error.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tamrix::stack {
namespace {

using intake::Error;
using intake::Fault;

// The median of work[0 .. n), n > 0, which it reorders: the mean of the two
// middle values for an even count.
double Median(double* work, int n)
{
    const int mid = n / 2;
    std::nth_element(work, work + mid, work + n);
    const double upper = work[mid];
    if (n % 2)
        return upper;
    return (*std::max_element(work, work + mid) + upper) / 2;
}

double Mean(const double* v, int n)
{
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += v[i];
    return sum / n;
}

// 1.4826 * MAD estimates the standard deviation of normal data.
constexpr double kMadToSigma = 1.4826;

} // namespace

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
    throw Error(Fault::Usage, option + ": '" + text + "' is not a method; choose median, mean, sigma-clip or winsorized");
}

void CheckSigma(double low, double high, const std::string& option)
{
    if (!(std::isfinite(low) && std::isfinite(high) && low > 0 && high > 0))
        throw Error(Fault::Usage, option + ": both bounds must be positive numbers of standard deviations, e.g. 3,3");
}

double CombinePixel(const double* values, int count, const Settings& settings, double* scratch, int& rejected)
{
    rejected = 0;
    double* keep = scratch; // the values still in, in frame order
    double* work = scratch + count;
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (!std::isnan(values[i]))
            keep[n++] = values[i];
    if (n == 0)
        return std::numeric_limits<double>::quiet_NaN();
    const int valid = n;
    switch (settings.method) {
    case Method::Median:
        std::copy(keep, keep + n, work);
        return Median(work, n);
    case Method::Mean:
        return Mean(keep, n);
    default:
        break;
    }
    if (n < kLeastToClip)
        return Mean(keep, n);

    double lo = 0, hi = 0;
    for (int round = 0; round < kClipRounds && n >= kLeastToClip; ++round) {
        std::copy(keep, keep + n, work);
        const double centre = Median(work, n);
        for (int i = 0; i < n; ++i)
            work[i] = std::abs(keep[i] - centre);
        const double spread = kMadToSigma * Median(work, n);
        lo = centre - settings.low * spread;
        hi = centre + settings.high * spread;
        int kept = 0;
        for (int i = 0; i < n; ++i)
            if (keep[i] >= lo && keep[i] <= hi)
                keep[kept++] = keep[i];
        if (kept == n)
            break;
        n = kept;
    }
    if (settings.method == Method::SigmaClip) {
        rejected = valid - n;
        return Mean(keep, n);
    }
    // Winsorized: every defined value again, the outer ones moved to the bounds.
    double sum = 0;
    for (int i = 0; i < count; ++i) {
        const double v = values[i];
        if (std::isnan(v))
            continue;
        rejected += v < lo || v > hi;
        sum += std::clamp(v, lo, hi);
    }
    return sum / valid;
}

void ArrayFrames::Read(int index, int y, int rows, double* out)
{
    const size_t w = static_cast<size_t>(width_);
    const double* from = frames_[static_cast<size_t>(index)] + static_cast<size_t>(y) * w;
    std::copy(from, from + static_cast<size_t>(rows) * w, out);
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
            for (int i = first; i < last; ++i) {
                check();
                frames.Read(i, y, rows, slab.data() + static_cast<size_t>(i) * pixels);
            }
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
