// Binning, dark subtraction and flat division against the references.
#include "soak.h"

#include "reference/calibration.h"
#include "tamrix.h"

namespace soak {
namespace {

namespace ref = tamrix::reference;

constexpr uint32_t kSentinel = 0xA5A5A5A5u; // one past the last pixel: written only by a fault

// A row count below 1 writes nothing: heights of 0 and below now and then.
int Height(Rng& rng, int max) { return Chance(rng, 0.03) ? Uniform(rng, -3, 0) : Size(rng, max); }

template <class Pixel> void BinCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 300), h = Height(rng, 300);
    const int bx = Chance(rng, 0.1) ? Uniform(rng, 1, w + 3) : Size(rng, 8);
    const int by = Chance(rng, 0.1) ? Uniform(rng, 1, std::max(h, 1) + 3) : Size(rng, 8);
    std::string shape;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(w) * std::max(h, 0), shape);
    auto expected = ref::Bin(src, bx, by, w, h);
    std::vector<uint32_t> lib(expected.size() + 1, kSentinel);
    expected.push_back(kSentinel);
    const int threads = Threads(rng);
    tamrix::Bin(bx, by, src.data(), lib.data(), w, h, sizeof(Pixel));
    std::ostringstream p;
    p << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", bin " << bx << " x " << by << ", " << threads
      << " threads, source " << shape;
    out = {p.str(), Bytes(lib), Bytes(expected), 4, {}};
}

// In place or into a separate buffer, with a sentinel after the frame.
template <class Pixel> std::vector<Pixel> Output(const std::vector<Pixel>& raw, bool inPlace)
{
    std::vector<Pixel> lib = inPlace ? raw : std::vector<Pixel>(raw.size(), static_cast<Pixel>(kSentinel));
    lib.push_back(static_cast<Pixel>(kSentinel));
    return lib;
}

template <class Pixel> void DarkCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 300), h = Height(rng, 300);
    const size_t n = static_cast<size_t>(w) * std::max(h, 0);
    std::string rawShape, darkShape;
    auto raw = Frame<Pixel>(rng, n, rawShape), dark = Frame<Pixel>(rng, n, darkShape);
    const bool inPlace = Chance(rng, 0.5);
    auto lib = Output(raw, inPlace), expected = ref::Dark(raw, dark);
    expected.push_back(static_cast<Pixel>(kSentinel));
    const int threads = Threads(rng);
    tamrix::DiffDark(inPlace ? lib.data() : raw.data(), lib.data(), dark.data(), w, h, sizeof(Pixel));
    std::ostringstream p;
    p << "depth " << sizeof(Pixel) << ", " << w << " x " << h << (inPlace ? ", in place" : "") << ", " << threads
      << " threads, raw " << rawShape << ", dark " << darkShape;
    out = {p.str(), Bytes(lib), Bytes(expected), sizeof(Pixel), {}};
}

template <class Pixel> void FlatCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 300), h = Height(rng, 300);
    const size_t n = static_cast<size_t>(w) * std::max(h, 0);
    std::string rawShape, flatShape;
    auto raw = Frame<Pixel>(rng, n, rawShape), flat = Frame<Pixel>(rng, n, flatShape);
    if (Chance(rng, 0.3)) // zero flat pixels pass the raw pixel
        for (auto& f : flat)
            f = Chance(rng, 0.2) ? 0 : f;
    // A level of 0 or below asks for the flat's mean (only for a frame with
    // pixels); a given level stays where the arithmetic is exact: up to
    // 65535 for 16-bit frames.
    const double top = sizeof(Pixel) == 2 ? 65535.4 : 4294967295.4;
    double level;
    switch (h > 0 ? Uniform(rng, 0, 3) : 3) {
    case 0: level = 0.0; break;
    case 1: level = -UniformReal(rng, 0.0, 100.0); break;
    case 2: level = std::floor(UniformReal(rng, 1.0, 5000.0)) + (Chance(rng, 0.5) ? 0.5 : 0.0); break;
    default: level = UniformReal(rng, 0.5, Chance(rng, 0.5) ? std::min(70000.0, top) : top); break;
    }
    const bool inPlace = Chance(rng, 0.5);
    auto lib = Output(raw, inPlace), expected = ref::Flat(raw, flat, level);
    expected.push_back(static_cast<Pixel>(kSentinel));
    const int threads = Threads(rng);
    double libLevel = level;
    const double refLevel = ref::FlatLevel(flat, level);
    tamrix::Flat(inPlace ? lib.data() : raw.data(), lib.data(), flat.data(), &libLevel, w, h, sizeof(Pixel));
    std::ostringstream p, note;
    p.precision(17);
    note.precision(17);
    p << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", level " << level << (inPlace ? ", in place" : "")
      << ", " << threads << " threads, raw " << rawShape << ", flat " << flatShape;
    if (std::memcmp(&libLevel, &refLevel, sizeof(double)) != 0)
        note << "level written back: library " << libLevel << ", reference " << refLevel;
    out = {p.str(), Bytes(lib), Bytes(expected), sizeof(Pixel), note.str()};
}

SOAK_OPERATION("Bin", BinCase);
SOAK_OPERATION("DiffDark", DarkCase);
SOAK_OPERATION("Flat", FlatCase);

} // namespace
} // namespace soak
