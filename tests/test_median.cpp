// Median filter where the soak, which checks the rule, the binning and the
// subtraction, does not reach: scales and offsets outside their ranges, tall
// frames' progress and cancellation.
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
    int offset = 0, k = 1000;
    bool subtract = false;
    void* window = nullptr;
    unsigned char* cancel = nullptr;
};

template <class Pixel> std::vector<Pixel> Filter(std::vector<Pixel> src, int w, int h, int r, const Options& o = {})
{
    std::vector<Pixel> dst(src.size(), static_cast<Pixel>(tamrix::test::kSentinel32));
    tamrix::Median(
        o.window, o.cancel, src.data(), dst.data(), w, h, sizeof(Pixel), 0, 65535, r, o.offset, o.k, o.subtract, 0);
    return dst;
}

template <class Pixel> class MedianRule : public testing::Test {
};
TYPED_TEST_SUITE(MedianRule, tamrix::test::PixelTypes);

// The rule and radii outside the frame are the soak's, whose scales and
// offsets stay in range: a background scale k below 1 per mille acts as 1,
// and an offset past full scale clamps there.
TYPED_TEST(MedianRule, ScaleAndOffsetOutsideTheirRangesActAsTheNearest)
{
    using P = TypeParam;
    Options none, least, huge;
    none.subtract = least.subtract = huge.subtract = true;
    none.k = -2, least.k = 1, huge.offset = INT_MAX;
    const auto src = RandomFrame<P>(9, 6, 11, 3000, 4000);
    EXPECT_EQ(Filter<P>(src, 9, 6, 1, none), Filter<P>(src, 9, 6, 1, least));
    EXPECT_EQ(Filter<P>({ P(-1), 0, 0, 0 }, 2, 2, 1, huge)[0], P(-1));
}

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
