// Binning and calibration against literal references.
#include "soak.h"

#include "tamrix.h"

#include <omp.h>

namespace soak {
namespace {

constexpr uint8_t kSentinel = 0xA5;

// A row count below 1 writes nothing: heights of 0 and below now and then.
int Height(Rng& rng, int max) { return Chance(rng, 0.03) ? Uniform(rng, -3, 0) : Size(rng, max); }

template <class Pixel>
void BinCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 300), h = Height(rng, 300);
    const int bx = Chance(rng, 0.1) ? Uniform(rng, 1, w + 3) : Size(rng, 8);
    const int by = Chance(rng, 0.1) ? Uniform(rng, 1, (h > 0 ? h : 1) + 3) : Size(rng, 8);
    std::string shape;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(w) * (h > 0 ? h : 0), shape);
    const int ow = w / bx, oh = h / by;
    const size_t outPixels = oh > 0 ? static_cast<size_t>(ow) * oh : 0;
    std::vector<uint32_t> lib(outPixels + 1), ref(outPixels + 1);
    std::memset(lib.data(), kSentinel, lib.size() * 4);
    std::memset(ref.data(), kSentinel, ref.size() * 4);
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::Bin(bx, by, src.data(), lib.data(), w, h, depth);

    for (int r = 0; r < oh; ++r)
        for (int c = 0; c < ow; ++c) {
            uint32_t sum = 0;
            for (int i = 0; i < bx; ++i)
                for (int j = 0; j < by; ++j)
                    sum += static_cast<uint32_t>(src[static_cast<size_t>(r * by + j) * w + c * bx + i]);
            ref[static_cast<size_t>(r) * ow + c] = sum;
        }
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << ", bin " << bx << " x " << by << ", " << threads
      << " threads, source " << shape;
    out = {p.str(), Bytes(lib), Bytes(ref), 4, {}};
}

template <class Pixel>
void DiffDarkCase(Rng& rng, Outcome& out)
{
    constexpr Pixel full = std::numeric_limits<Pixel>::max();
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 300), h = Height(rng, 300);
    const size_t n = static_cast<size_t>(w) * (h > 0 ? h : 0);
    std::string rawShape, darkShape;
    auto raw = Frame<Pixel>(rng, n, rawShape);
    auto dark = Frame<Pixel>(rng, n, darkShape);
    const bool inPlace = Chance(rng, 0.5);
    const int threads = ThreadsFor(rng);
    std::vector<Pixel> lib(n + 1), ref(n + 1);
    std::memset(lib.data(), kSentinel, lib.size() * sizeof(Pixel));
    std::memset(ref.data(), kSentinel, ref.size() * sizeof(Pixel));
    omp_set_num_threads(threads);
    if (inPlace) {
        std::copy(raw.begin(), raw.end(), lib.begin());
        tamrix::DiffDark(lib.data(), lib.data(), dark.data(), w, h, depth);
        std::copy(raw.begin(), raw.end(), ref.begin());
    } else {
        tamrix::DiffDark(raw.data(), lib.data(), dark.data(), w, h, depth);
    }
    for (size_t i = 0; i < n; ++i)
        ref[i] = dark[i] > raw[i] ? 0 : raw[i] == full ? full : static_cast<Pixel>(raw[i] - dark[i]);
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << (inPlace ? ", in place" : "") << ", " << threads
      << " threads, raw " << rawShape << ", dark " << darkShape;
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), {}};
}

template <class Pixel>
void FlatCase(Rng& rng, Outcome& out)
{
    constexpr Pixel full = std::numeric_limits<Pixel>::max();
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 300), h = Height(rng, 300);
    const size_t n = static_cast<size_t>(w) * (h > 0 ? h : 0);
    std::string rawShape, flatShape;
    auto raw = Frame<Pixel>(rng, n, rawShape);
    auto flat = Frame<Pixel>(rng, n, flatShape);
    if (Chance(rng, 0.3)) // zero flat pixels pass the raw pixel
        for (auto& f : flat)
            if (Chance(rng, 0.2))
                f = 0;
    // A level of 0 or below asks for the mean of the flat (only for a frame
    // with pixels); a given level stays within the range the arithmetic is
    // exact for: 0 .. 65535 for 16-bit frames.
    double level;
    const double top = depth == 2 ? 65535.4 : 4294967295.4;
    switch (h > 0 ? Uniform(rng, 0, 3) : 3) {
    case 0: level = 0.0; break;
    case 1: level = -UniformReal(rng, 0.0, 100.0); break;
    case 2: level = std::floor(UniformReal(rng, 1.0, 5000.0)) + (Chance(rng, 0.5) ? 0.5 : 0.0); break;
    default: level = UniformReal(rng, 0.5, Chance(rng, 0.5) ? 70000.0 < top ? 70000.0 : top : top); break;
    }
    const bool inPlace = Chance(rng, 0.5);
    const int threads = ThreadsFor(rng);
    std::vector<Pixel> lib(n + 1), ref(n + 1);
    std::memset(lib.data(), kSentinel, lib.size() * sizeof(Pixel));
    std::memset(ref.data(), kSentinel, ref.size() * sizeof(Pixel));
    double libLevel = level;
    omp_set_num_threads(threads);
    if (inPlace) {
        std::copy(raw.begin(), raw.end(), lib.begin());
        tamrix::Flat(lib.data(), lib.data(), flat.data(), &libLevel, w, h, depth);
    } else {
        tamrix::Flat(raw.data(), lib.data(), flat.data(), &libLevel, w, h, depth);
    }
    double refLevel = level;
    if (refLevel <= 0) {
        double sum = 0.0;
        for (size_t i = 0; i < n; ++i)
            sum += static_cast<double>(flat[i]);
        refLevel = sum / static_cast<double>(w * h);
    }
    const uint64_t m = static_cast<uint64_t>(refLevel + 0.5);
    for (size_t i = 0; i < n; ++i) {
        if (raw[i] == full)
            ref[i] = full;
        else if (flat[i] == 0)
            ref[i] = raw[i];
        else {
            const uint64_t q = static_cast<uint64_t>(raw[i]) * m / flat[i];
            ref[i] = q > full ? full : static_cast<Pixel>(q);
        }
    }
    std::ostringstream p;
    p.precision(17);
    p << "depth " << depth << ", " << w << " x " << h << ", level " << level << (inPlace ? ", in place" : "")
      << ", " << threads << " threads, raw " << rawShape << ", flat " << flatShape;
    std::string note;
    if (std::memcmp(&libLevel, &refLevel, sizeof(double)) != 0) {
        std::ostringstream s;
        s.precision(17);
        s << "level written back: library " << libLevel << ", reference " << refLevel;
        note = s.str();
    }
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), note};
}

void Bin(Rng& rng, Outcome& out) { Chance(rng, 0.5) ? BinCase<uint16_t>(rng, out) : BinCase<uint32_t>(rng, out); }
void DiffDark(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? DiffDarkCase<uint16_t>(rng, out) : DiffDarkCase<uint32_t>(rng, out);
}
void Flat(Rng& rng, Outcome& out) { Chance(rng, 0.5) ? FlatCase<uint16_t>(rng, out) : FlatCase<uint32_t>(rng, out); }

const Register bin("Bin", Bin), diffDark("DiffDark", DiffDark), flat("Flat", Flat);

} // namespace
} // namespace soak
