// Binning, dark subtraction and flat division against the references.
#include "soak.h"

#include "reference/calibration.h"
#include "tamrix.h"

namespace soak {
namespace {

namespace ref = tamrix::reference;

constexpr uint32_t kSentinel = 0xA5A5A5A5u; // one past the last pixel: written only by a fault

template <class Pixel> void BinCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 300), h = Extent(rng, 300, 0.1);
    const int bx = Chance(rng, 0.1) ? Uniform(rng, 1, w + 3) : Size(rng, 8);
    const int by = Chance(rng, 0.1) ? Uniform(rng, 1, std::max(h, 1) + 3) : Size(rng, 8);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", bin " << bx << " x " << by;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(w) * std::max(h, 0), out.params);
    auto expected = ref::Bin(src, bx, by, w, h);
    std::vector<uint32_t> lib(expected.size() + 1, kSentinel);
    expected.push_back(kSentinel);
    Threads(rng, out.params);
    tamrix::Bin(bx, by, src.data(), lib.data(), w, h, sizeof(Pixel));
    out.Compare(lib, expected);
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
    const int w = Size(rng, 300), h = Extent(rng, 300, 0.1);
    const size_t n = static_cast<size_t>(w) * std::max(h, 0);
    const bool inPlace = Chance(rng, 0.5);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << (inPlace ? ", in place" : "");
    auto raw = Frame<Pixel>(rng, n, out.params, "raw"), dark = Frame<Pixel>(rng, n, out.params, "dark");
    auto lib = Output(raw, inPlace), expected = ref::Dark(raw, dark);
    expected.push_back(static_cast<Pixel>(kSentinel));
    Threads(rng, out.params);
    tamrix::DiffDark(inPlace ? lib.data() : raw.data(), lib.data(), dark.data(), w, h, sizeof(Pixel));
    out.Compare(lib, expected);
}

template <class Pixel> void FlatCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 300), h = Extent(rng, 300, 0.1);
    const size_t n = static_cast<size_t>(w) * std::max(h, 0);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h;
    auto raw = Frame<Pixel>(rng, n, out.params, "raw"), flat = Frame<Pixel>(rng, n, out.params, "flat");
    if (Chance(rng, 0.3)) // zero flat pixels pass the raw pixel
        for (auto& f : flat)
            f = Chance(rng, 0.2) ? 0 : f;
    // A level of 0 or below asks for the flat's mean (a frame without rows
    // keeps it); a given level stays where the arithmetic is exact: up to
    // 65535 for 16-bit frames.
    const double top = sizeof(Pixel) == 2 ? 65535.4 : 4294967295.4;
    double level;
    switch (Uniform(rng, 0, 3)) {
    case 0: level = 0.0; break;
    case 1: level = -UniformReal(rng, 0.0, 100.0); break;
    case 2: level = std::floor(UniformReal(rng, 1.0, 5000.0)) + (Chance(rng, 0.5) ? 0.5 : 0.0); break;
    default: level = UniformReal(rng, 0.5, Chance(rng, 0.5) ? std::min(70000.0, top) : top); break;
    }
    const bool inPlace = Chance(rng, 0.5);
    out.params << ", level " << level << (inPlace ? ", in place" : "");
    auto lib = Output(raw, inPlace), expected = ref::Flat(raw, flat, level);
    expected.push_back(static_cast<Pixel>(kSentinel));
    Threads(rng, out.params);
    double libLevel = level;
    const double refLevel = ref::FlatLevel(flat, level);
    tamrix::Flat(inPlace ? lib.data() : raw.data(), lib.data(), flat.data(), &libLevel, w, h, sizeof(Pixel));
    if (std::memcmp(&libLevel, &refLevel, sizeof(double)) != 0)
        out.note << "level written back: library " << libLevel << ", reference " << refLevel;
    out.Compare(lib, expected);
}

SOAK_OPERATION("Bin", BinCase);
SOAK_OPERATION("DiffDark", DarkCase);
SOAK_OPERATION("Flat", FlatCase);

} // namespace
} // namespace soak
