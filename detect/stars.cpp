#include "stars.h"

#include "nnet.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>

namespace tamrix::detect {
namespace {

// Room around the frame for the largest window and its one-pixel margin, so
// that stars at the frame's edges get windows too.
constexpr int kPad = 27;
constexpr double kPi = 3.14159265358979323846;
constexpr int kLargestRadius = 25;
// Cleaning after a pass covers a star's pixels and this many more around
// them: its wings must not come back as a ring of stars.
constexpr int kCleanMargin = 2;
// A binned-pass star is kept when it is this large (equivalent radius in
// full-resolution pixels): smaller ones were within reach of the largest
// window, and the binned copy's extra depth would only add faint ones.
constexpr double kTooLargeRadius = 20;

template <class T> const T* Pixels(const void* frame)
{
    return static_cast<const T*>(frame);
}

double Median(std::vector<double>& v)
{
    if (v.empty())
        return 0;
    const size_t h = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + h, v.end());
    return v[h];
}

struct Report {
    int x, y;
    double cx, cy, flux;
    unsigned peak;
};

void Collect(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    auto& reports = *static_cast<std::vector<Report>*>(context);
    try {
        reports.push_back(Report { x, y, cx, cy, flux, peak });
    } catch (...) {
        // Must not leave the library's parallel loop as an exception; a lost
        // report only loses a star.
    }
}

bool Bit(const std::vector<unsigned>& mask, size_t i)
{
    return (mask[i / 32] >> (i % 32)) & 1u;
}

// A working frame: the input padded by kPad on every side, as 32-bit values
// (so that one code path serves both depths and binned sums).
struct Plane {
    int width = 0, height = 0;
    std::vector<uint32_t> v;
    size_t Index(int x, int y) const { return size_t(y) * width + x; }
};

// Sorts `v` in place (least significant byte first), `spare` its size.
void RadixSort(std::vector<uint32_t>& v, std::vector<uint32_t>& spare)
{
    size_t counts[4][256] = {};
    for (uint32_t x : v)
        for (int b = 0; b < 4; ++b)
            ++counts[b][(x >> (8 * b)) & 255];
    spare.resize(v.size());
    for (int b = 0; b < 4; ++b) {
        if (counts[b][(v.empty() ? 0 : v[0] >> (8 * b)) & 255] == v.size())
            continue; // every value has this byte
        size_t at = 0;
        for (size_t& c : counts[b]) {
            const size_t n = c;
            c = at;
            at += n;
        }
        for (uint32_t x : v)
            spare[counts[b][(x >> (8 * b)) & 255]++] = x;
        v.swap(spare);
    }
}

// Median and standard deviation after iterated 3-sigma clipping about the
// median, until no value leaves. The values kept are always a run of the
// sorted values, so they are sorted once and each pass sums its run exactly.
std::pair<double, double> Clipped(std::vector<uint32_t>& values, std::vector<uint32_t>& spare)
{
    RadixSort(values, spare);
    size_t lo = 0, hi = values.size();
    double median = 0, deviation = 0;
    for (int pass = 0; pass < 20 && hi > lo; ++pass) {
        const uint32_t m = values[lo + (hi - lo) / 2];
        median = m;
        int64_t sum = 0;
        unsigned __int128 sum2 = 0;
        for (size_t i = lo; i < hi; ++i) {
            const int64_t d = int64_t(values[i]) - m;
            sum += d;
            sum2 += static_cast<unsigned __int128>(d < 0 ? -d : d) * static_cast<uint64_t>(d < 0 ? -d : d);
        }
        const double n = double(hi - lo), mean = double(sum) / n;
        deviation = std::sqrt(std::max(0.0, double(sum2) / n - mean * mean));
        const auto inside = [&](uint32_t x) { return std::abs(double(x) - median) <= 3 * deviation; };
        const size_t a = size_t(std::partition_point(values.begin(), values.end(),
                                    [&](uint32_t x) { return x < m && !inside(x); })
            - values.begin());
        const size_t b = size_t(std::partition_point(values.begin(), values.end(),
                                    [&](uint32_t x) { return x <= m || inside(x); })
            - values.begin());
        if (b - a == hi - lo)
            break;
        lo = a;
        hi = b;
    }
    return { median, deviation };
}

// The background as a mesh of boxes of about kBox pixels: each box's clipped
// median, smoothed by the median of its 3 x 3 neighbourhood (a box that a
// large star or a galaxy's core fills does not stand out), and read between
// box centres by bilinear interpolation (Planes).
constexpr int kBox = 64;

struct Mesh {
    int nx = 1, ny = 1;
    double bw = 1, bh = 1;
    std::vector<double> level, noise; // per box, each smoothed likewise
    Sky sky; // the boxes' median level and median deviation

    // Where a frame position falls between box centres along one axis: the
    // boxes a and b on either side and the weight t of b.
    struct Between {
        int a, b;
        double t;
    };
    static Between Span(double at, double box, int boxes)
    {
        const double f = std::clamp((at + 0.5) / box - 0.5, 0.0, boxes - 1.0);
        const int a = int(f);
        return Between { a, std::min(a + 1, boxes - 1), f - a };
    }
    // A per-box value at a frame position, read between box centres.
    static double At(const std::vector<double>& boxes, int nx, Between c, Between r)
    {
        const double* top = &boxes[size_t(r.a) * nx];
        const double* bottom = &boxes[size_t(r.b) * nx];
        return (top[c.a] * (1 - c.t) + top[c.b] * c.t) * (1 - r.t)
            + (bottom[c.a] * (1 - c.t) + bottom[c.b] * c.t) * r.t;
    }
    double NoiseAt(double x, double y) const { return At(noise, nx, Span(x, bw, nx), Span(y, bh, ny)); }
};

template <class T> Mesh MakeMesh(const void* frame, int width, int height)
{
    Mesh m;
    m.nx = std::max(1, (width + kBox / 2) / kBox);
    m.ny = std::max(1, (height + kBox / 2) / kBox);
    m.bw = double(width) / m.nx;
    m.bh = double(height) / m.ny;
    std::vector<double> level(size_t(m.nx) * m.ny), deviation(level.size()), box;
#pragma omp parallel
    {
        std::vector<uint32_t> values, spare;
#pragma omp for schedule(dynamic)
        for (int k = 0; k < m.nx * m.ny; ++k) {
            const int i = k % m.nx, j = k / m.nx;
            values.clear();
            for (int y = int(j * m.bh); y < int((j + 1) * m.bh); ++y)
                for (int x = int(i * m.bw); x < int((i + 1) * m.bw); ++x)
                    values.push_back(Pixels<T>(frame)[size_t(y) * width + x]);
            std::tie(level[k], deviation[k]) = Clipped(values, spare);
        }
    }
    m.level.resize(level.size());
    m.noise.resize(level.size());
    for (int j = 0; j < m.ny; ++j)
        for (int i = 0; i < m.nx; ++i)
            for (auto [from, to] : { std::pair { &level, &m.level }, { &deviation, &m.noise } }) {
                box.clear();
                for (int v = std::max(0, j - 1); v <= std::min(m.ny - 1, j + 1); ++v)
                    for (int u = std::max(0, i - 1); u <= std::min(m.nx - 1, i + 1); ++u)
                        box.push_back((*from)[size_t(v) * m.nx + u]);
                (*to)[size_t(j) * m.nx + i] = Median(box);
            }
    box = m.level;
    m.sky.level = Median(box);
    // Whole frame values carry at least their rounding's noise, a step over
    // sqrt(12): on a noise-free frame (a model, a test image) SNRs stay
    // finite and a flat sky at the frame's top is no saturation level.
    m.sky.noise = std::max(Median(deviation), 1 / std::sqrt(12.0));
    return m;
}

// std::clamp(std::round(v), 0, UINT32_MAX), without the library call.
uint32_t RoundToU32(double v)
{
    if (!(v > 0))
        return 0;
    if (v >= double(UINT32_MAX))
        return UINT32_MAX;
    const uint64_t whole = uint64_t(v);
    return uint32_t(whole + (v - double(whole) >= 0.5));
}

// The frame padded by kPad on every side, as 32-bit values (one code path
// for both depths and for binned sums): `raw` as it is, `flat` with the
// background map replaced by the sky's median level, so that one start
// level serves the whole frame, on a galaxy or a gradient too. The padding
// is sky-like noise: a constant would shrink the windows' deviations at the
// edges and let noise there pass as stars.
template <class T> void Planes(const void* frame, int width, int height, const Mesh& mesh, Plane& raw, Plane& flat)
{
    raw.width = flat.width = width + 2 * kPad;
    raw.height = flat.height = height + 2 * kPad;
    raw.v.resize(size_t(raw.width) * raw.height);
    flat.v.resize(raw.v.size());
    std::mt19937 random(20261207);
    std::normal_distribution<double> normal(mesh.sky.level, std::max(mesh.sky.noise, 1e-9));
    for (int y = 0; y < raw.height; ++y) {
        const bool inside = y >= kPad && y < height + kPad;
        for (int x = 0; x < raw.width; x = inside && x == kPad - 1 ? width + kPad : x + 1) {
            const size_t i = raw.Index(x, y);
            raw.v[i] = flat.v[i]
                = static_cast<uint32_t>(std::clamp(std::round(normal(random)), 0.0, double(UINT32_MAX)));
        }
    }
    // Where each column falls between box centres, worked out once.
    std::vector<Mesh::Between> columns(width);
    for (int x = 0; x < width; ++x)
        columns[x] = Mesh::Span(x, mesh.bw, mesh.nx);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; ++y) {
        const Mesh::Between r = Mesh::Span(y, mesh.bh, mesh.ny);
        for (int x = 0; x < width; ++x) {
            const double v = Pixels<T>(frame)[size_t(y) * width + x];
            const double at = Mesh::At(mesh.level, mesh.nx, columns[x], r);
            raw.v[raw.Index(x + kPad, y + kPad)] = uint32_t(v);
            flat.v[flat.Index(x + kPad, y + kPad)] = RoundToU32(v - at + mesh.sky.level);
        }
    }
}

// The star's pixels: 4-connected groups of the bits a pass added to the
// mask, each report matched to the group under its rounded centroid (or the
// nearest one within 3 pixels). `label` is scratch, -1 for every pixel on
// entry and on return (only the added pixels are touched).
std::vector<std::vector<size_t>> Groups(const std::vector<unsigned>& before, const std::vector<unsigned>& after,
    int width, int height, const std::vector<Report>& reports, std::vector<int>& label)
{
    const size_t n = size_t(width) * height;
    if (label.size() != n)
        label.assign(n, -1);
    std::vector<std::vector<size_t>> groups;
    std::vector<size_t> stack;
    auto fresh = [&](size_t i) { return Bit(after, i) && !Bit(before, i); };
    for (size_t w = 0; w < after.size(); ++w)
        for (unsigned bits = after[w] & ~before[w]; bits; bits &= bits - 1) {
            const size_t i = w * 32 + size_t(__builtin_ctz(bits));
            if (i >= n || label[i] >= 0)
                continue;
            const int id = int(groups.size());
            groups.emplace_back();
            stack.assign(1, i);
            label[i] = id;
            while (!stack.empty()) {
                const size_t j = stack.back();
                stack.pop_back();
                groups[id].push_back(j);
                const int x = int(j % width), y = int(j / width);
                const size_t next[4] = { j - 1, j + 1, j - width, j + width };
                const bool inside[4] = { x > 0, x + 1 < width, y > 0, y + 1 < height };
                for (int d = 0; d < 4; ++d)
                    if (inside[d] && label[next[d]] < 0 && fresh(next[d])) {
                        label[next[d]] = id;
                        stack.push_back(next[d]);
                    }
            }
        }
    std::vector<std::vector<size_t>> result(reports.size());
    for (size_t r = 0; r < reports.size(); ++r) {
        int best = -1;
        double bestD = 1e9;
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx) {
                const int x = reports[r].x + dx, y = reports[r].y + dy;
                if (x < 0 || y < 0 || x >= width || y >= height)
                    continue;
                const int id = label[size_t(y) * width + x];
                const double d = (x - reports[r].cx) * (x - reports[r].cx) + (y - reports[r].cy) * (y - reports[r].cy);
                if (id >= 0 && d < bestD) {
                    best = id;
                    bestD = d;
                }
            }
        if (best >= 0)
            result[r] = groups[best];
    }
    for (const auto& group : groups)
        for (size_t j : group)
            label[j] = -1;
    return result;
}

// The measures of one star over its pixels in the padded original `p`, with
// the background B its window measured.
struct Measurer {
    const Plane& p; // flattened
    const Plane& raw;
    const Mesh& mesh;
    const std::vector<bool>& outside; // pixels outside the data (see Outside), or empty
    int width, height; // the frame's, without the padding
    double saturation;
    double fwhm; // the frame's
    std::vector<int> seen; // half-maximum fill scratch, one generation number per pixel
    int generation = 0;

    // The pixel (x, y) of the frame, inside it, is outside the data or next to it.
    bool Beside(int x, int y) const
    {
        if (outside.empty() || x < 0 || y < 0 || x >= width || y >= height)
            return false;
        const size_t i = size_t(y) * width + x;
        return outside[i] || (x > 0 && outside[i - 1]) || (x + 1 < width && outside[i + 1])
            || (y > 0 && outside[i - width]) || (y + 1 < height && outside[i + width]);
    }

    bool Measure(const std::vector<size_t>& pixels, double flux, double cx, double cy, Star& s)
    {
        if (pixels.empty() || !(flux > 0))
            return false;
        // The core: the brightest pixel within 2 pixels of the centroid (a
        // hot pixel or cosmic ray in a star's wings is not its peak).
        double sum = 0;
        size_t top = pixels[0], core = SIZE_MAX;
        bool edge = false;
        for (size_t i : pixels) {
            sum += p.v[i];
            if (raw.v[i] > raw.v[top])
                top = i;
            const double dx = double(i % p.width) - cx, dy = double(i / p.width) - cy;
            if (dx * dx + dy * dy <= 4 && (core == SIZE_MAX || p.v[i] > p.v[core]))
                core = i;
            const int x = int(i % p.width) - kPad, y = int(i / p.width) - kPad;
            edge = edge || x <= 0 || y <= 0 || x >= width - 1 || y >= height - 1 || Beside(x, y);
        }
        if (core == SIZE_MAX)
            core = top;
        // A star's core is the highest point around it: a group on the slope
        // of a brighter star (a fragment of its wings left by the cleaning)
        // is not a star.
        const int reach = std::clamp(int(fwhm / 2), 2, kPad);
        for (int dy = -reach; dy <= reach; ++dy)
            for (int dx = -reach; dx <= reach; ++dx)
                if (dx * dx + dy * dy <= reach * reach + 1 && p.v[core + ptrdiff_t(dy) * p.width + dx] > p.v[core])
                    return false;
        const double b = (sum - flux) / double(pixels.size());
        const double peak = p.v[core], amp = peak - b;
        // Against the noise of the background about the star: the sky's, or
        // more where a galaxy's or a nebula's light adds its own.
        auto snr = [&](double x, double y) {
            const double local = std::max(mesh.sky.noise, mesh.NoiseAt(x, y));
            return local > 0 ? flux / (local * std::sqrt(double(pixels.size()))) : std::numeric_limits<double>::infinity();
        };
        // A faint star's brightest pixels may be noise up to about a FWHM
        // from its centre.
        Windowed(b, cx, cy, snr(cx - kPad, cy - kPad) < 20);
        s.cx = cx - kPad;
        s.cy = cy - kPad;
        s.x = int(s.cx + 0.5);
        s.y = int(s.cy + 0.5);
        s.flux = flux;
        s.peak = raw.v[top];
        s.pixels = pixels.size();
        s.snr = snr(s.cx, s.cy);
        s.flags = (edge ? kEdge : 0u) | (raw.v[top] >= saturation ? kSaturated : 0u);
        double mxx = 0, myy = 0, mxy = 0, w = 0;
        for (size_t i : pixels) {
            const double d = std::max(0.0, p.v[i] - b);
            const double dx = double(i % p.width) - cx, dy = double(i / p.width) - cy;
            mxx += d * dx * dx;
            myy += d * dy * dy;
            mxy += d * dx * dy;
            w += d;
        }
        if (w > 0) {
            mxx /= w;
            myy /= w;
            mxy /= w;
        }
        const double mid = (mxx + myy) / 2, half = std::sqrt((mxx - myy) * (mxx - myy) / 4 + mxy * mxy);
        const double major = mid + half, minor = mid - half;
        s.elongation = minor > 1e-9 ? std::sqrt(major / minor) : (major > 1e-9 ? 99.0 : 1.0);
        if (amp <= 0) {
            s.sharpness = 0;
            s.fwhm = 0;
            return true;
        }
        double around = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (dx != 0 || dy != 0)
                    around += p.v[core + ptrdiff_t(dy) * p.width + dx];
        s.sharpness = (peak - around / 8) / amp;
        s.fwhm = 2 * std::sqrt(double(HalfMaximumArea(core, b + amp / 2)) / kPi);
        return true;
    }

    // The centroid weighted by a Gaussian of the stars' width about itself,
    // iterated from the group's centroid (as Source Extractor's windowed
    // positions), out to 2.5 sigma (farther out a crowded field's
    // neighbours add more light than the star): the wings of neighbours and
    // the group's ragged edge weigh little. Left as it was when the
    // iteration wanders off more than half a FWHM, or a whole one when `far`.
    //
    // Beside a much brighter star centred at (ox, oy), whose wing would
    // still lean the position towards it, each pixel counts less the light
    // at its mirror image through that centre (read between pixels): that
    // is the brighter star's own light at the pixel, its profile being
    // symmetric, and the background cancels with it. Pixels whose image
    // lies off the plane are left out.
    void Windowed(double b, double& cx, double& cy, bool far, double ox = NAN, double oy = NAN) const
    {
        const double sigma = std::max(fwhm, 1.0) / 2.3548, r = std::min(2.5 * sigma, double(kPad - 1));
        const bool mirror = !std::isnan(ox);
        auto light = [&](int i, int j, double& v) {
            v = double(p.v[p.Index(i, j)]);
            if (!mirror) {
                v -= b;
                return true;
            }
            const double u = 2 * ox - i, w = 2 * oy - j;
            const int i0 = int(std::floor(u)), j0 = int(std::floor(w));
            if (i0 < 0 || j0 < 0 || i0 + 1 >= p.width || j0 + 1 >= p.height)
                return false;
            const double fu = u - i0, fw = w - j0;
            const size_t k = p.Index(i0, j0);
            v -= (1 - fw) * ((1 - fu) * p.v[k] + fu * p.v[k + 1])
                + fw * ((1 - fu) * p.v[k + p.width] + fu * p.v[k + p.width + 1]);
            return true;
        };
        double x = cx, y = cy;
        for (int round = 0; round < 16; ++round) {
            double sw = 0, sx = 0, sy = 0;
            for (int j = int(std::floor(y - r)); j <= int(std::ceil(y + r)); ++j)
                for (int i = int(std::floor(x - r)); i <= int(std::ceil(x + r)); ++i) {
                    const double dx = i - x, dy = j - y, d2 = dx * dx + dy * dy;
                    double v;
                    if (d2 > r * r || i < 0 || j < 0 || i >= p.width || j >= p.height || !light(i, j, v))
                        continue;
                    const double w = std::exp(-d2 / (2 * sigma * sigma)) * v;
                    sw += w;
                    sx += w * dx;
                    sy += w * dy;
                }
            if (!(sw > 0))
                return;
            const double mx = 2 * sx / sw, my = 2 * sy / sw;
            x += mx;
            y += my;
            if (std::hypot(x - cx, y - cy) > std::max(1.0, far ? fwhm : fwhm / 2))
                return;
            if (mx * mx + my * my < 1e-8)
                break;
        }
        cx = x;
        cy = y;
    }

    // Pixels 4-connected to `top` at or above `level`, within 100 pixels of it.
    size_t HalfMaximumArea(size_t top, double level)
    {
        if (seen.empty())
            seen.assign(p.v.size(), 0);
        ++generation;
        const int tx = int(top % p.width), ty = int(top / p.width);
        std::vector<size_t> stack { top };
        seen[top] = generation;
        size_t area = 0;
        while (!stack.empty()) {
            const size_t j = stack.back();
            stack.pop_back();
            ++area;
            const int x = int(j % p.width), y = int(j / p.width);
            const size_t next[4] = { j - 1, j + 1, j - p.width, j + p.width };
            const bool inside[4] = { x > 0 && x > tx - 100, x + 1 < p.width && x<tx + 100, y> 0 && y > ty - 100,
                y + 1 < p.height && y < ty + 100 };
            for (int d = 0; d < 4; ++d)
                if (inside[d] && seen[next[d]] != generation && p.v[next[d]] >= level) {
                    seen[next[d]] = generation;
                    stack.push_back(next[d]);
                }
        }
        return area;
    }
};

// Sets a star's pixels and those within kCleanMargin of them to its
// background, in the working copy.
void Clean(Plane& work, const std::vector<size_t>& pixels, double background)
{
    const uint32_t b = static_cast<uint32_t>(std::max(0.0, std::round(background)));
    for (size_t i : pixels) {
        const int x = int(i % work.width), y = int(i / work.width);
        for (int dy = -kCleanMargin; dy <= kCleanMargin; ++dy)
            for (int dx = -kCleanMargin; dx <= kCleanMargin; ++dx) {
                const int u = x + dx, v = y + dy;
                if (u >= 0 && v >= 0 && u < work.width && v < work.height)
                    work.v[work.Index(u, v)] = b;
            }
    }
}

void Detect(bool parallel, int r, double k, int q, uint32_t start, Plane& plane, std::vector<unsigned>& mask,
    std::vector<Report>& reports)
{
    auto* find = parallel ? &tamrix::FindStars : &tamrix::FindStars1C;
    find(r, k, q, start, plane.v.data(), plane.width, plane.height, 4, mask.data(), &reports, Collect);
}

// The typical full width at half maximum of the frame's stars in pixels,
// over up to 100 of the highest unsaturated isolated peaks 10 noise
// deviations above the sky in the flattened frame, with light on at least
// three of their four sides: 2 sqrt(A / pi), A the
// area at or above half the peak's height. 0 when there is none.
double FwhmOf(const Plane& flat, const Plane& raw, const Sky& sky, uint32_t saturation)
{
    const uint32_t* px = flat.v.data();
    const int width = flat.width, height = flat.height;
    const double floor = sky.level + 10 * sky.noise;
    struct Peak {
        double value;
        int x, y;
    };
    std::vector<Peak> peaks;
    for (int y = kPad; y < height - kPad; ++y)
        for (int x = kPad; x < width - kPad; ++x) {
            const size_t i = size_t(y) * width + x;
            const double v = px[i];
            if (v < floor || raw.v[i] >= saturation)
                continue;
            bool top = true;
            for (int dy = -1; dy <= 1 && top; ++dy)
                for (int dx = -1; dx <= 1 && top; ++dx)
                    if ((dx || dy) && px[i + ptrdiff_t(dy) * width + dx] >= v)
                        top = false;
            // A star's light spreads to its sides, even undersampled (about
            // 15 % of its height at a FWHM of 1 pixel); a hot pixel's or a
            // cosmic-ray hit's mostly does not.
            int sides = 0;
            for (const ptrdiff_t d : { ptrdiff_t(-1), ptrdiff_t(1), -ptrdiff_t(width), ptrdiff_t(width) })
                sides += px[i + d] >= sky.level + 0.05 * (v - sky.level);
            if (top && sides >= 3)
                peaks.push_back(Peak { v, x, y });
        }
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.value > b.value; });
    std::vector<std::pair<double, double>> widths; // FWHM, weight
    for (const Peak& pk : peaks) {
        if (widths.size() >= 100)
            break;
        // The half-maximum area in a box of +-30 pixels; a peak whose area
        // reaches the box or holds a pixel at saturation is no measure.
        const double half = sky.level + (pk.value - sky.level) / 2;
        std::vector<std::pair<int, int>> stack { { pk.x, pk.y } };
        std::vector<char> seen(61 * 61, 0);
        seen[30 * 61 + 30] = 1;
        size_t area = 0;
        bool clear = true;
        while (!stack.empty() && clear) {
            const auto [x, y] = stack.back();
            stack.pop_back();
            ++area;
            const int nx[4] = { x - 1, x + 1, x, x }, ny[4] = { y, y, y - 1, y + 1 };
            for (int d = 0; d < 4; ++d) {
                const int bx = nx[d] - pk.x + 30, by = ny[d] - pk.y + 30;
                if (bx < 0 || by < 0 || bx > 60 || by > 60 || nx[d] < 0 || ny[d] < 0 || nx[d] >= width
                    || ny[d] >= height) {
                    clear = false;
                    break;
                }
                const double v = px[size_t(ny[d]) * width + nx[d]];
                if (seen[by * 61 + bx] || v < half)
                    continue;
                if (v > pk.value)
                    clear = false; // a brighter neighbour: not isolated
                seen[by * 61 + bx] = 1;
                stack.push_back({ nx[d], ny[d] });
            }
        }
        if (clear)
            widths.push_back({ 2 * std::sqrt(double(area) / kPi), double(area) * (pk.value - sky.level) });
    }
    if (widths.empty())
        return 0;
    // The median, unless it is compact (at most 2 pixels at half maximum)
    // while most of the peaks' flux lies in resolved ones at least 2.5 times
    // wider: then cosmic rays and hot pixels outnumber the stars among the
    // highest peaks (short exposures), and the flux-weighted median is the
    // stars' width.
    std::vector<double> plain;
    double total = 0, sum = 0;
    for (const auto& w : widths) {
        plain.push_back(w.first);
        total += w.second;
    }
    const double median = Median(plain);
    for (const auto& w : widths)
        if ((sum += w.second) >= total / 2)
            return median <= 2 * std::sqrt(2 / kPi) && w.first >= 2.5 * median ? w.first : median;
    return median;
}

// Data clipped below the type's full scale (by a 12- or 14-bit converter, or
// a camera's own ceiling) pile their saturated pixels up at one value: the
// frame's highest, when at least three pixels hold it 50 noise deviations or
// more above the sky. Otherwise the full scale.
template <class T> uint32_t SaturationOf(const void* frame, size_t n, const Sky& sky)
{
    const T* px = Pixels<T>(frame);
    T top = 0;
#pragma omp parallel for reduction(max : top)
    for (size_t i = 0; i < n; ++i)
        top = std::max(top, px[i]);
    size_t held = 0;
#pragma omp parallel for reduction(+ : held)
    for (size_t i = 0; i < n; ++i)
        held += px[i] == top;
    const bool clipped = held >= 3 && double(top) >= sky.level + 50 * sky.noise;
    return clipped ? uint32_t(top) : uint32_t(std::numeric_limits<T>::max());
}

// Pixels outside the data: those the caller says are undefined (NaN or
// BLANK in a file, which hold some stand-in value), and the fill that a
// registered or stacked frame often puts where no exposure reached: the
// frame's lowest value, when it fills at least 0.5 % of the frame and lies 10
// deviations below the median of the other values. They are read as noise
// about that median, as the padding is, so that the step at the data's edge
// is no star and a frame mostly undefined keeps its sky's noise; a star that
// reaches them is cut as at the frame's edge. Empty when there are none.
template <class T>
std::vector<bool> Outside(const void* frame, size_t n, const std::vector<bool>* undefined, std::vector<T>& filled)
{
    const T* px = Pixels<T>(frame);
    auto defined = [&](size_t i) { return !undefined || !(*undefined)[i]; };
    T low = std::numeric_limits<T>::max();
#pragma omp parallel for reduction(min : low)
    for (size_t i = 0; i < n; ++i)
        if (defined(i))
            low = std::min(low, px[i]);
    size_t count = 0;
#pragma omp parallel for reduction(+ : count)
    for (size_t i = 0; i < n; ++i)
        count += defined(i) && px[i] == low;
    const bool candidate = count >= std::max<size_t>(64, n / 200);
    const bool marked = undefined && std::find(undefined->begin(), undefined->end(), true) != undefined->end();
    if (!candidate && !marked)
        return {}; // most frames: nothing to sample
    // The rest's median and spread, and its noise from the differences of
    // neighbours along rows (which a gradient or a galaxy does not widen).
    std::vector<double> rest, deviation, steps;
    auto data = [&](size_t i) { return defined(i) && !(candidate && px[i] == low); };
    for (size_t i = 0; i + 1 < n; i += std::max<size_t>(1, n / 65536))
        if (data(i)) {
            rest.push_back(px[i]);
            if (data(i + 1))
                steps.push_back(double(px[i + 1]) - double(px[i]));
        }
    if (rest.size() < 64 || steps.size() < 64)
        return {};
    const double median = Median(rest);
    for (const double v : rest)
        deviation.push_back(std::abs(v - median));
    const bool fill = candidate && low + 10 * 1.4826 * Median(deviation) < median;
    if (!fill && !marked)
        return {};
    std::vector<bool> outside(n);
    filled.assign(px, px + n);
    std::mt19937 random(20261208);
    const double step = Median(steps);
    for (double& v : steps)
        v = std::abs(v - step);
    std::normal_distribution<double> noise(median, std::max(1.4826 * Median(steps) / std::sqrt(2.0), 1e-9));
    for (size_t i = 0; i < n; ++i)
        if (!defined(i) || (fill && px[i] == low)) {
            outside[i] = true;
            filled[i] = T(std::clamp(std::round(noise(random)), 0.0, double(std::numeric_limits<T>::max())));
        }
    return outside;
}

template <class T> Result Find(const void* given, int width, int height, const Options& o, const unsigned* callerMask)
{
    std::vector<T> filled;
    const std::vector<bool> outside = Outside<T>(given, size_t(width) * height, o.undefined, filled);
    const void* frame = outside.empty() ? given : filled.data();
    Result result;
    const double full = double(std::numeric_limits<T>::max());
    const Mesh mesh = MakeMesh<T>(frame, width, height);
    result.sky = mesh.sky;
    const Sky& sky = result.sky;
    const uint32_t saturation = o.saturation ? *o.saturation : SaturationOf<T>(frame, size_t(width) * height, sky);
    result.saturation = saturation;
    Plane raw, original;
    Planes<T>(frame, width, height, mesh, raw, original);
    result.fwhm = FwhmOf(original, raw, sky, saturation);
    result.radius = o.radius ? *o.radius : std::clamp(int(std::ceil(1.5 * result.fwhm)) + 2, 3, kLargestRadius);
    result.startLevel = o.startLevel ? *o.startLevel
                                     : uint32_t(std::clamp(std::ceil(sky.level + o.startSigma * sky.noise), 0.0, full));

    Plane work = original;
    std::vector<unsigned> mask((work.v.size() + 31) / 32, 0u);
    if (callerMask)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const size_t i = size_t(y) * width + x, j = work.Index(x + kPad, y + kPad);
                if ((callerMask[i / 32] >> (i % 32)) & 1u)
                    mask[j / 32] |= 1u << (j % 32);
            }

    Measurer measurer { original, raw, mesh, outside, width, height, double(saturation), result.fwhm, {}, 0 };
    std::vector<Star> stars;
    auto keep
        = [&](const std::vector<Report>& reports, const std::vector<std::vector<size_t>>& groups, unsigned flags) {
              for (size_t i = 0; i < reports.size(); ++i) {
                  Star s;
                  if (!measurer.Measure(groups[i], reports[i].flux, reports[i].cx, reports[i].cy, s))
                      continue;
                  if (s.cx < -0.5 || s.cy < -0.5 || s.cx >= width - 0.5 || s.cy >= height - 0.5)
                      continue;
                  s.flags |= flags;
                  stars.push_back(s);
              }
          };
    // The background a report's window measured: flux sums value - B over
    // the star's pixels.
    auto background = [&](const Report& rep, const std::vector<size_t>& group) {
        double sum = 0;
        for (size_t j : group)
            sum += original.v[j];
        return (sum - rep.flux) / double(group.size());
    };
    // Median of the square ring at distance d around a report.
    auto ring = [&](const Report& rep, int d) {
        std::vector<double> values;
        const int cx = int(rep.cx + 0.5), cy = int(rep.cy + 0.5);
        for (int t = -d; t <= d; ++t)
            for (const auto& [x, y] :
                { std::pair { cx + t, cy - d }, { cx + t, cy + d }, { cx - d, cy + t }, { cx + d, cy + t } })
                if (x >= 0 && y >= 0 && x < original.width && y < original.height)
                    values.push_back(original.v[original.Index(x, y)]);
        return Median(values);
    };
    // A window that lay inside a star's own wings, or held a bright
    // neighbour, measured a background well above the sky around it (the
    // ring at 2r + 2): the star's flux and width came out too small.
    auto raised = [&](const Report& rep, const std::vector<size_t>& group, int r) {
        const double b = background(rep, group);
        return b - ring(rep, 2 * r + 2) > std::max(3 * sky.noise, 0.02 * (rep.peak - b));
    };
    // The star's own wings reach the window's edge: too large for it (a
    // neighbour raises the edge's median little).
    auto tooLarge = [&](const Report& rep, int r) { return ring(rep, r) - ring(rep, 2 * r + 2) > 3 * sky.noise; };
    auto unclaim = [&](const std::vector<size_t>& group) {
        for (size_t j : group)
            mask[j / 32] &= ~(1u << (j % 32));
    };

    if (o.network) {
        // The network's groups; each is measured from the flattened copy's
        // peak nearest uphill of its centroid, over the pixels 4-connected to it
        // downhill (within 2 noise deviations) and at least k noise
        // deviations above the ring around it; brightest
        // first, and a group whose highest pixel a brighter star's pixels
        // hold is a fragment of it unless that pixel is a strict peak at
        // least 2.5 pixels and 0.7 FWHM from that star's (a close companion).
        std::vector<Report> reports;
        {
            std::vector<unsigned> groups((size_t(width) * height + 31) / 32);
            tamrix::FindStarsNN(o.network, o.networkRadius, o.level, const_cast<void*>(frame), width, height,
                int(sizeof(T)), groups.data(), &reports, Collect);
        }
        // Stars wider than the network's window holds well (FWHM 6 px and
        // more) are looked for also on a copy binned so that they are about
        // 4 px wide there; its
        // groups only seed the climb to each star's peak on the frame itself.
        const int bin = std::clamp(int(std::lround(result.fwhm / 4)), 1, 8);
        const int bw = width / bin, bh = height / bin;
        if (bin > 1 && bw > 2 * o.networkRadius && bh > 2 * o.networkRadius) {
            // Block sums of 16-bit pixels fit 32 bits; 32-bit ones are
            // averaged (the network scales each window to its own range).
            const T* px = static_cast<const T*>(frame);
            std::vector<uint32_t> binned(size_t(bw) * bh);
            for (int y = 0; y < bh; ++y)
                for (int x = 0; x < bw; ++x) {
                    uint64_t sum = 0;
                    for (int j = 0; j < bin; ++j)
                        for (int i = 0; i < bin; ++i)
                            sum += px[size_t(y * bin + j) * width + size_t(x * bin + i)];
                    binned[size_t(y) * bw + x] = uint32_t(sizeof(T) == 2 ? sum : sum / uint64_t(bin * bin));
                }
            std::vector<unsigned> groups((binned.size() + 31) / 32);
            std::vector<Report> coarse;
            tamrix::FindStarsNN(o.network, o.networkRadius, o.level, binned.data(), bw, bh, 4, groups.data(),
                &coarse, Collect);
            for (Report rep : coarse) {
                rep.x = rep.x * bin + bin / 2;
                rep.y = rep.y * bin + bin / 2;
                reports.push_back(rep);
            }
        }
        const int ringAt = std::clamp(int(std::ceil(1.5 * result.fwhm)) + 3, 4, kPad - 1);
        const double reach = std::clamp(2 * result.fwhm + 2, 4.0, double(kPad - 1));
        std::vector<size_t> cores, stack;
        // Uphill from the group's centroid to the highest pixel within the
        // disc the measure checks a star's core against.
        const int climb = std::clamp(int(result.fwhm / 2), 2, kPad);
        for (const Report& rep : reports) {
            size_t core = original.Index(rep.x + kPad, rep.y + kPad);
            for (int step = 0; step < 4 * kPad; ++step) {
                const int cx = int(core % original.width), cy = int(core / original.width);
                size_t best = core;
                for (int dy = -climb; dy <= climb; ++dy)
                    for (int dx = -climb; dx <= climb; ++dx) {
                        const int x = cx + dx, y = cy + dy;
                        if (dx * dx + dy * dy <= climb * climb + 1 && x >= 0 && y >= 0 && x < original.width
                            && y < original.height && original.v[original.Index(x, y)] > original.v[best])
                            best = original.Index(x, y);
                    }
                if (best == core)
                    break;
                core = best;
            }
            cores.push_back(core);
        }
        std::vector<size_t> order(reports.size());
        for (size_t n = 0; n < order.size(); ++n)
            order[n] = n;
        std::stable_sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return original.v[cores[a]] > original.v[cores[b]]; });
        std::vector<int> seen(original.v.size(), -1);
        std::vector<int> owner(original.v.size(), -1); // index into cores of the star holding a pixel
        for (const size_t n : order) {
            const size_t core = cores[n];
            const size_t w = original.width;
            const size_t around[8]
                = { core - 1, core + 1, core - w, core + w, core - w - 1, core - w + 1, core + w - 1, core + w + 1 };
            bool strict = true;
            for (const size_t next : around)
                strict = strict && original.v[next] < original.v[core];
            if (owner[core] >= 0) {
                const size_t other = cores[size_t(owner[core])];
                const double apart = std::hypot(double(core % original.width) - double(other % original.width),
                    double(core / original.width) - double(other / original.width));
                if (!strict || apart < std::max(2.5, 0.7 * result.fwhm))
                    continue;
            }
            Report rep = reports[n];
            rep.cx = double(core % original.width);
            rep.cy = double(core / original.width);
            const double b = ring(rep, ringAt), threshold = b + o.k * sky.noise;
            std::vector<size_t> pixels;
            stack.assign(1, core);
            seen[core] = int(n);
            while (!stack.empty()) {
                const size_t j = stack.back();
                stack.pop_back();
                pixels.push_back(j);
                for (const size_t next : { j - 1, j + 1, j - original.width, j + original.width }) {
                    const double dx = double(next % original.width) - rep.cx,
                                 dy = double(next / original.width) - rep.cy;
                    if (seen[next] != int(n) && dx * dx + dy * dy <= reach * reach && original.v[next] >= threshold
                        && original.v[next] <= original.v[j] + 2 * sky.noise) {
                        seen[next] = int(n);
                        stack.push_back(next);
                    }
                }
            }
            double flux = 0, sx = 0, sy = 0;
            for (size_t j : pixels) {
                const double d = original.v[j] - b;
                flux += d;
                sx += d * double(j % original.width);
                sy += d * double(j / original.width);
            }
            if (flux > 0) {
                rep.cx = sx / flux;
                rep.cy = sy / flux;
            }
            rep.flux = flux;
            // A star's light spreads: at least three of the core's eight
            // neighbours stand 2 noise deviations above the ring (noise
            // peaks and hot pixels stand alone).
            int lit = 0;
            for (const size_t next : around)
                lit += original.v[next] >= b + 2 * sky.noise;
            if (lit < 3)
                continue;
            for (size_t j : pixels)
                if (owner[j] < 0)
                    owner[j] = int(n);
            keep({ rep }, { pixels }, 0u);
        }
        // A star within two FWHM of a brighter one whose light does not dip
        // at least 3 noise deviations below its own top on the way there is
        // a bump on that star's wings (or the far side of a pair too close
        // to part), not a star of its own. `stars` runs brightest first.
        auto value = [&](double x, double y) {
            const int i = std::clamp(int(std::lround(x)) + kPad, 0, original.width - 1),
                      j = std::clamp(int(std::lround(y)) + kPad, 0, original.height - 1);
            return double(original.v[original.Index(i, j)]);
        };
        const double near = std::max(3.0, 2 * result.fwhm);
        std::vector<Star> parted;
        for (const Star& s : stars) {
            double top = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    top = std::max(top, value(s.cx + dx, s.cy + dy));
            bool bump = false;
            for (size_t n = 0; n < parted.size() && !bump; ++n) {
                const Star& b = parted[n];
                const double apart = std::hypot(s.cx - b.cx, s.cy - b.cy);
                if (apart > near)
                    continue;
                double saddle = top;
                for (int t = 1, steps = int(std::ceil(2 * apart)); t < steps; ++t)
                    saddle
                        = std::min(saddle, value(s.cx + (b.cx - s.cx) * t / steps, s.cy + (b.cy - s.cy) * t / steps));
                bump = top - saddle < 3 * sky.noise;
            }
            if (!bump)
                parted.push_back(s);
        }
        stars.swap(parted);
    } else {
        // First pass with the window from the stars' width, then the largest
        // window on what is left. Each runs again on what it left while it finds
        // more (at most 3 rounds): the library measures only the first star of a
        // window in raster order, so a star below another one is found once that
        // one is cleaned away. A star too large for a pass's window is left to
        // the next one.
        std::vector<int> radii { result.radius };
        if (!o.radius && o.largeStars && result.radius < kLargestRadius)
            radii.push_back(kLargestRadius);
        std::vector<int> label; // Groups' scratch
        std::vector<Report> deferred;
        std::vector<std::vector<size_t>> deferredPixels;
        auto near = [](const auto& list, double x, double y) {
            for (size_t i = 0; i < list.size(); ++i)
                if (std::hypot(list[i].cx - x, list[i].cy - y) < 4)
                    return i;
            return list.size();
        };
        for (int r : radii)
            for (int round = 0; round < 3; ++round) {
                const std::vector<unsigned> before = mask;
                std::vector<Report> reports;
                Detect(o.parallel, r, o.k, o.neighbours, result.startLevel, work, mask, reports);
                const auto groups = Groups(before, mask, work.width, work.height, reports, label);
                size_t found = 0;
                for (size_t i = 0; i < reports.size(); ++i) {
                    if (groups[i].empty())
                        continue;
                    const bool large = raised(reports[i], groups[i], r);
                    if (large && !o.radius) {
                        unclaim(groups[i]);
                        const size_t at = near(deferred, reports[i].cx, reports[i].cy);
                        if (at == deferred.size()) {
                            deferred.push_back(reports[i]);
                            deferredPixels.push_back(groups[i]);
                        } else {
                            deferred[at] = reports[i];
                            deferredPixels[at] = groups[i];
                        }
                        continue;
                    }
                    keep({ reports[i] }, { groups[i] }, !large ? 0u : tooLarge(reports[i], r) ? kTooLarge : kBlended);
                    Clean(work, groups[i], background(reports[i], groups[i]));
                    ++found;
                }
                if (found == 0)
                    break;
            }
        // The deferred stars that no later window held.
        for (size_t i = deferred.size(); i-- > 0;)
            if (near(stars, deferred[i].cx - kPad, deferred[i].cy - kPad) < stars.size()) {
                deferred.erase(deferred.begin() + i);
                deferredPixels.erase(deferredPixels.begin() + i);
            }

        // Stars beyond the largest window: a pass on a 2 x 2 binned copy of what
        // is left, whose pixels sum four. The copy is moved down by its lowest
        // value first, so that the sums cannot wrap (skipped when even that would
        // not do).
        std::vector<Report> large;
        std::vector<std::vector<size_t>> largePixels;
        const bool binnedPass = !o.radius && o.largeStars;
        uint32_t base = UINT32_MAX, highest = 0;
        if (binnedPass) {
#pragma omp parallel for reduction(min : base) reduction(max : highest)
            for (size_t i = 0; i < work.v.size(); ++i) {
                base = std::min(base, work.v[i]);
                highest = std::max(highest, work.v[i]);
            }
        }
        if (binnedPass && uint64_t(highest - base) * 4 <= UINT32_MAX && result.startLevel >= base) {
            for (uint32_t& value : work.v)
                value -= base;
            Plane binned;
            binned.width = work.width / 2;
            binned.height = work.height / 2;
            binned.v.resize(size_t(binned.width) * binned.height);
            tamrix::Bin(2, 2, work.v.data(), binned.v.data(), work.width, work.height, 4);
            std::vector<unsigned> bmask((binned.v.size() + 31) / 32, 0u);
            for (size_t j = 0; j < binned.v.size(); ++j) {
                const size_t x = 2 * (j % binned.width), y = 2 * (j / binned.width);
                for (size_t i :
                    { work.Index(x, y), work.Index(x + 1, y), work.Index(x, y + 1), work.Index(x + 1, y + 1) })
                    if (Bit(mask, i))
                        bmask[j / 32] |= 1u << (j % 32);
            }
            const std::vector<unsigned> before = bmask;
            std::vector<Report> reports;
            Detect(
                o.parallel, kLargestRadius, o.k, o.neighbours, 4 * (result.startLevel - base), binned, bmask, reports);
            const auto groups = Groups(before, bmask, binned.width, binned.height, reports, label);
            for (size_t i = 0; i < reports.size(); ++i) {
                Report r = reports[i];
                r.cx = 2 * r.cx + 0.5;
                r.cy = 2 * r.cy + 0.5;
                r.x = int(r.cx + 0.5);
                r.y = int(r.cy + 0.5);
                // Only large stars: the binned copy's depth would add faint ones
                // that the full-resolution passes rightly left.
                bool wanted = 4.0 * groups[i].size() >= kPi * kTooLargeRadius * kTooLargeRadius;
                for (const Report& d : deferred)
                    wanted = wanted || std::hypot(d.cx - r.cx, d.cy - r.cy) < 4;
                if (!wanted)
                    continue;
                std::vector<size_t> full4;
                for (size_t j : groups[i]) {
                    const size_t x = 2 * (j % binned.width), y = 2 * (j / binned.width);
                    full4.insert(full4.end(),
                        { work.Index(x, y), work.Index(x + 1, y), work.Index(x, y + 1), work.Index(x + 1, y + 1) });
                }
                large.push_back(r);
                largePixels.push_back(std::move(full4));
            }
        }
        keep(large, largePixels, kTooLarge);
        // A star that no window measured cleanly is kept as the largest window
        // measured it.
        for (size_t i = 0; i < deferred.size(); ++i)
            if (near(large, deferred[i].cx, deferred[i].cy) == large.size())
                keep(
                    { deferred[i] }, { deferredPixels[i] }, tooLarge(deferred[i], radii.back()) ? kTooLarge : kBlended);
    }
    // Pieces of one star (a star split by the network's groups, or found
    // again by a later pass) reach the same windowed centroid: the one of
    // most flux stays.
    const double same = std::max(1.0, 0.5 * result.fwhm);
    auto mergePieces = [&] {
        std::sort(stars.begin(), stars.end(), [](const Star& a, const Star& b) { return a.flux > b.flux; });
        std::vector<Star> kept;
        for (const Star& s : stars) {
            bool piece = false;
            for (const Star& k : kept)
                piece = piece || std::hypot(k.cx - s.cx, k.cy - s.cy) < same;
            if (!piece)
                kept.push_back(s);
        }
        stars.swap(kept);
    };
    mergePieces();
    // Blends: another star within the sum of the two radii (of their pixel
    // areas) plus 2 pixels. A star beside one of more than twice its flux
    // (the brightest such) is placed again without that one's light.
    std::sort(stars.begin(), stars.end(), [](const Star& a, const Star& b) { return a.cy < b.cy; });
    std::vector<size_t> brighter(stars.size(), SIZE_MAX);
    auto lean = [&](size_t faint, size_t bright) {
        if (stars[bright].flux > 2 * stars[faint].flux
            && (brighter[faint] == SIZE_MAX || stars[bright].flux > stars[brighter[faint]].flux))
            brighter[faint] = bright;
    };
    auto touching = [](const Star& a, const Star& b) {
        return std::hypot(a.cx - b.cx, a.cy - b.cy) < std::sqrt(a.pixels / kPi) + std::sqrt(b.pixels / kPi) + 2;
    };
    for (size_t i = 0; i < stars.size(); ++i) {
        for (size_t j = i + 1; j < stars.size() && stars[j].cy - stars[i].cy < 2 * kLargestRadius + 2; ++j) {
            if (touching(stars[i], stars[j])) {
                stars[i].flags |= kBlended;
                stars[j].flags |= kBlended;
                lean(i, j);
                lean(j, i);
            }
        }
    }
    std::vector<Star> placed = stars;
    for (size_t i = 0; i < stars.size(); ++i)
        if (brighter[i] != SIZE_MAX && !(stars[i].flags & kSaturated)) {
            // The brighter one's centre leans towards this one by a little
            // too: it is placed once without this one's light before this one
            // is placed for good.
            const Star& n = stars[brighter[i]];
            double x = stars[i].cx + kPad, y = stars[i].cy + kPad, nx = n.cx + kPad, ny = n.cy + kPad;
            measurer.Windowed(0, x, y, true, nx, ny);
            measurer.Windowed(0, nx, ny, true, x, y);
            x = stars[i].cx + kPad;
            y = stars[i].cy + kPad;
            measurer.Windowed(0, x, y, true, nx, ny);
            placed[i].cx = x - kPad;
            placed[i].cy = y - kPad;
            placed[i].x = int(placed[i].cx + 0.5);
            placed[i].y = int(placed[i].cy + 0.5);
        }
    stars.swap(placed);
    mergePieces(); // a piece of a star beside it placed onto it

    // Shape: the sharpness of the frame's clean bright stars of the measured
    // width is the PSF's; what is much sharper is a cosmic ray or a hot pixel.
    std::vector<double> sharp;
    for (const Star& s : stars)
        if (s.snr >= 20 && !(s.flags & (kEdge | kSaturated | kTooLarge)) && s.fwhm >= 0.7 * result.fwhm
            && s.fwhm <= 1.5 * result.fwhm)
            sharp.push_back(s.sharpness);
    if (o.rejectSharp && sharp.size() >= 2) {
        const double typical = Median(sharp);
        result.sharpLimit = typical + std::max(0.2, 0.4 * (1 - typical));
    }

    // A blend partner of at least a tenth of a star's flux: one that can
    // widen it or move its centroid (a fainter one can do neither much).
    auto partnered = [&](const Star& s) {
        for (const Star& n : stars)
            if (&n != &s && n.flux >= 0.1 * s.flux && touching(n, s))
                return true;
        return false;
    };
    for (const Star& s : stars) {
        // Much sharper than the stars, and either compact (a hit on one or
        // two pixels: undersampled faint stars of a frame whose bright ones
        // are wider stay) or a track.
        if (result.sharpLimit > 0 && s.sharpness > result.sharpLimit && !(s.flags & kSaturated)
            && (s.fwhm <= 0.4 * result.fwhm || s.elongation > 3))
            ++result.rejectedSharp;
        // A blend much wider than the stars, beside a partner of some
        // weight, is several of them, or a star on a galaxy, measured as
        // one: its position lies between them.
        else if ((s.flags & kBlended) && !(s.flags & (kSaturated | kTooLarge)) && s.fwhm > 2.5 * result.fwhm
            && partnered(s))
            ++result.rejectedBlend;
        else if (s.snr < o.minSnr)
            ++result.rejectedSnr;
        else if (s.fwhm > o.maxFwhm)
            ++result.rejectedFwhm;
        else
            result.stars.push_back(s);
    }
    std::sort(result.stars.begin(), result.stars.end(),
        [](const Star& a, const Star& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    return result;
}

} // namespace

Sky MeasureSky(const void* frame, int width, int height, int depth)
{
    return depth == 2 ? MakeMesh<uint16_t>(frame, width, height).sky : MakeMesh<uint32_t>(frame, width, height).sky;
}

uint32_t SaturationLevel(const void* frame, int width, int height, int depth)
{
    const Sky sky = MeasureSky(frame, width, height, depth);
    const size_t n = size_t(width) * height;
    return depth == 2 ? SaturationOf<uint16_t>(frame, n, sky) : SaturationOf<uint32_t>(frame, n, sky);
}

int NetworkRadius(const nnet::CNetwork& network)
{
    if (network.NumLayers < 2 || network.Layers[network.NumLayers - 1]->NumNeurons != 1)
        return -1;
    const int inputs = network.Layers[0]->NumNeurons;
    const int side = static_cast<int>(std::lround(std::sqrt(static_cast<double>(inputs))));
    return side * side == inputs && side % 2 == 1 ? (side - 1) / 2 : -1;
}

Result FindStars(const void* frame, int width, int height, int depth, const Options& options, const unsigned* mask)
{
    return depth == 2 ? Find<uint16_t>(frame, width, height, options, mask)
                      : Find<uint32_t>(frame, width, height, options, mask);
}

} // namespace tamrix::detect
