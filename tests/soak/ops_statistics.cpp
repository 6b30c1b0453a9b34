// Area statistics and sub-frame vectors against literal references.
#include "soak.h"

#include "tamrix.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

namespace soak {
namespace {

template <class Pixel>
void StatisticsCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 200), h = Size(rng, 200);
    // Rectangles inside, reaching past the edges, starting beyond them, now
    // and then empty or starting left of or above the frame.
    int x = Chance(rng, 0.1) ? Uniform(rng, w, 2 * w + 2) : Uniform(rng, 0, w - 1);
    int y = Chance(rng, 0.1) ? Uniform(rng, h, 2 * h + 2) : Uniform(rng, 0, h - 1);
    int rw = Chance(rng, 0.05) ? Uniform(rng, -2, 0) : Size(rng, w + 5);
    int rh = Chance(rng, 0.05) ? Uniform(rng, -2, 0) : Size(rng, h + 5);
    const bool negative = Chance(rng, 0.05);
    if (negative)
        x = -Uniform(rng, 1, w + 2), y = Chance(rng, 0.5) ? y : -Uniform(rng, 1, h + 2);
    std::string shape;
    const auto frame = Frame<Pixel>(rng, static_cast<size_t>(w) * h, shape);
    const int threads = ThreadsFor(rng);
    unsigned lib[2] = {0xDEADBEEF, 0xDEADBEEF}, ref[2] = {0xDEADBEEF, 0xDEADBEEF};
    double libMean = -7.0, libStd = -7.0, refMean = -7.0, refStd = -7.0;
    omp_set_num_threads(threads);
    tamrix::CalculateAreaStatistics(const_cast<Pixel*>(frame.data()), w, h, depth, x, y, rw, rh, &lib[0], &lib[1],
                                    &libMean, &libStd);

    // A part left of or above the frame is cut off (the library's reading of
    // negative corners), then the rectangle is fitted in the given order.
    int fx = x, fy = y, fw = rw, fh = rh;
    if (fx < 0)
        fw += fx, fx = 0;
    if (fy < 0)
        fh += fy, fy = 0;
    if (fx >= w)
        fx = w - 1;
    if (fy >= h)
        fy = h - 1;
    if (fx + fw > w)
        fw = w - fx;
    if (fy + fh > h)
        fh = h - fy;
    if (fw >= 1 && fh >= 1) {
        const double n = static_cast<double>(static_cast<uint32_t>(fw) * static_cast<uint32_t>(fh));
        ref[0] = 0xFFFFFFFFu, ref[1] = 0;
        double sum = 0.0;
        for (int j = fy; j < fy + fh; ++j) {
            double row = 0.0;
            for (int i = fx; i < fx + fw; ++i) {
                const Pixel v = frame[static_cast<size_t>(j) * w + i];
                ref[0] = std::min<unsigned>(ref[0], v), ref[1] = std::max<unsigned>(ref[1], v);
                row += static_cast<double>(v);
            }
            sum += row;
        }
        refMean = sum / n;
        double squares = 0.0;
        for (int j = fy; j < fy + fh; ++j) {
            double row = 0.0;
            for (int i = fx; i < fx + fw; ++i) {
                const double d = static_cast<double>(frame[static_cast<size_t>(j) * w + i]) - refMean;
                row += d * d;
            }
            squares += row;
        }
        refStd = std::sqrt(squares / n);
    }
    std::ostringstream p;
    p.precision(17);
    p << "depth " << depth << ", " << w << " x " << h << ", rectangle (" << x << ", " << y << ") " << rw << " x "
      << rh << ", " << threads << " threads, frame " << shape;
    // Minimum and maximum are exact, and so is the mean here: every partial
    // sum is an integer below 2^53 (fewer than 2^21 pixels), whatever the
    // division of the rows among threads. The squared deviations are not,
    // and may differ in their last bits.
    std::string note;
    if (refMean == -7.0 ? (libMean != -7.0 || libStd != -7.0)
                        : !(libMean == refMean && std::fabs(libStd - refStd) <= 1e-9 * std::max(refStd, 1.0))) {
        std::ostringstream s;
        s.precision(17);
        s << "mean " << libMean << " / " << refMean << ", deviation " << libStd << " / " << refStd
          << " (library / reference)";
        note = s.str();
    }
    out = {p.str(), Bytes(std::vector<unsigned>(lib, lib + 2)), Bytes(std::vector<unsigned>(ref, ref + 2)), 4, note};
}

uint32_t Canonical(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return std::isnan(f) ? 0x7FC00000u : bits; // every NaN alike
}

template <class Pixel>
void VectorCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int radius = Chance(rng, 0.03) ? -1 : Uniform(rng, 0, 12);
    const int side = 2 * std::max(radius, 0) + 1;
    const int w = side + Uniform(rng, 0, 40), h = side + Uniform(rng, 0, 40);
    const int x = std::max(radius, 0) + Uniform(rng, 0, w - side), y = std::max(radius, 0) + Uniform(rng, 0, h - side);
    std::string shape;
    auto frame = Frame<Pixel>(rng, static_cast<size_t>(w) * h, shape);
    const float sentinel = -12345.0f;
    std::vector<float> lib(static_cast<size_t>(side) * side + 1, sentinel), ref = lib;
    tamrix::SubFrameToVector(frame.data(), w, h, static_cast<unsigned>(depth), x, y, radius, lib.data());
    if (radius >= 0) {
        uint32_t lo = 0xFFFFFFFFu, hi = 0;
        for (int j = y - radius; j <= y + radius; ++j)
            for (int i = x - radius; i <= x + radius; ++i) {
                const uint32_t v = frame[static_cast<size_t>(j) * w + i];
                lo = std::min(lo, v), hi = std::max(hi, v);
            }
        const float scale = 2.0f / static_cast<float>(hi - lo);
        size_t k = 0;
        for (int j = y - radius; j <= y + radius; ++j)
            for (int i = x - radius; i <= x + radius; ++i) {
                const float scaled = static_cast<float>(frame[static_cast<size_t>(j) * w + i] - lo) * scale;
                ref[k++] = scaled - 1.0f;
            }
    }
    std::vector<uint32_t> a, b;
    for (float f : lib)
        a.push_back(Canonical(f));
    for (float f : ref)
        b.push_back(Canonical(f));
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << ", centre (" << x << ", " << y << "), radius " << radius
      << ", frame " << shape;
    out = {p.str(), Bytes(a), Bytes(b), 4, {}};
}

void Statistics(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? StatisticsCase<uint16_t>(rng, out) : StatisticsCase<uint32_t>(rng, out);
}
void Vector(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? VectorCase<uint16_t>(rng, out) : VectorCase<uint32_t>(rng, out);
}

const Register statistics("CalculateAreaStatistics", Statistics), vector("SubFrameToVector", Vector);

} // namespace
} // namespace soak
