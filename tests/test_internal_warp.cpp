// The shift and the affine transform at every instruction-set level that
// this machine runs, into destinations without columns (the soak compares
// both with the pixel-by-pixel reference at every level).
#include "isa_levels.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class WarpVariants : public tamrix::test::AtEveryLevel { };

template <class Pixel> void CheckNoColumns()
{
    constexpr int depth = sizeof(Pixel) == 2 ? 2 : 4;
    auto src = tamrix::test::RandomFrame<Pixel>(20, 20, 5);
    const std::vector<Pixel> untouched(64, static_cast<Pixel>(tamrix::test::kSentinel32));
    for (int width : { 0, -1, -9 }) {
        auto guard = untouched;
        // A mirror, so that negative columns would land inside the source.
        tamrix::Transform(-1, 0, 10, 0, 1, 0, src.data(), 20, 20, depth, guard.data() + 32, width, 3);
        tamrix::SubPixelShift(0, 0, 1, 0, 0, 0, 1, src.data(), 20, 20, depth, guard.data() + 32, width, 3);
        EXPECT_EQ(guard, untouched) << depth * 8 << "-bit, width " << width;
    }
}

TEST_P(WarpVariants, DestinationWithoutColumnsIsLeftAlone)
{
    CheckNoColumns<uint16_t>();
    CheckNoColumns<uint32_t>();
}

TAMRIX_AT_EVERY_LEVEL(WarpVariants);

} // namespace
