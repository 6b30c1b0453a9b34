// Area statistics and sub-frame vectors against the references.
#include "soak.h"

#include "reference/statistics.h"
#include "tamrix.h"

#include <cmath>

namespace soak {
namespace {

template <class Pixel> void StatisticsCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 200), h = Size(rng, 200);
    // Rectangles inside, reaching past the edges, starting beyond them, now
    // and then empty or starting left of or above the frame.
    int x = Chance(rng, 0.1) ? Uniform(rng, w, 2 * w + 2) : Uniform(rng, 0, w - 1);
    int y = Chance(rng, 0.1) ? Uniform(rng, h, 2 * h + 2) : Uniform(rng, 0, h - 1);
    const int rw = Chance(rng, 0.05) ? Uniform(rng, -2, 0) : Size(rng, w + 5);
    const int rh = Chance(rng, 0.05) ? Uniform(rng, -2, 0) : Size(rng, h + 5);
    if (Chance(rng, 0.05))
        x = -Uniform(rng, 1, w + 2), y = Chance(rng, 0.5) ? y : -Uniform(rng, 1, h + 2);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", rectangle (" << x << ", " << y << ") "
               << rw << " x " << rh;
    auto frame = Frame<Pixel>(rng, static_cast<size_t>(w) * h, out.params, "frame");
    Threads(rng, out.params);
    const tamrix::reference::Statistics untouched{0xDEADBEEF, 0xDEADBEEF, -7.0, -7.0};
    auto lib = untouched;
    tamrix::CalculateAreaStatistics(frame.data(), w, h, sizeof(Pixel), x, y, rw, rh, &lib.min, &lib.max, &lib.mean,
                                    &lib.sd);
    const auto expected = tamrix::reference::AreaStatistics(frame, w, h, x, y, rw, rh).value_or(untouched);
    // Extremes are exact, and so is the mean here: every partial sum is an
    // integer below 2^53 (fewer than 2^21 pixels), whatever the division of
    // the rows among threads. The deviation may differ in its last bits.
    if (lib.mean != expected.mean || !(std::fabs(lib.sd - expected.sd) <= 1e-9 * std::max(expected.sd, 1.0)))
        out.note << "mean " << lib.mean << " / " << expected.mean << ", deviation " << lib.sd << " / " << expected.sd
                 << " (library / reference)";
    out.Compare(std::vector<unsigned> { lib.min, lib.max }, std::vector<unsigned> { expected.min, expected.max });
}

template <class Pixel> void VectorCase(Rng& rng, Outcome& out)
{
    const int radius = Chance(rng, 0.03) ? -1 : Uniform(rng, 0, 12);
    const int side = 2 * std::max(radius, 0) + 1;
    const int w = side + Uniform(rng, 0, 40), h = side + Uniform(rng, 0, 40);
    const int x = std::max(radius, 0) + Uniform(rng, 0, w - side), y = std::max(radius, 0) + Uniform(rng, 0, h - side);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", centre (" << x << ", " << y << "), radius "
               << radius;
    auto frame = Frame<Pixel>(rng, static_cast<size_t>(w) * h, out.params, "frame");
    std::vector<float> lib(static_cast<size_t>(side) * side + 1, -12345.0f), expected = lib;
    tamrix::SubFrameToVector(frame.data(), w, h, sizeof(Pixel), x, y, radius, lib.data());
    if (radius >= 0) {
        const auto v = tamrix::reference::SubFrame(frame, w, x, y, radius);
        std::copy(v.begin(), v.end(), expected.begin());
    }
    for (auto* floats : {&lib, &expected}) // every NaN alike
        for (float& f : *floats)
            f = std::isnan(f) ? std::nanf("") : f;
    out.Compare(lib, expected);
}

SOAK_OPERATION("CalculateAreaStatistics", StatisticsCase);
SOAK_OPERATION("SubFrameToVector", VectorCase);

} // namespace
} // namespace soak
