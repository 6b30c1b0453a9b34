// Median filter where the soak, which checks the rule, the binning and the
// subtraction, does not reach: radii beyond the frame, huge offsets, pixels
// outside the 32-bit range, tall frames' progress and cancellation.
#include "recording_window.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::RecordingWindow;
using tamrix::test::ThreadCount;

namespace {

struct Options {
    int low = 0, high = 65535; // 32-bit range: one value per bin, as 16-bit frames have
    int offset = 0, k = 1000;
    bool subtract = false;
    void* window = nullptr;
    unsigned char* cancel = nullptr;
};

template <class Pixel> std::vector<Pixel> Filter(std::vector<Pixel> src, int w, int h, int r, const Options& o = {})
{
    std::vector<Pixel> dst(src.size(), static_cast<Pixel>(tamrix::test::kSentinel32));
    tamrix::Median(o.window, o.cancel, src.data(), dst.data(), w, h, sizeof(Pixel), o.low, o.high, r, o.offset, o.k,
        o.subtract, 0);
    return dst;
}

template <class Pixel> class MedianRule : public testing::Test {
};
TYPED_TEST_SUITE(MedianRule, tamrix::test::PixelTypes);

// The rule (one above the half rank; 0 or low for one pixel) is the soak's,
// whose radii stay inside the frame: beyond it they act as the frame, below
// 0 as 0. A background scale k below 1 per mille acts as 1.
TYPED_TEST(MedianRule, RadiusScaleAndOffsetOutsideTheirRangesActAsTheNearest)
{
    using P = TypeParam;
    const auto src = RandomFrame<P>(9, 6, 11, 3000, 4000);
    EXPECT_EQ(Filter<P>(src, 9, 6, 40), Filter<P>(src, 9, 6, 8));
    EXPECT_EQ(Filter<P>(src, 9, 6, -3), Filter<P>(src, 9, 6, 0));
    Options none, least;
    none.subtract = least.subtract = true;
    none.k = -2, least.k = 1;
    EXPECT_EQ(Filter<P>(src, 9, 6, 1, none), Filter<P>(src, 9, 6, 1, least));
    // Full-scale windows are soak cases; subtracted, an offset the soak never
    // draws clamps at full scale.
    Options huge;
    huge.subtract = true, huge.offset = INT_MAX;
    EXPECT_EQ(Filter<P>(std::vector<P>(4, P(-1)), 2, 2, 1, huge), std::vector<P>(4, P(-1)));
}

// Shifts and the scaled background are soak cases, whose 32-bit ranges
// always hold every pixel: pixels below low count in the first bin, above
// high in the last.
TEST(MedianBins, PixelsOutsideTheRangeCountInTheEndBins)
{
    Options o;
    o.low = 1000, o.high = 1999; // 1000 bins of one value
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 5), 2, 2, 1, o), std::vector<uint32_t>(4, 1001));
    EXPECT_EQ(Filter<uint32_t>(std::vector<uint32_t>(4, 4000000000u), 2, 2, 1, o), std::vector<uint32_t>(4, 2000));
}

// ---- Progress and cancellation ----

// The soak checks each row's report; from c = 65538 on, c * 65535 passes
// 2^32: a tall frame still ends at 65535 and "100 %". Frames without rows
// write and report nothing.
TEST(MedianProgress, TallFrameEndsAtFullScaleAndNoRowsReportNothing)
{
    RecordingWindow window;
    Options o;
    o.window = window.Handle(), o.subtract = true;
    for (auto [w, h] : { std::pair { 2, 0 }, { 2, -3 }, { -2, -3 } })
        EXPECT_EQ(Filter<uint16_t>(std::vector<uint16_t>(6, 9), w, h, 1, o), std::vector<uint16_t>(6, 0xA5A5));
    EXPECT_TRUE(window.Messages().empty());
    Filter<uint16_t>(std::vector<uint16_t>(70000, 1), 1, 70000, 0, o);
    const auto seen = window.Messages();
    ASSERT_EQ(seen.size(), 70000u);
    const auto last = std::max_element(seen.begin(), seen.end(), [](auto& a, auto& b) { return a.wParam < b.wParam; });
    EXPECT_EQ(last->wParam, 65535u);
    EXPECT_EQ(last->text, "100 %");
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

} // namespace
