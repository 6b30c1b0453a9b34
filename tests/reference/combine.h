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

inline double MeanOf(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return sum / static_cast<double>(v.size());
}

// NaN and infinite values left out; clipping around the median by the
// unbiased MAD spread (at least the floor), round after round (at most 5)
// while 3 or more values are left.
inline Combined Combine(const std::vector<double>& values, const stack::Settings& s)
{
    std::vector<double> v;
    for (double x : values)
        if (std::isfinite(x))
            v.push_back(x);
    if (v.empty())
        return { std::numeric_limits<double>::quiet_NaN(), 0 };
    if (s.method == stack::Method::Median)
        return { SortedMedian(v), 0 };
    if (s.method == stack::Method::Mean || v.size() < 3)
        return { MeanOf(v), 0 };
    std::vector<double> kept = v;
    double lo = 0, hi = 0;
    for (int round = 0; round < 5 && kept.size() >= 3; ++round) {
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
    if (s.method == stack::Method::SigmaClip)
        return { MeanOf(kept), static_cast<int>(v.size() - kept.size()) };
    int replaced = 0;
    std::vector<double> moved;
    for (double x : v) {
        replaced += x < lo || x > hi;
        moved.push_back(std::min(std::max(x, lo), hi));
    }
    return { MeanOf(moved), replaced };
}

} // namespace tamrix::reference
