// Combining a stack of values per pixel, written out plainly: sorted
// medians, sums in frame order.
#pragma once

#include "stack/combine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tamrix::reference {

struct Combined {
    double value;
    int rejected;
};

inline double SortedMedian(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// NaN and infinite values left out; clipping around the median by the
// unbiased MAD spread (at least the floor), round after round (at most 5)
// while 3 or more values are left; averages weighted by the settings'.
inline Combined Combine(const std::vector<double>& values, const stack::Settings& s)
{
    std::vector<double> v;
    std::vector<size_t> frames;
    for (size_t i = 0; i < values.size(); ++i)
        if (std::isfinite(values[i])) {
            v.push_back(values[i]);
            frames.push_back(i);
        }
    if (v.empty())
        return { std::numeric_limits<double>::quiet_NaN(), 0 };
    if (s.method == stack::Method::Median)
        return { SortedMedian(v), 0 };
    std::vector<double> kept = v;
    double lo = -HUGE_VAL, hi = HUGE_VAL;
    for (int round = 0; round < 5 && kept.size() >= 3 && s.method != stack::Method::Mean; ++round) {
        const double centre = SortedMedian(kept);
        std::vector<double> deviation;
        for (double x : kept)
            deviation.push_back(std::abs(x - centre));
        const double sigma = std::max(stack::MadToSigma(int(kept.size())) * SortedMedian(deviation), s.floor);
        lo = centre - s.low * sigma;
        hi = centre + s.high * sigma;
        std::vector<double> next;
        for (double x : kept)
            if (x >= lo && x <= hi)
                next.push_back(x);
        if (next.size() == kept.size())
            break;
        kept = next;
    }
    // Values outside: left out of a sigma-clipped mean, moved to the bound
    // of a winsorized one.
    double sum = 0, total = 0;
    int out = 0;
    for (size_t k = 0; k < v.size(); ++k) {
        const bool inside = v[k] >= lo && v[k] <= hi;
        out += !inside;
        if (inside || s.method == stack::Method::Winsorized) {
            const double w = s.weights ? s.weights[frames[k]] : 1.0;
            sum += w * std::min(std::max(v[k], lo), hi);
            total += w;
        }
    }
    return { sum / total, out };
}

} // namespace tamrix::reference
