// libFuzzer target: ReadStarCsv on any bytes. A list read must hold finite
// numbers and come back from the CSV that `stars` writes of it.
#include "failure.h"
#include "fuzz_support.h"
#include "starlist.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

using tamrix::cli::Star;

namespace {

[[noreturn]] void Wrong(const char* what, size_t i)
{
    std::fprintf(stderr, "star list: %s (star %zu)\n", what, i);
    std::abort();
}

bool Near(double a, double b, double tolerance)
{
    return std::abs(a - b) <= tolerance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const tamrix::fuzz::ScratchFile file("starcsv");
    std::vector<Star> stars;
    try {
        stars = tamrix::cli::ReadStarCsv(file.Write(data, size));
    } catch (const tamrix::cli::Failure&) {
        return 0;
    }
    const std::string text = tamrix::cli::StarCsv(stars);
    const std::vector<Star> again
        = tamrix::cli::ReadStarCsv(file.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    if (again.size() != stars.size())
        Wrong("count", again.size());
    for (size_t i = 0; i < stars.size(); ++i) {
        const Star &s = stars[i], &t = again[i];
        if (!std::isfinite(s.cx) || !std::isfinite(s.cy) || !std::isfinite(s.flux) || !std::isfinite(s.peak))
            Wrong("not finite", i);
        // Centroids to 4 decimals, flux and peak to 10 digits.
        if (!Near(t.cx, s.cx, 5.1e-5) || !Near(t.cy, s.cy, 5.1e-5) || !Near(t.flux, s.flux, 1e-9 * std::abs(s.flux))
            || !Near(t.peak, s.peak, 1e-9 * std::abs(s.peak)))
            Wrong("written and read back", i);
    }
    return 0;
}
