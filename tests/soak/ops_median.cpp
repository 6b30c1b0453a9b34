// The median filter against a literal window, binning and selection, its
// subtraction pass and its progress reports.
#include "soak.h"

#include "../recording_window.h"
#include "tamrix.h"

#include <omp.h>

#include <algorithm>
#include <set>

namespace soak {
namespace {

template <class Pixel>
void MedianCase(Rng& rng, Outcome& out)
{
    constexpr uint64_t full = std::numeric_limits<Pixel>::max();
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 70), h = Size(rng, 70);
    const int r = Chance(rng, 0.7) ? Uniform(rng, 0, std::min(w - 1, 4)) : Uniform(rng, 0, w - 1);
    std::string shape;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(w) * h, shape);
    // 32-bit frames: a value range around the pixels, its size anywhere from
    // one value to the whole type (shifts 0 .. 14).
    uint32_t low = 0, high = 0xFFFFFFFFu;
    if (depth == 4) {
        const auto [lo, hi] = std::minmax_element(src.begin(), src.end());
        const uint64_t below = Chance(rng, 0.5) ? 0 : Uniform64(rng, 0, *lo);
        const uint64_t above = Chance(rng, 0.5) ? 0 : Uniform64(rng, 0, full - *hi);
        low = static_cast<uint32_t>(*lo - below), high = static_cast<uint32_t>(*hi + above);
        if (Chance(rng, 0.2))
            low = 0, high = 0xFFFFFFFFu;
    }
    int shift = 0;
    uint64_t bins = uint64_t{high} - low + 1;
    while (bins > 262144)
        bins /= 2, ++shift;
    const int offset = Chance(rng, 0.3) ? Uniform(rng, -100, 0) : Uniform(rng, 0, 70000);
    const int k = Chance(rng, 0.2) ? Uniform(rng, -5, 1200) : Chance(rng, 0.5) ? 1000 : Uniform(rng, 1, 1000);
    const bool subtract = Chance(rng, 0.4);
    const bool report = Chance(rng, 0.5);
    const bool cancelled = Chance(rng, 0.05);
    unsigned char cancel = cancelled ? 1 : 0;
    const int threads = ThreadsFor(rng);

    std::vector<Pixel> lib(src.size());
    for (auto& p : lib)
        p = static_cast<Pixel>(Uniform64(rng, 0, full));
    auto ref = lib;
    tamrix::test::RecordingWindow window(true);
    omp_set_num_threads(threads);
    tamrix::Median(report ? window.Handle() : nullptr, Chance(rng, 0.5) || cancelled ? &cancel : nullptr, src.data(),
                   lib.data(), w, h, depth, static_cast<int>(low), static_cast<int>(high), r, offset, k,
                   subtract ? 1 : 0, 0);

    std::string note;
    if (!cancelled) {
        std::vector<uint64_t> values;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                values.clear();
                for (int j = std::max(0, y - r); j <= std::min(h - 1, y + r); ++j)
                    for (int i = std::max(0, x - r); i <= std::min(w - 1, x + r); ++i) {
                        const uint64_t v = src[static_cast<size_t>(j) * w + i];
                        // Halving the range drops remainders, so the top
                        // values of the range fall past the last bin: they
                        // count in the last bin.
                        values.push_back(depth == 2 ? v : std::min((v - low) >> shift, bins - 1));
                    }
                // The first bin at which the running count reaches n / 2 is
                // the (n / 2)-th smallest; the result is one above it.
                const size_t half = values.size() / 2;
                uint64_t b = 0;
                if (half > 0) {
                    std::nth_element(values.begin(), values.begin() + (half - 1), values.end());
                    b = values[half - 1] + 1;
                }
                const uint64_t value = depth == 2 ? b : low + (b << shift);
                ref[static_cast<size_t>(y) * w + x] = static_cast<Pixel>(std::min(value, full)); // saturated: full scale
            }
        if (subtract) {
            const int64_t kk = std::min(1000, std::max(1, k)), o = std::max(0, offset);
            for (size_t i = 0; i < ref.size(); ++i) {
                const int64_t m = kk == 1000 ? ref[i] : static_cast<int64_t>(ref[i]) * kk / 1000;
                const int64_t v = static_cast<int64_t>(src[i]) + o - m;
                ref[i] = static_cast<Pixel>(v < 0 ? 0 : v > static_cast<int64_t>(full) ? full : v);
            }
        }
    }
    // Progress: one report per row, each count once, with its scaled value
    // and text.
    if (report) {
        const auto messages = window.Messages();
        std::set<uint64_t> counts;
        const size_t expected = cancelled ? 0 : static_cast<size_t>(h);
        for (const auto& m : messages) {
            // c * 65535 / h grows strictly with c for h <= 65535: wParam
            // names the count.
            uint64_t c = 0;
            for (uint64_t cand = 1; cand <= static_cast<uint64_t>(h); ++cand)
                if (cand * 65535 / h == m.wParam)
                    c = cand;
            if (m.id != 0x465 || !m.sent || c == 0 || m.text != std::to_string(c * 100 / h) + " %" ||
                !counts.insert(c).second) {
                note = "unexpected progress report: id " + std::to_string(m.id) + ", wParam " +
                       std::to_string(m.wParam) + ", text \"" + m.text + "\"";
                break;
            }
        }
        if (note.empty() && messages.size() != expected)
            note = std::to_string(messages.size()) + " progress reports for " + std::to_string(expected) + " rows";
    }
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << ", r " << r << ", low " << low << ", high " << high
      << ", offset " << offset << ", k " << k << (subtract ? ", subtract" : "") << (report ? ", window" : "")
      << (cancelled ? ", cancelled" : "") << ", " << threads << " threads, source " << shape;
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), note};
}

void Median(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? MedianCase<uint16_t>(rng, out) : MedianCase<uint32_t>(rng, out);
}

const Register median("Median", Median);

} // namespace
} // namespace soak
