// Classic star detection against a literal scan and measurer. The sums of
// the window statistics are exact integers turned into doubles once (for
// 16-bit frames bit for bit what a running double sum gives; for 32-bit
// frames the correctly rounded sum), a negative variance from rounding counts
// as 0, and a star whose centroid falls outside its window is not reported.
#include "soak.h"

#include "tamrix.h"

#include <omp.h>

#include <cmath>

namespace soak {
namespace {

struct Star {
    int x, y;
    double cx, cy, flux;
    unsigned peak;
};

void Collect(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    static_cast<std::vector<Star>*>(context)->push_back({x, y, cx, cy, flux, peak});
}

std::vector<uint8_t> Serialise(const std::vector<Star>& stars, const std::vector<unsigned>& mask)
{
    std::vector<uint8_t> b;
    for (const Star& s : stars) {
        const double v[] = {double(s.x), double(s.y), s.cx, s.cy, s.flux, double(s.peak)};
        b.insert(b.end(), reinterpret_cast<const uint8_t*>(v), reinterpret_cast<const uint8_t*>(v + 6));
    }
    const auto m = Bytes(mask);
    b.insert(b.end(), m.begin(), m.end());
    return b;
}

__extension__ typedef unsigned __int128 U128;

template <class Pixel>
struct Reference {
    int r;
    double k;
    int q;
    unsigned start;
    const std::vector<Pixel>& f;
    int w, h;
    std::vector<unsigned>& mask;
    std::vector<Star>& stars;

    Pixel At(int x, int y) const { return f[static_cast<size_t>(y) * w + x]; }
    bool Bit(size_t i) const { return (mask[i / 32] >> (i % 32)) & 1u; }

    void Scan()
    {
        if (r < 2 || r > 25 || q < 0 || q > 8)
            return;
        for (int y = r; y <= h - r - 1; y += 2)
            for (int x = r; x < w - r - 1; x += 2) {
                if (Bit(static_cast<size_t>(y) * w + x) || At(x, y) < start)
                    continue;
                std::vector<uint8_t> component;
                Star s;
                if (!Measure(x, y, component, s))
                    continue;
                const int n = 2 * r + 1;
                bool claimed = false;
                for (int i = 0; i < n * n; ++i)
                    if (component[i])
                        claimed |= Bit(static_cast<size_t>(y - r + i / n) * w + (x - r + i % n));
                if (claimed)
                    continue;
                for (int i = 0; i < n * n; ++i)
                    if (component[i]) {
                        const size_t j = static_cast<size_t>(y - r + i / n) * w + (x - r + i % n);
                        mask[j / 32] |= 1u << (j % 32);
                    }
                stars.push_back(s);
            }
    }

    bool Measure(int x, int y, std::vector<uint8_t>& component, Star& star)
    {
        if (x <= r || y <= r || x + r >= w - 1 || y + r >= h - 1)
            return false;
        const int n = 2 * r + 1;
        const double count = n * n;
        uint64_t sum = 0;
        U128 squares = 0;
        for (int j = y - r; j <= y + r; ++j)
            for (int i = x - r; i <= x + r; ++i) {
                sum += At(i, j);
                squares += static_cast<U128>(At(i, j)) * At(i, j);
            }
        const double mu1 = double(sum) / count;
        const double s = 3.0 * std::sqrt(std::max(0.0, double(squares) / count - mu1 * mu1));
        double hi = std::trunc(mu1 + s);
        if (sizeof(Pixel) == 2 && hi > 65535)
            hi = 65535;
        const double lo = s >= mu1 ? 0.0 : std::trunc(mu1 - s);
        uint64_t cn = 0, csum = 0;
        U128 csq = 0;
        for (int j = y - r; j <= y + r; ++j)
            for (int i = x - r; i <= x + r; ++i) {
                const double v = At(i, j);
                if (lo <= v && v <= hi) {
                    ++cn;
                    csum += At(i, j);
                    csq += static_cast<U128>(At(i, j)) * At(i, j);
                }
            }
        if (cn == 0)
            return false;
        const double mu2 = double(csum) / double(cn);
        const double var2 = std::max(0.0, double(csq) / double(cn) - mu2 * mu2);
        const double t = k * std::sqrt(var2) + mu2 + 0.5;
        const double full = static_cast<double>(std::numeric_limits<Pixel>::max());
        const int64_t T = !(t < full) ? static_cast<int64_t>(full) : static_cast<int64_t>(t);
        const int need = q == 0 ? 1 : q;
        auto above = [&](int i, int j) { return static_cast<int64_t>(At(i, j)) > T; };
        auto isStar = [&](int i, int j) {
            if (!above(i, j))
                return false;
            const int nb[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 1}, {0, 1}, {1, 1}, {-1, 0}, {1, 0}};
            int bright = 0;
            for (auto& d : nb)
                bright += above(i + d[0], j + d[1]);
            return bright >= need;
        };
        std::vector<uint8_t> starMap(n * n);
        uint64_t bsum = 0, bcount = 0;
        int first = -1;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                if (isStar(x - r + i, y - r + j)) {
                    starMap[j * n + i] = 1;
                    if (first < 0)
                        first = j * n + i;
                } else {
                    bsum += At(x - r + i, y - r + j);
                    ++bcount;
                }
            }
        if (first < 0)
            return false;
        component.assign(n * n, 0);
        std::vector<int> stack{first};
        component[first] = 1;
        while (!stack.empty()) {
            const int p = stack.back();
            stack.pop_back();
            const int i = p % n, j = p / n;
            if (i == 0 || j == 0 || i == n - 1 || j == n - 1)
                return false;
            for (int q4 : {p - 1, p + 1, p - n, p + n})
                if (starMap[q4] && !component[q4]) {
                    component[q4] = 1;
                    stack.push_back(q4);
                }
        }
        const double b = double(bsum) / double(bcount);
        double flux = 0, sx = 0, sy = 0;
        Pixel peak = 0;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
                if (component[j * n + i]) {
                    const double v = At(x - r + i, y - r + j);
                    const double d = v - b;
                    flux += d;
                    sx += d * (i - r);
                    sy += d * (j - r);
                    peak = std::max(peak, At(x - r + i, y - r + j));
                }
        if (flux == 0.0 || !(std::fabs(sx / flux) <= r && std::fabs(sy / flux) <= r))
            return false;
        star.cx = x + sx / flux;
        star.cy = y + sy / flux;
        star.x = static_cast<int>(star.cx + 0.5);
        star.y = static_cast<int>(star.cy + 0.5);
        star.flux = flux;
        star.peak = peak;
        return true;
    }
};

// A sky of noise on a level with Gaussian stars of random size and
// brightness, now and then hot pixels and saturated cores; or plain noise.
template <class Pixel>
std::vector<Pixel> Sky(Rng& rng, int w, int h, std::string& shape)
{
    const double full = static_cast<double>(std::numeric_limits<Pixel>::max());
    const double level = UniformReal(rng, 0.0, full * (Chance(rng, 0.5) ? 0.05 : 0.8));
    const double sigma = UniformReal(rng, 0.0, Chance(rng, 0.5) ? 20.0 : full * 0.01);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> sky(static_cast<size_t>(w) * h);
    for (auto& v : sky)
        v = level + sigma * noise(rng);
    const int stars = Uniform(rng, 1, 2 + w * h / 150);
    for (int s = 0; s < stars; ++s) {
        const double cx = UniformReal(rng, 0, w), cy = UniformReal(rng, 0, h);
        const double width = UniformReal(rng, 0.3, 4.0), peak = UniformReal(rng, 0.0, full * 0.7);
        const int reach = static_cast<int>(4 * width) + 1;
        for (int y = std::max(0, int(cy) - reach); y <= std::min(h - 1, int(cy) + reach); ++y)
            for (int x = std::max(0, int(cx) - reach); x <= std::min(w - 1, int(cx) + reach); ++x)
                sky[static_cast<size_t>(y) * w + x] +=
                    peak * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * width * width));
    }
    if (Chance(rng, 0.3))
        for (int i = Uniform(rng, 1, 20); i > 0; --i)
            sky[Uniform64(rng, 0, sky.size() - 1)] = UniformReal(rng, level, full);
    std::vector<Pixel> f(sky.size());
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<Pixel>(std::min(full, std::max(0.0, std::round(sky[i]))));
    std::ostringstream s;
    s << "sky level " << level << ", noise " << sigma << ", " << stars << " stars";
    shape = s.str();
    return f;
}

// serialParallel: the parallel detector on one thread walks the grid in the
// serial order and so must report exactly what the serial one does.
template <class Pixel>
void StarsCase(Rng& rng, Outcome& out, bool parallelOnOneThread)
{
    const int depth = sizeof(Pixel);
    int r = Chance(rng, 0.05) ? Uniform(rng, -1, 27) : Chance(rng, 0.7) ? Uniform(rng, 2, 8) : Uniform(rng, 2, 25);
    const int minSide = 2 * std::max(r, 2) + 4;
    // Now and then too small for any window; mostly room for several.
    auto side = [&] {
        return Chance(rng, 0.1) ? Uniform(rng, std::max(1, minSide - 3), minSide) : minSide + Uniform(rng, 0, 160);
    };
    const int w = side(), h = side();
    const double k = Chance(rng, 0.1) ? UniformReal(rng, -2.0, 1.0) : UniformReal(rng, 1.0, 8.0);
    const int q = Chance(rng, 0.1) ? Uniform(rng, -1, 9) : Uniform(rng, 0, 4);
    std::string shape;
    const auto frame = Chance(rng, 0.15) ? Frame<Pixel>(rng, static_cast<size_t>(w) * h, shape)
                                         : Sky<Pixel>(rng, w, h, shape);
    const unsigned start = Chance(rng, 0.5) ? 0u : static_cast<unsigned>(frame[Uniform64(rng, 0, frame.size() - 1)]);
    std::vector<unsigned> mask((frame.size() + 31) / 32);
    const bool excluded = Chance(rng, 0.2);
    if (excluded)
        for (auto& word : mask)
            word = static_cast<unsigned>(Uniform64(rng, 0, 0xFFFFFFFFu)) & static_cast<unsigned>(Uniform64(rng, 0, 0xFFFFFFFFu)) &
                   static_cast<unsigned>(Uniform64(rng, 0, 0xFFFFFFFFu));
    // Bits past the last pixel belong to no pixel: both start the same.
    std::vector<unsigned> libMask = mask, refMask = mask;
    std::vector<Star> lib, ref;
    if (parallelOnOneThread) {
        omp_set_num_threads(1);
        tamrix::FindStars(r, k, q, start, const_cast<Pixel*>(frame.data()), w, h, depth, libMask.data(), &lib,
                          Collect);
    } else {
        tamrix::FindStars1C(r, k, q, start, const_cast<Pixel*>(frame.data()), w, h, depth, libMask.data(), &lib,
                            Collect);
    }
    Reference<Pixel>{r, k, q, start, frame, w, h, refMask, ref}.Scan();
    std::ostringstream p;
    p.precision(17);
    p << "depth " << depth << ", " << w << " x " << h << ", r " << r << ", k " << k << ", q " << q << ", start "
      << start << (excluded ? ", pixels excluded" : "") << ", " << shape << "; library " << lib.size()
      << " stars, reference " << ref.size();
    std::string note;
    for (size_t i = 0; i < std::min(lib.size(), ref.size()); ++i) {
        const Star &a = lib[i], &b = ref[i];
        if (a.x != b.x || a.y != b.y || a.cx != b.cx || a.cy != b.cy || a.flux != b.flux || a.peak != b.peak) {
            std::ostringstream s;
            s.precision(17);
            s << "star " << i << ": library (" << a.cx << ", " << a.cy << ") flux " << a.flux << " peak " << a.peak
              << ", reference (" << b.cx << ", " << b.cy << ") flux " << b.flux << " peak " << b.peak;
            note = s.str();
            break;
        }
    }
    out = {p.str(), Serialise(lib, libMask), Serialise(ref, refMask), 8, note};
}

void Serial(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? StarsCase<uint16_t>(rng, out, false) : StarsCase<uint32_t>(rng, out, false);
}
void ParallelOnOneThread(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? StarsCase<uint16_t>(rng, out, true) : StarsCase<uint32_t>(rng, out, true);
}

const Register serial("FindStars1C", Serial), parallel("FindStars-1-thread", ParallelOnOneThread);

} // namespace
} // namespace soak
