// Median filter: the selection rule, 32-bit binning, progress, cancellation
// and the background subtraction.
#include "tamrix.h"
#include "recording_window.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

using tamrix::test::RecordingWindow;

namespace {

struct Options {
    int low = 0, high = 65535; // 32-bit range: one value per bin, as 16-bit frames have
    int offset = 0, k = 1000;
    bool subtract = false;
    void* window = nullptr;
    unsigned char* cancel = nullptr;
};

template <class Pixel>
std::vector<Pixel> Filter(std::vector<Pixel> src, int w, int h, int r, const Options& o = {},
                          Pixel fill = static_cast<Pixel>(tamrix::test::kSentinel32))
{
    std::vector<Pixel> dst(src.size(), fill);
    tamrix::Median(o.window, o.cancel, src.data(), dst.data(), w, h, sizeof(Pixel) == 2 ? 2 : 4, o.low, o.high, r,
                   o.offset, o.k, o.subtract, 0);
    return dst;
}

// The rule as written: add the window's per-bin counts from bin 0 upwards
// (empty bins add nothing, so only occupied bins are visited, in increasing
// order) and stop at the first bin where the total reaches h = n / 2.
// Out-of-range 32-bit pixels count in the first or last bin; a result past
// full scale is stored as full scale.
template <class Pixel>
std::vector<Pixel> Literal(const std::vector<Pixel>& src, int w, int h, int r, uint32_t low = 0,
                           uint32_t high = 0xFFFFFFFFu)
{
    uint64_t count = sizeof(Pixel) == 2 ? 65536 : uint64_t{high - low} + 1;
    int shift = 0;
    for (; count > 262144; count /= 2)
        ++shift;
    std::vector<Pixel> out(src.size());
    std::vector<uint64_t> bins;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bins.clear();
            for (int yy = std::max(0, y - r); yy <= std::min(h - 1, y + r); ++yy)
                for (int xx = std::max(0, x - r); xx <= std::min(w - 1, x + r); ++xx) {
                    const uint64_t v = src[static_cast<size_t>(yy) * w + xx];
                    bins.push_back(sizeof(Pixel) == 2 ? v : std::min((v < low ? 0 : v - low) >> shift, count - 1));
                }
            std::sort(bins.begin(), bins.end());
            const size_t half = bins.size() / 2;
            uint64_t selected = 0;
            for (size_t i = 0, total = 0; half != 0 && selected == 0; i = total) {
                while (total < bins.size() && bins[total] == bins[i]) // all pixels of bin bins[i]
                    ++total;
                if (total >= half)
                    selected = bins[i] + 1;
            }
            const uint64_t value = sizeof(Pixel) == 2 ? selected : low + (selected << shift);
            out[static_cast<size_t>(y) * w + x] = static_cast<Pixel>(std::min<uint64_t>(value, Pixel(-1)));
        }
    return out;
}

template <class Pixel>
class MedianRule : public testing::Test {};
using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(MedianRule, PixelTypes);

TYPED_TEST(MedianRule, PicksOneAboveTheHalfRankNotTheTextbookMedian)
{
    using P = TypeParam;
    EXPECT_EQ(Filter<P>(std::vector<P>(9, 7), 3, 3, 1)[4], 8u);                   // nine equal values
    EXPECT_EQ(Filter<P>({90, 10, 80, 20, 70, 30, 60, 40, 50}, 3, 3, 1)[4], 41u); // h = 4: 40 + 1
    // Clipped windows: corners hold 4 pixels (h = 2), edges 6 (h = 3).
    EXPECT_EQ(Filter<P>({1, 2, 3, 4, 5, 6, 7, 8, 9}, 3, 3, 1), (std::vector<P>{3, 4, 4, 5, 5, 6, 6, 7, 7}));
    EXPECT_EQ(Filter<P>(std::vector<P>(20, 100), 5, 4, 1), std::vector<P>(20, 101));
    // r = 0: one pixel, h = 0, so 0 (16-bit) or low (32-bit).
    Options o;
    o.low = 1000, o.high = 1999;
    EXPECT_EQ(Filter<P>({1500, 1200, 1999, 1000}, 4, 1, 0, o), std::vector<P>(4, sizeof(P) == 2 ? 0 : 1000));
}

TYPED_TEST(MedianRule, SaturatedWindowsStayAtFullScale)
{
    using P = TypeParam;
    const P full = P(-1);
    Options o;
    o.high = -1; // the full 32-bit range
    EXPECT_EQ(Filter<P>(std::vector<P>(12, full), 4, 3, 1, o), std::vector<P>(12, full));
    // Three saturated pixels of four in a corner window: h = 2 lands on one.
    EXPECT_EQ(Filter<P>({5, full, full, full}, 2, 2, 1, o), std::vector<P>(4, full));
}

TYPED_TEST(MedianRule, RadiiOutsideTheFrameAreClamped)
{
    using P = TypeParam;
    const auto src = RandomFrame<P>(9, 6, 11);
    EXPECT_EQ(Filter<P>(src, 9, 6, 40), Filter<P>(src, 9, 6, 8));
    EXPECT_EQ(Filter<P>(src, 9, 6, -3), Filter<P>(src, 9, 6, 0));
}

TEST(MedianBins, ThirtyTwoBitRangesAndShifts)
{
    Options o;
    o.low = 1000, o.high = 1999; // 1000 bins of one value
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(6, 1500), 3, 2, 1, o), std::vector<uint32_t>(6, 1501));
    EXPECT_EQ(Filter<uint32_t>({1000, 1008, 1001, 1007, 1002, 1006, 1003, 1005, 1004}, 3, 3, 1, o)[4], 1004u);
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 1999), 2, 2, 1, o), std::vector<uint32_t>(4, 2000));
    // Outside the range: below low in the first bin, above high in the last.
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 5), 2, 2, 1, o), std::vector<uint32_t>(4, 1001));
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 4000000000u), 2, 2, 1, o), std::vector<uint32_t>(4, 2000));

    o.low = 5000, o.high = 304999; // 300000 values: shift 1, 150000 bins
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 6001), 2, 2, 1, o), std::vector<uint32_t>(4, 6002));
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 6002), 2, 2, 1, o), std::vector<uint32_t>(4, 6004));

    // 300001 values: still shift 1 and 150000 bins, so the top value has no
    // bin of its own and counts in the last.
    o.low = 0, o.high = 300000;
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 300000), 2, 2, 1, o), std::vector<uint32_t>(4, 300000));

    o.low = 0, o.high = -1; // full range: shift 14
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 100000), 2, 2, 1, o), std::vector<uint32_t>(4, 114688));
}

// The fast selection against the literal rule on random frames: radii from 0
// to width - 1, narrow and tall frames, values spread over the whole type,
// crowded into few bins, or half saturated, and 32-bit ranges with a shift.
TYPED_TEST(MedianRule, MatchesTheLiteralRuleOnRandomFrames)
{
    using P = TypeParam;
    const uint64_t full = P(-1);
    struct Case { int w, h; std::vector<int> radii; };
    const std::vector<Case> cases = {{37, 23, {0, 1, 2, 5, 25, 36}}, {1, 40, {0}}, {2, 33, {1}}, {3, 50, {1, 2}},
                                     {61, 4, {1, 5, 25, 60}},        {120, 2, {2, 119}}};
    struct Range { uint32_t low, high; };
    const std::vector<Range> ranges = sizeof(P) == 2
        ? std::vector<Range>{{0, 0xFFFFFFFFu}}
        : std::vector<Range>{{0, 0xFFFFFFFFu}, {123456, 423455}, {7, 262151}, {1u << 31, 0xFFFFFFF0u}};
    uint32_t seed = 1;
    for (const auto& c : cases)
        for (const auto& range : ranges) {
            const uint64_t lo = range.low, hi = range.high;
            std::vector<std::vector<P>> frames = {
                RandomFrame<P>(c.w, c.h, ++seed, lo - std::min<uint64_t>(lo, 50), std::min(hi + 50, full)),
                RandomFrame<P>(c.w, c.h, ++seed, lo + 990, lo + 1010),
                RandomFrame<P>(c.w, c.h, ++seed, 0, 3)};
            for (auto& v : frames.back()) // saturated, next to it, or far below
                v = v < 2 ? P(std::min(hi, full)) : v == 2 ? P(std::min(hi, full) - 1) : P(lo + 1000);
            Options o;
            o.low = static_cast<int>(range.low), o.high = static_cast<int>(range.high);
            for (const auto& src : frames)
                for (int r : c.radii) {
                    const auto expected = Literal(src, c.w, c.h, r, range.low, range.high);
                    for (int threads : tamrix::test::kThreadCounts) {
                        ThreadCount scope(threads);
                        ASSERT_EQ(Filter(src, c.w, c.h, r, o), expected)
                            << c.w << "x" << c.h << " r " << r << " range " << lo << ".." << hi << ", "
                            << threads << " threads";
                    }
                }
        }
}

// ---- Progress and cancellation ----

// (wParam, text) of every progress report, or ~0 for another message.
std::vector<std::pair<uintptr_t, std::string>> Reports(RecordingWindow& window)
{
    std::vector<std::pair<uintptr_t, std::string>> seen;
    for (const auto& m : window.Messages())
        seen.emplace_back(m.id == 0x465 && m.sent ? m.wParam : ~uintptr_t{0}, m.text);
    return seen;
}

TEST(MedianProgress, OneReportPerRowWithDistinctCounts)
{
    RecordingWindow window(/*readText=*/true);
    Options o;
    o.window = window.Handle();
    for (int threads : {1, 3}) {
        ThreadCount scope(threads);
        window.Clear();
        Filter<uint16_t>(RandomFrame<uint16_t>(7, 200, 3), 7, 200, 2, o);
        const auto seen = Reports(window);
        ASSERT_EQ(seen.size(), 200u);
        std::map<uintptr_t, std::string> byCount(seen.begin(), seen.end());
        ASSERT_EQ(byCount.size(), 200u); // distinct counts c = 1 .. 200
        EXPECT_EQ(byCount.begin()->first, 327u);
        EXPECT_EQ(byCount.begin()->second, "0 %");
        EXPECT_EQ(byCount.at(655), "1 %");     // c = 2
        EXPECT_EQ(byCount.at(24247), "37 %");  // c = 74
        EXPECT_EQ(byCount.rbegin()->first, 65535u);
        EXPECT_EQ(byCount.rbegin()->second, "100 %");
    }
    // From c = 65538 on, c * 65535 passes 2^32: a tall frame still ends at
    // 65535 and "100 %".
    window.Clear();
    Filter<uint16_t>(std::vector<uint16_t>(70000, 1), 1, 70000, 0, o);
    const auto seen = Reports(window);
    ASSERT_EQ(seen.size(), 70000u);
    EXPECT_EQ(std::max_element(seen.begin(), seen.end())->first, 65535u);
    EXPECT_EQ(std::max_element(seen.begin(), seen.end())->second, "100 %");
}

TEST(MedianCancel, FlagSetBeforeTheCallWritesAndReportsNothing)
{
    RecordingWindow window;
    unsigned char cancel = 1;
    Options o;
    o.window = window.Handle(), o.cancel = &cancel, o.subtract = true;
    EXPECT_EQ(Filter<uint16_t>(RandomFrame<uint16_t>(9, 8, 4), 9, 8, 1, o), std::vector<uint16_t>(72, 0xA5A5));
    EXPECT_TRUE(window.Messages().empty());
}

// Cancelled mid-way: started rows keep their filter result, the others stay
// untouched, and the subtraction does not run over either.
TEST(MedianCancel, FlagSetDuringTheCallSkipsLaterRowsAndTheSubtraction)
{
    const int w = 16, h = 400;
    const auto src = RandomFrame<uint16_t>(w, h, 5, 1000, 1100);
    const auto filtered = Filter<uint16_t>(src, w, h, 3);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        RecordingWindow window;
        unsigned char cancel = 0;
        window.OnMessage = [&cancel](size_t count) {
            if (count == 50)
                __atomic_store_n(&cancel, 1, __ATOMIC_RELAXED);
        };
        Options o;
        o.window = window.Handle(), o.cancel = &cancel, o.subtract = true;
        const auto out = Filter<uint16_t>(src, w, h, 3, o);
        int written = 0;
        for (int y = 0; y < h; ++y) {
            const auto row = out.begin() + y * w;
            const bool untouched = std::all_of(row, row + w, [](uint16_t v) { return v == 0xA5A5; });
            EXPECT_TRUE(untouched || std::equal(row, row + w, filtered.begin() + y * w)) << "row " << y;
            written += !untouched;
        }
        // Besides the 50 rows reported, each other thread may finish the row
        // it had started.
        EXPECT_EQ(static_cast<size_t>(written), window.Messages().size());
        EXPECT_GE(written, 50);
        EXPECT_LE(written, 50 + threads - 1);
    }
}

TEST(MedianCancel, EmptyFramesWriteNothing)
{
    Options o;
    o.subtract = true;
    for (int h : {0, -3})
        EXPECT_EQ(Filter<uint16_t>(std::vector<uint16_t>(6, 9), 2, h, 1, o), std::vector<uint16_t>(6, 0xA5A5));
    EXPECT_EQ(Filter<uint16_t>(std::vector<uint16_t>(6, 9), -2, -3, 1, o), std::vector<uint16_t>(6, 0xA5A5));
}

// ---- Background subtraction ----

// A frame of 100 with one 120 and one 90 filters to 101 everywhere (r = 1).
template <class Pixel>
std::vector<Pixel> Subtracted(int offset, int k)
{
    std::vector<Pixel> src(25, 100);
    src[6] = 120, src[18] = 90;
    Options o;
    o.subtract = true, o.offset = offset, o.k = k;
    const auto out = Filter<Pixel>(src, 5, 5, 1, o);
    return {out[6], out[18], out[0]};
}

TYPED_TEST(MedianRule, SubtractionScalesOffsetsAndClampsAtZero)
{
    using P = TypeParam;
    EXPECT_EQ(Subtracted<P>(0, 1000), (std::vector<P>{19, 0, 0}));
    EXPECT_EQ(Subtracted<P>(50, 1000), (std::vector<P>{69, 39, 49}));
    EXPECT_EQ(Subtracted<P>(0, 500), (std::vector<P>{70, 40, 50}));        // 101 * 500 / 1000 = 50
    EXPECT_EQ(Subtracted<P>(-40, 5000), (std::vector<P>{19, 0, 0}));      // offset 0, k 1000
    EXPECT_EQ(Subtracted<P>(0, 0), (std::vector<P>{120, 90, 100}));       // k 1: 101 / 1000 = 0
}

TEST(MedianSubtraction, ClampsAtFullScale)
{
    Options o;
    o.subtract = true, o.offset = 1000;
    std::vector<uint16_t> src(9, 9);
    src[4] = 65000; // the background filters to 10
    EXPECT_EQ(Filter<uint16_t>(src, 3, 3, 1, o)[4], 65535u);
    o.offset = INT_MAX;
    EXPECT_EQ(Filter<uint16_t>(std::vector<uint16_t>(4, 65535), 2, 2, 1, o), std::vector<uint16_t>(4, 65535));
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 0xFFFFFFFFu), 2, 2, 1, o), std::vector<uint32_t>(4, 0xFFFFFFFFu));
}

TEST(MedianSubtraction, ThirtyTwoBitBackgroundIsScaledIn64Bits)
{
    Options o;
    o.subtract = true, o.k = 999, o.high = -1;
    // Full range: 4000000000 filters to 244141 << 14 = 4000006144, scaled
    // to 3996006137 (the product needs 42 bits).
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 4000000000u), 2, 2, 1, o), std::vector<uint32_t>(4, 3993863));
}

} // namespace
