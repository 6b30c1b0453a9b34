// The median filter and its subtraction against the reference, and its
// progress reports.
#include "soak.h"

#include "recording_window.h"
#include "reference/median.h"
#include "tamrix.h"

#include <algorithm>
#include <set>

namespace soak {
namespace {

// One report per row, message kMedianProgressMessage sent with the count scaled to 65535 and
// its percentage as text, each count once; none when cancelled.
std::string ProgressProblem(const std::vector<tamrix::test::WindowMessage>& messages, int h, bool cancelled)
{
    std::set<uint64_t> counts;
    for (const auto& m : messages) {
        uint64_t c = 0; // c * 65535 / h grows strictly with c for h <= 65535
        for (uint64_t cand = 1; cand <= static_cast<uint64_t>(h); ++cand)
            c = cand * 65535 / h == m.wParam ? cand : c;
        if (m.id != tamrix::kMedianProgressMessage || !m.sent || c == 0 || m.text != std::to_string(c * 100 / h) + " %"
            || !counts.insert(c).second)
            return "unexpected progress report: id " + std::to_string(m.id) + ", wParam " + std::to_string(m.wParam)
                + ", text \"" + m.text + "\"";
    }
    const size_t expected = cancelled ? 0 : static_cast<size_t>(h);
    return messages.size() == expected
        ? ""
        : std::to_string(messages.size()) + " progress reports for " + std::to_string(expected) + " rows";
}

template <class Pixel> void MedianCase(Rng& rng, Outcome& out)
{
    constexpr uint64_t full = std::numeric_limits<Pixel>::max();
    const int w = Size(rng, 70), h = Size(rng, 70);
    // Radii now and then outside 0 .. w - 1, taken as the nearest.
    const int r = Chance(rng, 0.7) ? Uniform(rng, 0, std::min(w - 1, 4)) : Uniform(rng, -2, w + 2);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", r " << r;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(w) * h, out.params);
    // 32-bit frames: a value range around the pixels, from one value to the
    // whole type (shifts 0 .. 14), or now and then inside them: pixels
    // outside count in the end bins.
    uint32_t low = 0, high = 0xFFFFFFFFu;
    if (sizeof(Pixel) == 4 && !Chance(rng, 0.2)) {
        const auto [lo, hi] = std::minmax_element(src.begin(), src.end());
        low = static_cast<uint32_t>(*lo - (Chance(rng, 0.5) ? 0 : Uniform64(rng, 0, *lo)));
        high = static_cast<uint32_t>(*hi + (Chance(rng, 0.5) ? 0 : Uniform64(rng, 0, full - *hi)));
        if (Chance(rng, 0.2)) {
            low = static_cast<uint32_t>(Uniform64(rng, *lo, *hi));
            high = static_cast<uint32_t>(Uniform64(rng, low, *hi));
        }
    }
    const int offset = Chance(rng, 0.3) ? Uniform(rng, -100, 0) : Uniform(rng, 0, 70000);
    const int k = Chance(rng, 0.2) ? Uniform(rng, -5, 1200) : Chance(rng, 0.5) ? 1000 : Uniform(rng, 1, 1000);
    const bool subtract = Chance(rng, 0.4), report = Chance(rng, 0.5), cancelled = Chance(rng, 0.05);
    unsigned char cancel = cancelled ? 1 : 0;
    out.params << ", low " << low << ", high " << high << ", offset " << offset << ", k " << k
               << (subtract ? ", subtract" : "") << (report ? ", window" : "") << (cancelled ? ", cancelled" : "");
    Threads(rng, out.params);
    auto lib = Noise<Pixel>(rng, src.size());
    auto expected = lib;
    tamrix::test::RecordingWindow window;
    tamrix::Median(report ? window.Handle() : nullptr, Chance(rng, 0.5) || cancelled ? &cancel : nullptr, src.data(),
        lib.data(), w, h, sizeof(Pixel), static_cast<int>(low), static_cast<int>(high), r, offset, k, subtract ? 1 : 0,
        0);
    if (!cancelled) {
        expected = tamrix::reference::Median(src, w, h, r, low, high);
        if (subtract)
            tamrix::reference::Subtract(src, expected, offset, k);
    }
    out.Compare(lib, expected);
    out.note << (report ? ProgressProblem(window.Messages(), h, cancelled) : "");
}

SOAK_OPERATION("Median", MedianCase);

} // namespace
} // namespace soak
