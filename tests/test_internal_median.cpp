// The median filter's two ways of reading window columns (a per-thread strip
// of bins, or the frame itself when the strip would be too large) agree; the
// strip path is checked against the literal rule in test_median.cpp.
#include "hcpp/tamrix/median.h"
#include "support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

template <class Pixel>
class MedianColumns : public testing::Test {};
TYPED_TEST_SUITE(MedianColumns, tamrix::test::PixelTypes);

TYPED_TEST(MedianColumns, FrameColumnsGiveTheStripsResults)
{
    using P = TypeParam;
    const int depth = sizeof(P) == 2 ? 2 : 4;
    struct Case { int w, h, r, low, high; };
    for (const Case c : {Case{53, 31, 3, 0, -1}, Case{53, 31, 7, 1000, 1999}, Case{40, 9, 39, 0, 300000},
                         Case{5, 70, 4, 0, 65535}}) {
        const auto src = tamrix::test::RandomFrame<P>(c.w, c.h, c.r, 0, 1999);
        for (int threads : tamrix::test::kThreadCounts) {
            tamrix::test::ThreadCount scope(threads);
            std::vector<P> strip(src.size()), frame(src.size());
            tamrix::detail::MedianWithStripLimit(tamrix::detail::kMedianStripLimit, nullptr, nullptr,
                                                 const_cast<P*>(src.data()), strip.data(), c.w, c.h, depth, c.low,
                                                 c.high, c.r, 0, 1000, 0);
            tamrix::detail::MedianWithStripLimit(0, nullptr, nullptr, const_cast<P*>(src.data()), frame.data(), c.w,
                                                 c.h, depth, c.low, c.high, c.r, 0, 1000, 0);
            EXPECT_EQ(frame, strip) << c.w << "x" << c.h << " r " << c.r << ", " << threads << " threads";
        }
    }
}

} // namespace
