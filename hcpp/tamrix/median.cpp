// Median filter over a sliding square window, with optional subtraction of
// the filtered background.
//
// The selected value is not the textbook median: with n pixels in the window
// and h = n / 2, it is one above the bin of the h-th smallest pixel (the first
// bin at which the running count from bin 0 reaches h), and 0 when h is 0.
// Walking the histogram from bin 0 for every pixel costs up to 65536 steps
// (262144 for 32-bit frames). Instead a pointer p stays on the bin selected
// last, with `below`, the number of window pixels in bins under p. A pixel
// entering or leaving the window updates `below` with one comparison, and the
// selection moves p from where it stood: neighbouring windows share all but
// two columns, so on real frames p moves a few bins per pixel.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"
#include "platform/platform.h"

#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace tamrix {
namespace {

constexpr unsigned kProgressMessage = 0x465; // WM_USER + 101
constexpr uint64_t kMaxBins = 262144;        // caps a histogram at 1 MiB

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

// Bin of a 32-bit pixel. Pixels below low count in the first bin, pixels
// above the top bin in the last: besides pixels above high, those are the
// top values of a range whose halving dropped a remainder (a range of 300001
// values has 150000 bins of two values; low + 300000 would fall in bin
// 150000). So no pixel ever counts outside the histogram.
template <class Pixel>
inline uint32_t BinOf(Pixel v, const Binning& bins)
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
// Going up it stops at the latest at the last occupied bin, going down it
// only steps while pixels lie under p, so p stays inside the histogram. Long
// moves (a window reaching a star core, a saturated column) go four bins a
// step.
inline void MoveToRank(const uint32_t* hist, uint32_t& p, uint32_t& below, uint32_t h)
{
    if (below >= h) {
        do {
            --p;
            below -= hist[p];
        } while (below >= h);
    } else {
        while (below + hist[p] < h) {
            below += hist[p];
            ++p;
        }
    }
}

// One thread's histogram (count counters, zero between rows) and the bin
// where its previous row began: rows next to each other start alike, so the
// first pointer walk of a row is short.
struct alignas(64) ThreadScratch {
    uint32_t* hist;
    uint32_t startBin;
    bool cleared;
};

// One output row: the histogram slides along the row, one column of nr pixels
// leaving and one entering per step, and is empty again at the end.
template <class Pixel>
void MedianRow(const Pixel* src, Pixel* dst, int width, int height, int y, int r, const Binning& bins,
               ThreadScratch& scratch)
{
    const int top = std::max(0, y - r), bottom = std::min(height - 1, y + r);
    const int nr = bottom - top + 1;
    const Pixel* rows = src + static_cast<std::ptrdiff_t>(top) * width;
    const std::ptrdiff_t stride = width;
    uint32_t* hist = scratch.hist;
    uint32_t p = scratch.startBin, below = 0, n = 0;

    auto addColumn = [&](int x) {
        const Pixel* column = rows + x;
        for (int i = 0; i < nr; ++i) {
            const uint32_t b = BinOf(column[i * stride], bins);
            ++hist[b];
            below += b < p;
        }
        n += nr;
    };
    auto removeColumn = [&](int x) {
        const Pixel* column = rows + x;
        for (int i = 0; i < nr; ++i) {
            const uint32_t b = BinOf(column[i * stride], bins);
            --hist[b];
            below -= b < p;
        }
        n -= nr;
    };

    for (int x = 0; x < r; ++x)
        addColumn(x);
    for (int x = 0; x < width; ++x) {
        if (x > r && x < width - r) {
            // Both columns in one pass: the count n stays.
            const Pixel* leaving = rows + (x - r - 1);
            const Pixel* entering = rows + (x + r);
            for (int i = 0; i < nr; ++i) {
                const uint32_t out = BinOf(leaving[i * stride], bins), in = BinOf(entering[i * stride], bins);
                --hist[out];
                ++hist[in];
                below += (in < p) - (out < p);
            }
        } else {
            if (x > r)
                removeColumn(x - r - 1);
            if (x < width - r)
                addColumn(x + r);
        }
        const uint32_t h = n / 2;
        uint32_t selected = 0;
        if (h != 0) {
            MoveToRank(hist, p, below, h);
            selected = p + 1;
        }
        dst[x] = ValueOf<Pixel>(selected, bins);
        if (x == 0)
            scratch.startBin = p;
    }
    // The window of the last pixel leaves: the histogram is empty again
    // without clearing all its bins.
    for (int x = std::max(0, width - 1 - r); x < width; ++x)
        removeColumn(x);
}

// Sends the progress report of a finished row: wParam is c * 65535 / height,
// the text the percentage c * 100 / height, both formed in 64 bits so that
// no height overflows them.
void ReportProgress(void* window, uint32_t c, int height)
{
    char text[16];
    std::snprintf(text, sizeof text, "%i %%", static_cast<int>(uint64_t{c} * 100 / static_cast<uint64_t>(height)));
    const uint64_t scaled = uint64_t{c} * 65535 / static_cast<uint64_t>(height);
    platform::SendMessageA(window, kProgressMessage, static_cast<uintptr_t>(scaled), reinterpret_cast<intptr_t>(text));
}

// The host sets its flag from another thread while the rows run.
inline bool Cancelled(const unsigned char* cancel)
{
    return cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_RELAXED) != 0;
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

void Median(void* window, unsigned char* cancel, void* source, void* destination, int width, int height, int depth,
            int low, int high, int r, int offset, int k, unsigned char subtract, unsigned char /*unused*/)
{
    k = std::clamp(k, 1, 1000);
    // A radius outside 0 .. width - 1 is a caller error; clamped, it never
    // reaches outside the frame.
    r = std::clamp(r, 0, std::max(0, width - 1));

    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const Pixel* src = detail::Pixels<Pixel>(static_cast<const void*>(source));
        Pixel* dst = detail::Pixels<Pixel>(destination);
        const Binning bins = sizeof(Pixel) == 2 ? Binning{} : BinningForRange(low, high);

        if (height >= 1) {
            // One histogram per thread of the loop, allocated here once per
            // call: at up to 1 MiB it does not belong on a worker's stack, and
            // it must not be allocated per row. The loop's team has at most
            // omp_get_max_threads() threads. Each thread clears its own
            // histogram on first use, so the pages are touched by the thread
            // that works on them.
            const int threads = omp_get_max_threads();
            const size_t slot = (size_t{bins.count} + 15) / 16 * 16; // whole cache lines
            std::unique_ptr<uint32_t[]> hists(new uint32_t[slot * static_cast<size_t>(threads)]);
            std::unique_ptr<ThreadScratch[]> scratch(new ThreadScratch[threads]());
            for (int t = 0; t < threads; ++t)
                scratch[t].hist = hists.get() + slot * static_cast<size_t>(t);

            uint32_t finished = 0;
            detail::ParallelRows(height, [&](int y) {
                if (Cancelled(cancel))
                    return;
                ThreadScratch& mine = scratch[omp_get_thread_num()];
                if (!mine.cleared) {
                    std::fill_n(mine.hist, bins.count, 0u);
                    mine.cleared = true;
                }
                const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(y) * width;
                MedianRow(src, dst + row, width, height, y, r, bins, mine);
                if (window != nullptr) {
                    const uint32_t c = detail::UnderLock([&] { return ++finished; });
                    ReportProgress(window, c, height);
                }
            });
        }

        if (Cancelled(cancel) || subtract == 0 || width < 1 || height < 1)
            return;
        SubtractBackground(src, dst, static_cast<size_t>(width) * static_cast<size_t>(height), offset, k);
    });
}

} // namespace tamrix
