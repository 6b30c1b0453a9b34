// Classic star detection: a scan over every second row and column, a window
// measurement by local clipped statistics, and the claim mask that reports
// each star once.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/stars.h"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace tamrix {
namespace detail {
namespace {

// Accumulator widths of the window sums, exact for 2601 pixels: a sum of
// values stays below 2601 * 2^32 < 2^44, so 64 bits; a sum of squares of
// 16-bit values below 2601 * 2^32 < 2^44, 64 bits again, but of 32-bit values
// below 2601 * 2^64 < 2^76, which needs 128 bits. The exact sums are turned
// into doubles once. For 16-bit frames that is bit for bit what a running
// double sum gives (every partial sum is an integer below 2^53); for 32-bit
// frames it is the correctly rounded sum, where a running double sum of
// squares would lose low bits in an order-dependent way.
__extension__ typedef unsigned __int128 Uint128;

template <class Pixel>
using SquareSum = std::conditional_t<sizeof(Pixel) == 2, uint64_t, Uint128>;

template <class Pixel>
inline SquareSum<Pixel> Square(Pixel v)
{
    // 16-bit: the product of two uint32_t (uint16_t * uint16_t would be int
    // and overflow); 32-bit: a 64-bit product.
    using Product = std::conditional_t<sizeof(Pixel) == 2, uint32_t, uint64_t>;
    return static_cast<Product>(v) * static_cast<Product>(v);
}

// Variance as sum of squares / N - mean^2. For large 32-bit values the
// difference of two rounded doubles can come out slightly negative where the
// true variance is tiny; it is taken as 0 so that sqrt gives 0, not NaN.
inline double Variance(double squares, double mean, double count)
{
    const double var = squares / count - mean * mean;
    return var > 0.0 ? var : 0.0;
}

// Threshold truncated toward zero, kept signed: a negative threshold (from a
// negative detection factor) lets every pixel exceed it, and anything below
// -1 acts as -1. Above full scale no pixel can exceed it: the 16-bit limit of
// 65535, and the same saturation for 32-bit frames instead of a wrap.
template <class Pixel>
inline int64_t Threshold(double t)
{
    constexpr double full = static_cast<double>(kFullScale<Pixel>);
    if (!(t < full)) // also NaN: no pixel value compares above it
        return static_cast<int64_t>(kFullScale<Pixel>);
    if (t <= -1.0)
        return -1;
    return static_cast<int64_t>(t);
}

} // namespace

template <class Pixel>
bool MeasureStar(int x, int y, int r, double k, int q, const Pixel* frame, int width, int height,
                 uint8_t* component, MeasuredStar& star)
{
    // The window and a one-pixel margin around it lie inside the frame.
    if (r < kMinStarHalfSize || r > kMaxStarHalfSize || x <= r || y <= r || x + r >= width - 1 ||
        y + r >= height - 1)
        return false;
    // No pixel has more than 8 neighbours, and a negative count finds nothing.
    if (q < 0 || q > 8)
        return false;
    const int need = q == 0 ? 1 : q;
    const int n = 2 * r + 1;
    const int count = n * n;
    const std::ptrdiff_t stride = width;
    const Pixel* window = frame + (static_cast<std::ptrdiff_t>(y) - r) * stride + (x - r);

    // Raw statistics.
    uint64_t sum = 0;
    SquareSum<Pixel> squares = 0;
    for (int row = 0; row < n; ++row) {
        const Pixel* p = window + row * stride;
        for (int col = 0; col < n; ++col) {
            sum += p[col];
            squares += Square(p[col]);
        }
    }
    const double mu1 = static_cast<double>(sum) / count;
    const double s = 3.0 * std::sqrt(Variance(static_cast<double>(squares), mu1, count));

    // 3-sigma clip bounds; the 16-bit limit of hi is full scale.
    const uint64_t hiWide = TruncToUnsigned<uint64_t>(mu1 + s);
    const Pixel hi = hiWide > kFullScale<Pixel> ? kFullScale<Pixel> : static_cast<Pixel>(hiWide);
    const Pixel lo = s >= mu1 ? Pixel{0} : TruncToUnsigned<Pixel>(mu1 - s);

    // Clipped statistics. N > 0: at least 8/9 of the pixels lie within three
    // standard deviations of the mean, and the bounds only widen that range.
    uint64_t clippedCount = 0, clippedSum = 0;
    SquareSum<Pixel> clippedSquares = 0;
    for (int row = 0; row < n; ++row) {
        const Pixel* p = window + row * stride;
        for (int col = 0; col < n; ++col) {
            // Branch-free: whether a pixel is inside is unpredictable.
            const Pixel v = p[col];
            const uint32_t inside = (v >= lo) & (v <= hi);
            clippedCount += inside;
            clippedSum += static_cast<uint64_t>(v) * inside;
            clippedSquares += Square(v) * inside;
        }
    }
    if (clippedCount == 0)
        return false;
    const double n2 = static_cast<double>(clippedCount);
    const double mu2 = static_cast<double>(clippedSum) / n2;
    const double var2 = Variance(static_cast<double>(clippedSquares), mu2, n2);

    // Classification. A star pixel exceeds the threshold and has at least
    // `need` neighbours that do too, counted in a fixed order that stops as
    // soon as enough are bright; neighbours of the window's border pixels lie
    // in the margin and are read from the frame. Star pixels are rare, so
    // rather than keeping a map of them the test is made again where the
    // component walk needs it: it depends only on the frame and T.
    using Level = std::conditional_t<sizeof(Pixel) == 2, int32_t, int64_t>; // holds -1 .. full scale
    const Level threshold = static_cast<Level>(Threshold<Pixel>(k * std::sqrt(var2) + mu2 + 0.5));
    const std::ptrdiff_t around[8] = {-stride - 1, -stride, -stride + 1, stride - 1,
                                      stride,      stride + 1, -1,        1};
    auto isStar = [&](const Pixel* p) {
        if (!(static_cast<Level>(*p) > threshold))
            return false;
        int bright = 0;
        for (std::ptrdiff_t offset : around)
            if (static_cast<Level>(p[offset]) > threshold && ++bright == need)
                return true;
        return false;
    };
    uint64_t starSum = 0;
    int starCount = 0;
    int first = -1;
    for (int row = 0; row < n; ++row) {
        const Pixel* p = window + row * stride;
        for (int col = 0; col < n; ++col)
            if (isStar(p + col)) {
                if (first < 0)
                    first = row * n + col;
                ++starCount;
                starSum += p[col];
            }
    }
    if (first < 0)
        return false;
    // Every other pixel is background: the raw sums less the star pixels.
    const uint64_t backgroundCount = static_cast<uint64_t>(count - starCount);
    const uint64_t backgroundSum = sum - starSum; // below 2^44, see above

    // The 4-connected star of the first star pixel, breadth first through a
    // queue on the stack: every pixel enters it once, so count entries
    // suffice. A pixel on the window's border ends the measurement, so the
    // neighbours of a pixel taken from the queue all lie in the window.
    std::memset(component, 0, static_cast<std::size_t>(count));
    uint16_t queue[kMaxStarWindow];
    int head = 0, tail = 0;
    queue[tail++] = static_cast<uint16_t>(first);
    component[first] = 1;
    int left = n, right = -1, top = n, bottom = -1;
    while (head < tail) {
        const int i = queue[head++];
        const int row = i / n, col = i - row * n;
        if (row == 0 || row == n - 1 || col == 0 || col == n - 1)
            return false;
        left = col < left ? col : left;
        right = col > right ? col : right;
        top = row < top ? row : top;
        bottom = row > bottom ? row : bottom;
        const Pixel* p = window + row * stride + col;
        const std::pair<int, std::ptrdiff_t> next[4] = {{i - n, -stride}, {i - 1, -1}, {i + 1, 1}, {i + n, stride}};
        for (auto [j, offset] : next)
            if (!component[j] && isStar(p + offset)) {
                component[j] = 1;
                queue[tail++] = static_cast<uint16_t>(j);
            }
    }
    if (backgroundCount == 0) // unreachable: the star would fill the window
        return false;
    const double background = static_cast<double>(backgroundSum) / static_cast<double>(backgroundCount);

    // Background-subtracted moments, summed in window raster order.
    double flux = 0.0, sx = 0.0, sy = 0.0;
    Pixel peak = 0;
    for (int row = top; row <= bottom; ++row) {
        const Pixel* p = window + row * stride;
        for (int col = left; col <= right; ++col) {
            if (!component[row * n + col])
                continue;
            const double d = static_cast<double>(p[col]) - background;
            flux += d;
            sx += d * (col - r);
            sy += d * (row - r);
            peak = p[col] > peak ? p[col] : peak;
        }
    }
    // A bright isolated pixel can lift the background mean above some star
    // pixels, whose weights then turn negative. Where the weights nearly
    // cancel, the "centroid" lands anywhere, even outside the frame or the
    // int range of the rounded coordinates; one outside the window belongs to
    // no star in it and fails, as does a flux of exactly 0.
    if (flux == 0.0)
        return false;
    const double ox = sx / flux, oy = sy / flux;
    if (!(std::fabs(ox) <= r && std::fabs(oy) <= r))
        return false;
    star.cx = x + ox;
    star.cy = y + oy;
    star.flux = flux;
    star.peak = peak;
    star.left = left;
    star.top = top;
    star.right = right;
    star.bottom = bottom;
    return true;
}

template bool MeasureStar<uint16_t>(int, int, int, double, int, const uint16_t*, int, int, uint8_t*,
                                    MeasuredStar&);
template bool MeasureStar<uint32_t>(int, int, int, double, int, const uint32_t*, int, int, uint8_t*,
                                    MeasuredStar&);

} // namespace detail

namespace {

struct Scan {
    int r;
    double k;
    int q;
    unsigned startLevel;
    int width, height;
    unsigned* mask;
    void* context;
    TStarCallback callback;
};

// Calls fn(i) with the frame pixel index of every pixel of a measured star
// whose window is centred on (x, y).
template <class Fn>
void ForEachStarPixel(const Scan& scan, int x, int y, const uint8_t* component, const detail::MeasuredStar& star,
                      Fn&& fn)
{
    const int n = 2 * scan.r + 1;
    const std::ptrdiff_t origin = (static_cast<std::ptrdiff_t>(y) - scan.r) * scan.width + (x - scan.r);
    for (int row = star.top; row <= star.bottom; ++row)
        for (int col = star.left; col <= star.right; ++col)
            if (component[row * n + col])
                fn(origin + static_cast<std::ptrdiff_t>(row) * scan.width + col);
}

// Claim check, marking and report: one step under the lock in the parallel
// scan, so a star measured from two positions is reported once.
void ClaimAndReport(const Scan& scan, int x, int y, const uint8_t* component, const detail::MeasuredStar& star)
{
    bool claimed = false; // reported from another position, or excluded by the caller
    ForEachStarPixel(scan, x, y, component, star,
                     [&](std::ptrdiff_t i) { claimed = claimed || detail::IsClaimed(scan.mask, i); });
    if (claimed)
        return;
    ForEachStarPixel(scan, x, y, component, star, [&](std::ptrdiff_t i) { detail::Claim(scan.mask, i); });
    scan.callback(scan.context, static_cast<int>(star.cx + 0.5), static_cast<int>(star.cy + 0.5), star.cx,
                  star.cy, star.flux, star.peak);
}

// One row of the scan grid: columns r, r + 2, ... in ascending order. guard(fn)
// runs fn under the lock in the parallel scan, directly in the serial one.
// The window scratch lives on the calling thread's stack.
template <class Pixel, class Guard>
void ScanRow(const Scan& scan, const Pixel* frame, int y, Guard&& guard)
{
    uint8_t component[detail::kMaxStarWindow];
    const std::ptrdiff_t rowStart = static_cast<std::ptrdiff_t>(y) * scan.width;
    for (int x = scan.r; x < scan.width - scan.r - 1; x += 2) {
        const std::ptrdiff_t i = rowStart + x;
        // The frame is read-only, so the level test needs no lock and spares
        // the faint positions a trip through it; the outcome is the same as
        // testing the mask bit first.
        if (frame[i] < scan.startLevel)
            continue;
        if (guard([&] { return detail::IsClaimed(scan.mask, i); }))
            continue;
        detail::MeasuredStar star;
        if (!detail::MeasureStar(x, y, scan.r, scan.k, scan.q, frame, scan.width, scan.height, component, star))
            continue;
        guard([&] { ClaimAndReport(scan, x, y, component, star); });
    }
}

// Rows of the scan grid: y = r, r + 2, ... while y <= height - r - 1. The
// measurer rejects the first row and column of the grid (the window needs a
// margin), so effectively the scan starts at r + 2.
int GridRows(int r, int height)
{
    const int span = height - 1 - 2 * r;
    return span < 0 ? 0 : span / 2 + 1;
}

// Arguments for which the measurer fails everywhere need no scan at all;
// skipping it also keeps a negative half-size from addressing pixels before
// the frame.
bool FindsNothing(int r, int q)
{
    return r < detail::kMinStarHalfSize || r > detail::kMaxStarHalfSize || q < 0 || q > 8;
}

} // namespace

void FindStars(int r, double k, int q, unsigned startLevel, void* frame, int width, int height, int depth,
               unsigned* mask, void* context, TStarCallback callback)
{
    if (FindsNothing(r, q))
        return;
    const Scan scan{r, k, q, startLevel, width, height, mask, context, callback};
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const Pixel* pixels = detail::Pixels<Pixel>(static_cast<const void*>(frame));
        detail::ParallelRows(GridRows(r, height), [&](int row) {
            ScanRow(scan, pixels, r + 2 * row, [](auto&& fn) { return detail::UnderLock(fn); });
        });
    });
}

void FindStars1C(int r, double k, int q, unsigned startLevel, void* frame, int width, int height, int depth,
                 unsigned* mask, void* context, TStarCallback callback)
{
    if (FindsNothing(r, q))
        return;
    const Scan scan{r, k, q, startLevel, width, height, mask, context, callback};
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const Pixel* pixels = detail::Pixels<Pixel>(static_cast<const void*>(frame));
        const int rows = GridRows(r, height);
        for (int row = 0; row < rows; ++row)
            ScanRow(scan, pixels, r + 2 * row, [](auto&& fn) { return fn(); });
    });
}

} // namespace tamrix
