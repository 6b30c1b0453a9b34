// Median filter over a sliding square window, with optional subtraction of
// the filtered background.
//
// The selected value is not the textbook median: with n pixels in the window
// and h = n / 2, it is one above the bin of the h-th smallest pixel (the first
// bin at which the running count from bin 0 reaches h), and 0 when h is 0.
// Walking the histogram from bin 0 for every pixel costs up to 65536 steps
// (262144 for 32-bit frames). Instead a pointer p stays on the bin selected
// last, with `below`, the number of window pixels in bins under p. Columns
// entering or leaving the window update `below` by counting their bins under
// p, and the selection moves p from where it stood: neighbouring windows
// share all but two columns, so on real frames p moves a few bins per pixel.
//
// Each row rebuilds its histogram by sliding along the row, nr pixels leaving
// and nr entering per step. Read straight from the frame, such a column is nr
// pixels a whole row apart, which on wide frames all fall into the same few
// cache sets. So each thread keeps its window rows as bins in a strip stored
// column by column (a pixel is binned once, when its row enters the strip)
// and reads a column as one contiguous run.
//
// Radius 0 needs no histogram, and the 3 x 3 and 5 x 5 windows of 16-bit
// frames go through a compare-exchange network instead (see below).
#include "hcpp/tamrix/median.h"

#include "tamrix.h"

#include "hcpp/tamrix/frame.h"
#include "platform/platform.h"

#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

namespace tamrix {
namespace {

constexpr uint64_t kMaxBins = 262144;        // caps a histogram at 1 MiB

// Zero counters on both sides of the histogram, read by the selection step
// when p is near either end; never written.
constexpr size_t kGuard = 4;

// How pixel values map to histogram bins in one call. 16-bit pixels count in
// bin v (low 0, shift 0, 65536 bins); 32-bit pixels in bin (v - low) >> shift.
struct Binning {
    uint32_t low = 0;
    unsigned shift = 0;
    uint32_t count = 65536;
};

// Halves the range size low..high (up to 2^32 values) until it fits the bin
// cap. low > high is a caller error; the range then wraps, which still gives
// at most kMaxBins bins.
Binning BinningForRange(int low, int high)
{
    uint64_t size = uint64_t{static_cast<uint32_t>(high) - static_cast<uint32_t>(low)} + 1;
    unsigned shift = 0;
    while (size > kMaxBins) {
        size >>= 1;
        ++shift;
    }
    return {static_cast<uint32_t>(low), shift, static_cast<uint32_t>(size)};
}

// A bin index as stored in the strip: 16 bits suffice for 16-bit frames.
template <class Pixel>
using Bin = std::conditional_t<sizeof(Pixel) == 2, uint16_t, uint32_t>;

// Bin of a 32-bit pixel. Pixels below low count in the first bin, pixels
// above the top bin in the last: besides pixels above high, those are the
// top values of a range whose halving dropped a remainder (a range of 300001
// values has 150000 bins of two values; low + 300000 would fall in bin
// 150000). So no pixel ever counts outside the histogram.
template <class Pixel>
inline Bin<Pixel> BinOf(Pixel v, const Binning& bins)
{
    if constexpr (sizeof(Pixel) == 2) {
        return v;
    } else {
        const uint32_t above = v < bins.low ? 0 : (v - bins.low) >> bins.shift;
        return std::min(above, bins.count - 1);
    }
}

// Pixel value for the selected b' (one above the bin). b' can be one past the
// top bin: 65536 for a 16-bit window whose h-th smallest pixel is 65535, and
// low + (count << shift) above 4294967295 for 32-bit frames. The full-scale
// value is stored then, so a saturated window stays saturated instead of
// wrapping to 0.
template <class Pixel>
inline Pixel ValueOf(uint32_t selected, const Binning& bins)
{
    const uint64_t v = uint64_t{bins.low} + (uint64_t{selected} << bins.shift);
    return static_cast<Pixel>(std::min<uint64_t>(v, detail::kFullScale<Pixel>));
}

// Moves p to the first bin at which the running count from bin 0 reaches h
// (1 <= h <= n), keeping below = number of window pixels in bins under p.
//
// Moves of up to two bins up or three down, most of them on real frames, are
// taken without a branch: the running counts at p - 3 .. p + 3 come from six
// neighbouring bins, and each one still short of h (or already past it)
// moves p by one. A branch whose direction is a coin toss per pixel cost
// more than the whole step. Longer moves continue bin by bin; going up they
// stop at the latest at the last occupied bin, going down only while pixels
// lie under p, so p stays inside the histogram.
inline void MoveToRank(const uint32_t* hist, uint32_t& p, uint32_t& below, uint32_t h)
{
    const uint32_t* at = hist + p;
    const uint32_t up1 = below + at[0], up2 = up1 + at[1], up3 = up2 + at[2];
    const uint32_t down1 = below - at[-1], down2 = down1 - at[-2], down3 = down2 - at[-3];
    const uint32_t runningCounts[7] = {down3, down2, down1, below, up1, up2, up3};
    const int move = int{up1 < h} + int{up2 < h} + int{up3 < h} - int{below >= h} - int{down1 >= h} - int{down2 >= h};
    p += move;
    below = runningCounts[move + 3];
    if (up3 < h) {
        while (below + hist[p] < h) {
            below += hist[p];
            ++p;
        }
    } else if (down3 >= h) {
        while (below >= h) {
            --p;
            below -= hist[p];
        }
    }
}

// The window rows of one thread as bins, column by column. Column x has
// 2 * slots entries, and the bin of pixel (x, yy) sits in both slot yy % slots
// and slot yy % slots + slots: moving down a row overwrites two entries per
// column, and the rows top..bottom of any window (at most slots of them) lie
// in one run starting at slot top % slots.
template <class Pixel>
struct Strip {
    Bin<Pixel>* bins = nullptr;
    int slots = 0;
    int first = 0, last = -1; // rows held

    // Makes the strip hold rows top..bottom, binning only the rows it lacks:
    // one row per step down the frame.
    void Hold(const Pixel* src, int width, int top, int bottom, const Binning& binning)
    {
        if (top < first || top > last)
            first = top, last = top - 1;
        for (int y = last + 1; y <= bottom; ++y) {
            const Pixel* row = src + static_cast<std::ptrdiff_t>(y) * width;
            Bin<Pixel>* column = bins + y % slots;
            for (int x = 0; x < width; ++x, column += 2 * slots)
                column[0] = column[slots] = BinOf(row[x], binning);
        }
        last = std::max(last, bottom);
        first = std::max(first, last - slots + 1);
    }
};

// Counts the bins below p in a run of n bins.
template <class B>
inline uint32_t CountBelow(const B* run, int n, uint32_t p)
{
    uint32_t count = 0;
    for (int i = 0; i < n; ++i)
        count += run[i] < p;
    return count;
}

// Columns of the window read from the strip, each one contiguous run.
template <class Pixel>
struct StripColumns {
    const Bin<Pixel>* bins; // slot top % slots of column 0
    std::ptrdiff_t stride;
    int nr;

    StripColumns(const Strip<Pixel>& strip, int top, int nr)
        : bins(strip.bins + top % strip.slots), stride(2 * static_cast<std::ptrdiff_t>(strip.slots)), nr(nr)
    {
    }
    const Bin<Pixel>* Column(int x) const { return bins + x * stride; }

    template <class Fn>
    void Each(int x, Fn&& fn) const
    {
        const Bin<Pixel>* c = Column(x);
        for (int i = 0; i < nr; ++i)
            fn(c[i]);
    }
    template <class Fn>
    void Pairs(int xOut, int xIn, Fn&& fn) const
    {
        const Bin<Pixel>*out = Column(xOut), *in = Column(xIn);
        for (int i = 0; i < nr; ++i)
            fn(out[i], in[i]);
    }
    uint32_t Below(int x, uint32_t p) const { return CountBelow(Column(x), nr, p); }
};

// Columns of the window read straight from the frame, binned on every read;
// for windows too tall for a strip.
template <class Pixel>
struct FrameColumns {
    const Pixel* rows; // row top
    std::ptrdiff_t stride;
    int nr;
    const Binning& binning;

    template <class Fn>
    void Each(int x, Fn&& fn) const
    {
        for (int i = 0; i < nr; ++i)
            fn(BinOf(rows[i * stride + x], binning));
    }
    template <class Fn>
    void Pairs(int xOut, int xIn, Fn&& fn) const
    {
        for (int i = 0; i < nr; ++i)
            fn(BinOf(rows[i * stride + xOut], binning), BinOf(rows[i * stride + xIn], binning));
    }
    uint32_t Below(int x, uint32_t p) const
    {
        uint32_t count = 0;
        Each(x, [&](uint32_t b) { count += b < p; });
        return count;
    }
};

// One output row: the histogram slides along the row, one column of nr pixels
// leaving and one entering per step, and is empty again at the end. p enters
// as the starting point of the first selection and leaves as the bin the row
// began with.
template <class Pixel, class Columns>
void SlideRow(const Columns& columns, Pixel* dst, int width, int r, int nr, const Binning& binning, uint32_t* hist,
              uint32_t& p)
{
    uint32_t below = 0, n = 0, rowStart = p;
    auto add = [&](int x) {
        columns.Each(x, [&](uint32_t b) { ++hist[b]; });
        below += columns.Below(x, p);
        n += nr;
    };
    auto remove = [&](int x) {
        columns.Each(x, [&](uint32_t b) { --hist[b]; });
        below -= columns.Below(x, p);
        n -= nr;
    };

    for (int x = 0; x < r; ++x)
        add(x);
    for (int x = 0; x < width; ++x) {
        if (x > r && x < width - r) {
            // One column leaves, one enters: n stays.
            columns.Pairs(x - r - 1, x + r, [&](uint32_t out, uint32_t in) {
                --hist[out];
                ++hist[in];
            });
            below += columns.Below(x + r, p) - columns.Below(x - r - 1, p);
        } else {
            if (x > r)
                remove(x - r - 1);
            if (x < width - r)
                add(x + r);
        }
        const uint32_t h = n / 2;
        uint32_t selected = 0;
        if (h != 0) {
            MoveToRank(hist, p, below, h);
            selected = p + 1;
        }
        dst[x] = ValueOf<Pixel>(selected, binning);
        if (x == 0)
            rowStart = p;
    }
    // The window of the last pixel leaves: the histogram is empty again
    // without clearing all its bins.
    for (int x = std::max(0, width - 1 - r); x < width; ++x)
        remove(x);
    p = rowStart;
}

// One thread's scratch: its histogram (with guards), its strip when the
// window rows fit one, and the bin where its previous row began, so that the
// first selection of the next row starts close by.
template <class Pixel>
struct alignas(64) ThreadScratch {
    uint32_t* hist = nullptr; // bin 0; kGuard zero counters either side
    Strip<Pixel> strip;
    uint32_t startBin = 0;
    bool cleared = false;
};

template <class Pixel>
void MedianRow(const Pixel* src, Pixel* dst, int width, int height, int y, int r, const Binning& binning,
               ThreadScratch<Pixel>& scratch)
{
    const int top = std::max(0, y - r), bottom = std::min(height - 1, y + r);
    const int nr = bottom - top + 1;
    if (scratch.strip.bins != nullptr) {
        scratch.strip.Hold(src, width, top, bottom, binning);
        SlideRow(StripColumns<Pixel>(scratch.strip, top, nr), dst, width, r, nr, binning, scratch.hist,
                 scratch.startBin);
    } else {
        const FrameColumns<Pixel> columns{src + static_cast<std::ptrdiff_t>(top) * width, width, nr, binning};
        SlideRow(columns, dst, width, r, nr, binning, scratch.hist, scratch.startBin);
    }
}

// ---- Windows of radius 0 to 2 ----
//
// A 3 x 3 or 5 x 5 window holds so few pixels that a fixed network of
// compare-exchanges finds the h-th smallest faster than any histogram, and
// for 16-bit pixels eight windows go through it side by side in SSE2 lanes.
// Pixels whose window is clipped by an edge (n varies there) take a plain
// selection. 32-bit frames, whose pixels must first be binned, keep the
// histogram from r = 1 on.

// The compare-exchanges that leave the h-th smallest of Inputs values
// (h = Inputs / 2) on wire h - 1: Batcher's odd-even merge sort for the next
// power of two, without the comparators that involve padding (which holds
// +infinity and never moves, so only comparators between two real wires act)
// and without those that cannot reach wire h - 1. 24 comparators for nine
// inputs, 113 for 25.
template <int Inputs>
struct RankNetwork {
    static constexpr int kWire = Inputs / 2 - 1;
    int count = 0;
    uint8_t low[256] = {}, high[256] = {};

    constexpr RankNetwork()
    {
        int wires = 1;
        while (wires < Inputs)
            wires *= 2;
        uint8_t a[256] = {}, b[256] = {};
        int all = 0;
        for (int p = 1; p < wires; p *= 2)
            for (int k = p; k >= 1; k /= 2)
                for (int j = k % p; j < wires - k; j += 2 * k)
                    for (int i = 0; i < std::min(k, wires - j - k); ++i)
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < Inputs) {
                            a[all] = static_cast<uint8_t>(i + j);
                            b[all] = static_cast<uint8_t>(i + j + k);
                            ++all;
                        }
        bool needed[32] = {};
        needed[kWire] = true;
        int kept[256] = {}, keptCount = 0;
        for (int c = all - 1; c >= 0; --c)
            if (needed[a[c]] || needed[b[c]]) {
                needed[a[c]] = needed[b[c]] = true;
                kept[keptCount++] = c;
            }
        for (int c = keptCount - 1; c >= 0; --c, ++count) {
            low[count] = a[kept[c]];
            high[count] = b[kept[c]];
        }
    }
};

template <int Inputs>
struct Network {
    static constexpr RankNetwork<Inputs> kNet{};
};
static_assert(Network<9>::kNet.count == 24 && Network<25>::kNet.count == 113);

#if defined(__SSE2__)
// Eight 16-bit lanes, biased by 0x8000 so that the signed minimum and
// maximum of SSE2 order them as unsigned values.
inline void CompareExchange(__m128i& a, __m128i& b)
{
    const __m128i low = _mm_min_epi16(a, b);
    b = _mm_max_epi16(a, b);
    a = low;
}

template <int Inputs, size_t... I>
inline void RunNetwork(__m128i* v, std::index_sequence<I...>)
{
    (CompareExchange(v[Network<Inputs>::kNet.low[I]], v[Network<Inputs>::kNet.high[I]]), ...);
}

// The full windows of columns x .. x + 7 (all inside the frame) over the
// window rows rows[0 .. 2R].
template <int R>
inline void EightWindows(const uint16_t* const* rows, int x, uint16_t* dst)
{
    constexpr int side = 2 * R + 1, inputs = side * side;
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i v[inputs];
    for (int dy = 0; dy < side; ++dy)
        for (int dx = 0; dx < side; ++dx)
            v[dy * side + dx] = _mm_xor_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[dy] + x - R + dx)), bias);
    RunNetwork<inputs>(v, std::make_index_sequence<Network<inputs>::kNet.count>{});
    // One above the selected value; 65535 stays (the saturated window).
    const __m128i selected = _mm_xor_si128(v[Network<inputs>::kNet.kWire], bias);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_adds_epu16(selected, _mm_set1_epi16(1)));
}
#endif

// The rule on one clipped window of at most 25 pixels.
template <class Pixel>
Pixel SelectInWindow(const Pixel* src, int width, int top, int bottom, int x, int r, const Binning& binning)
{
    uint32_t bins[25];
    int n = 0;
    for (int yy = top; yy <= bottom; ++yy)
        for (int xx = std::max(0, x - r); xx <= std::min(width - 1, x + r); ++xx)
            bins[n++] = BinOf(src[static_cast<std::ptrdiff_t>(yy) * width + xx], binning);
    const int h = n / 2;
    if (h == 0)
        return ValueOf<Pixel>(0, binning);
    std::nth_element(bins, bins + h - 1, bins + n);
    return ValueOf<Pixel>(bins[h - 1] + 1, binning);
}

// Radius 0 (for both pixel types: every window holds one pixel, so h = 0)
// and radii 1 and 2 of 16-bit frames.
template <class Pixel>
void SmallWindowRow(const Pixel* src, Pixel* dst, int width, int height, int y, int r, const Binning& binning)
{
    if (r == 0) {
        std::fill_n(dst, width, ValueOf<Pixel>(0, binning));
        return;
    }
    const int top = std::max(0, y - r), bottom = std::min(height - 1, y + r);
    int x = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Pixel) == 2) {
        if (bottom - top == 2 * r && width >= 2 * r + 8) {
            const uint16_t* rows[5];
            for (int dy = 0; dy <= 2 * r; ++dy)
                rows[dy] = src + static_cast<std::ptrdiff_t>(top + dy) * width;
            for (; x < r; ++x)
                dst[x] = SelectInWindow(src, width, top, bottom, x, r, binning);
            for (; x + 8 <= width - r; x += 8)
                r == 1 ? EightWindows<1>(rows, x, dst) : EightWindows<2>(rows, x, dst);
        }
    }
#endif
    for (; x < width; ++x)
        dst[x] = SelectInWindow(src, width, top, bottom, x, r, binning);
}

// Sends the progress report of a finished row: wParam is c * 65535 / height,
// the text the percentage c * 100 / height, both formed in 64 bits so that
// no height overflows them.
void ReportProgress(void* window, uint32_t c, int height)
{
    char text[16];
    std::snprintf(text, sizeof text, "%i %%", static_cast<int>(uint64_t{c} * 100 / static_cast<uint64_t>(height)));
    const uint64_t scaled = uint64_t{c} * 65535 / static_cast<uint64_t>(height);
    platform::SendMessageA(window, kMedianProgressMessage, static_cast<uintptr_t>(scaled), reinterpret_cast<intptr_t>(text));
}

// The host sets its flag from another thread while the rows run.
inline bool Cancelled(const unsigned char* cancel)
{
    return cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_RELAXED) != 0;
}

// The parallel row loop: skips rows once the host cancels, reports every
// finished row.
template <class RowFn>
void ForEachRow(void* window, const unsigned char* cancel, int height, RowFn&& row)
{
    uint32_t finished = 0;
    detail::ParallelRows(height, [&](int y) {
        if (Cancelled(cancel))
            return;
        row(y);
        if (window != nullptr) {
            const uint32_t c = detail::UnderLock([&] { return ++finished; });
            ReportProgress(window, c, height);
        }
    });
}

// The histogram's scratch is allocated here once per call: a histogram of up
// to 1 MiB does not belong on a worker's stack, and nothing may be allocated
// per row. The loop's team has at most omp_get_max_threads() threads; each
// clears its own histogram on first use, so the pages are first touched by
// the thread that works on them.
template <class Pixel>
void FilterRows(size_t stripLimit, void* window, const unsigned char* cancel, const Pixel* src, Pixel* dst, int width,
                int height, int r, const Binning& binning)
{
    auto out = [&](int y) { return dst + static_cast<std::ptrdiff_t>(y) * width; };
    if (width < 1) {
        ForEachRow(window, cancel, height, [](int) {});
        return;
    }
    if (r == 0 || (sizeof(Pixel) == 2 && r <= 2)) {
        ForEachRow(window, cancel, height,
                   [&](int y) { SmallWindowRow(src, out(y), width, height, y, r, binning); });
        return;
    }

    const int threads = omp_get_max_threads();
    const size_t histSize = (kGuard + binning.count + kGuard + 15) / 16 * 16; // whole cache lines
    const int slots = static_cast<int>(std::min<int64_t>(2 * int64_t{r} + 1, height)); // 2r + 1 may pass 2^31
    const size_t stripSize = (static_cast<size_t>(width) * 2 * static_cast<size_t>(slots) + 31) / 32 * 32;
    const bool useStrip = stripSize * sizeof(Bin<Pixel>) <= stripLimit;

    std::unique_ptr<uint32_t[]> hists(new uint32_t[histSize * static_cast<size_t>(threads)]);
    std::unique_ptr<Bin<Pixel>[]> strips(useStrip ? new Bin<Pixel>[stripSize * static_cast<size_t>(threads)] : nullptr);
    std::unique_ptr<ThreadScratch<Pixel>[]> scratch(new ThreadScratch<Pixel>[threads]);
    for (int t = 0; t < threads; ++t) {
        scratch[t].hist = hists.get() + histSize * static_cast<size_t>(t) + kGuard;
        if (useStrip)
            scratch[t].strip = {strips.get() + stripSize * static_cast<size_t>(t), slots};
    }
    ForEachRow(window, cancel, height, [&](int y) {
        ThreadScratch<Pixel>& mine = scratch[omp_get_thread_num()];
        if (!mine.cleared) {
            std::fill_n(mine.hist - kGuard, histSize, 0u);
            mine.cleared = true;
        }
        MedianRow(src, out(y), width, height, y, r, binning, mine);
    });
}

// destination = source + offset - destination * k / 1000, clamped at 0 and
// full scale. For 16-bit frames an offset above twice the full scale cannot
// change the result (it already clamps), so 32-bit arithmetic suffices.
template <class Pixel>
void SubtractBackground(const Pixel* src, Pixel* dst, size_t count, int offset, int k)
{
    constexpr bool narrow = sizeof(Pixel) == 2;
    using Wide = std::conditional_t<narrow, int32_t, int64_t>;
    constexpr Wide full = detail::kFullScale<Pixel>;
    const Wide o = narrow ? std::min<Wide>(std::max(offset, 0), 2 * full) : std::max(offset, 0);
    for (size_t i = 0; i < count; ++i) {
        const Wide m = dst[i];
        const Wide scaled = k == 1000 ? m : m * k / 1000;
        const Wide v = Wide{src[i]} + o - scaled;
        dst[i] = static_cast<Pixel>(std::clamp<Wide>(v, 0, full));
    }
}

} // namespace

namespace detail {

void MedianWithStripLimit(size_t stripLimit, void* window, unsigned char* cancel, void* source, void* destination,
                          int width, int height, int depth, int low, int high, int r, int offset, int k,
                          unsigned char subtract)
{
    k = std::clamp(k, 1, 1000);
    // A radius outside 0 .. width - 1 is a caller error; clamped, it never
    // reaches outside the frame.
    r = std::clamp(r, 0, std::max(0, width - 1));

    WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const Pixel* src = Pixels<Pixel>(static_cast<const void*>(source));
        Pixel* dst = Pixels<Pixel>(destination);
        if (height >= 1)
            FilterRows(stripLimit, window, cancel, src, dst, width, height, r,
                       sizeof(Pixel) == 2 ? Binning{} : BinningForRange(low, high));
        if (Cancelled(cancel) || subtract == 0 || width < 1 || height < 1)
            return;
        SubtractBackground(src, dst, static_cast<size_t>(width) * static_cast<size_t>(height), offset, k);
    });
}

} // namespace detail

void Median(void* window, unsigned char* cancel, void* src, void* dst, int width, int height, int depth, int low,
            int high, int r, int offset, int k, unsigned char subtract, unsigned char /*unused*/)
{
    detail::MedianWithStripLimit(detail::kMedianStripLimit, window, cancel, src, dst, width, height, depth, low, high,
                                 r, offset, k, subtract);
}

} // namespace tamrix
