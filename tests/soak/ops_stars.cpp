// Classic star detection against the reference scan, on synthetic skies and
// on plain noise, with pixels excluded beforehand now and then.
#include "soak.h"

#include "reference/stars.h"
#include "tamrix.h"
#include "tools/star_fields.h"

#include <omp.h>

namespace soak {
namespace {

using tamrix::reference::Star;

// The stars' fields, then the exclusion mask's words.
std::vector<double> Serialise(const std::vector<Star>& stars, const std::vector<unsigned>& mask)
{
    std::vector<double> v;
    for (const Star& s : stars)
        v.insert(v.end(), {double(s.x), double(s.y), s.cx, s.cy, s.flux, double(s.peak)});
    v.insert(v.end(), mask.begin(), mask.end());
    return v;
}

// A sky on a level, with noise and Gaussian stars of random size and
// brightness, now and then hot pixels and cosmic-ray tracks.
template <class Pixel> std::vector<Pixel> Sky(Rng& rng, int w, int h, std::ostream& params)
{
    const double full = static_cast<double>(std::numeric_limits<Pixel>::max());
    starnet::Recipe recipe;
    recipe.width = w, recipe.height = h, recipe.gradient = 0, recipe.moffat = false, recipe.pairs = 0.1;
    recipe.level = UniformReal(rng, 0.0, full * (Chance(rng, 0.5) ? 0.05 : 0.8));
    recipe.noise = UniformReal(rng, 0.0, Chance(rng, 0.5) ? 20.0 : full * 0.01);
    recipe.stars = Uniform(rng, 1, 2 + w * h / 150);
    recipe.minPeak = std::max(1.0, 2 * recipe.noise), recipe.decades = std::log10(full * 0.7 / recipe.minPeak);
    recipe.sigma = 0.3, recipe.sigmaSpread = 3.7;
    recipe.hotPixels = Chance(rng, 0.3) ? Uniform(rng, 1, 20) : 0, recipe.tracks = Uniform(rng, 0, 2);
    const starnet::Field field = starnet::MakeField(static_cast<uint32_t>(rng()), recipe);
    std::vector<Pixel> f(field.sky.size());
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<Pixel>(std::min(full, std::max(0.0, std::round(field.sky[i]))));
    params << ", sky level " << recipe.level << ", noise " << recipe.noise << ", " << field.stars.size() << " stars";
    return f;
}

// The parallel detector on one thread walks the grid in the serial order and
// so must report exactly what the serial one does.
template <class Pixel> void StarsCase(Rng& rng, Outcome& out, bool parallelOnOneThread)
{
    const int r = Chance(rng, 0.05) ? Uniform(rng, -1, 27) : Chance(rng, 0.7) ? Uniform(rng, 2, 8) : Uniform(rng, 2, 25);
    const int minSide = 2 * std::max(r, 2) + 4;
    // Now and then too small for any window; mostly room for several.
    auto side = [&] {
        return Chance(rng, 0.1) ? Uniform(rng, std::max(1, minSide - 3), minSide) : minSide + Uniform(rng, 0, 160);
    };
    const int w = side(), h = side();
    const double k = Chance(rng, 0.1) ? UniformReal(rng, -2.0, 1.0) : UniformReal(rng, 1.0, 8.0);
    const int q = Chance(rng, 0.1) ? Uniform(rng, -1, 9) : Uniform(rng, 0, 4);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", r " << r << ", k " << k << ", q " << q;
    auto frame = Chance(rng, 0.15) ? Frame<Pixel>(rng, static_cast<size_t>(w) * h, out.params)
                                   : Sky<Pixel>(rng, w, h, out.params);
    const unsigned start = Chance(rng, 0.5) ? 0u : static_cast<unsigned>(frame[Uniform64(rng, 0, frame.size() - 1)]);
    // Bits past the last pixel belong to no pixel: both start the same.
    std::vector<unsigned> libMask((frame.size() + 31) / 32);
    const bool excluded = Chance(rng, 0.2);
    for (auto& word : libMask)
        word = excluded ? static_cast<unsigned>(rng() & rng() & rng()) : 0u;
    auto refMask = libMask;
    std::vector<Star> lib;
    if (parallelOnOneThread)
        omp_set_num_threads(1);
    (parallelOnOneThread ? tamrix::FindStars : tamrix::FindStars1C)(r, k, q, start, frame.data(), w, h, sizeof(Pixel),
                                                                    libMask.data(), &lib, tamrix::reference::Collect);
    const auto expected = tamrix::reference::FindStars(r, k, q, start, frame, w, h, refMask);
    out.params << ", start " << start << (excluded ? ", pixels excluded" : "") << "; library " << lib.size()
               << " stars, reference " << expected.size();
    for (size_t i = 0; i < std::min(lib.size(), expected.size()) && out.note.str().empty(); ++i)
        if (!(lib[i] == expected[i]))
            out.note << "star " << i << ": library (" << lib[i].cx << ", " << lib[i].cy << ") flux " << lib[i].flux
                     << ", reference (" << expected[i].cx << ", " << expected[i].cy << ") flux " << expected[i].flux;
    out.Compare(Serialise(lib, libMask), Serialise(expected, refMask));
}

template <class Pixel> void SerialCase(Rng& rng, Outcome& out) { StarsCase<Pixel>(rng, out, false); }
template <class Pixel> void ParallelCase(Rng& rng, Outcome& out) { StarsCase<Pixel>(rng, out, true); }

SOAK_OPERATION("FindStars1C", SerialCase);
SOAK_OPERATION("FindStarsOnOneThread", ParallelCase);

} // namespace
} // namespace soak
