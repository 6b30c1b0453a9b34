// End-to-end: resample, shift, transform.
#include "cli_support.h"

#include <gtest/gtest.h>

namespace tamrix::clitest {
namespace {

using Values = std::vector<uint32_t>;

class Geometry : public ::testing::Test {
protected:
    Scratch dir;
};

TEST_F(Geometry, ResampleInterpolatesAlongRowsAndRepeatsTheLastPixel)
{
    WriteU16(dir / "in.fits", 3, 1, { 0, 10, 20 });
    const Result run = Tamrix({ "resample", dir / "in.fits", "-x", "2", "-y", "1", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.width, 6);
    EXPECT_EQ(out.values, (Values { 0, 5, 10, 15, 20, 20 }));
}

TEST_F(Geometry, ResampleRefusesThirtyTwoBitRangesItCannotInterpolateExactly)
{
    WriteU32(dir / "in.fits", 2, 1, { 0, 4000000000u });
    const Result run = Tamrix({ "resample", dir / "in.fits", "-n", "2", "-o", dir / "out.fits" });
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(run.err.find("too far apart"), std::string::npos) << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "in.fits" }));
}

TEST_F(Geometry, ShiftByWholeAndHalfPixels)
{
    // The last row has no row below it to sample and keeps the fill value.
    // Weights are 256ths, rounded: 0.998 leaves 1/256 of the pixel itself.
    WriteU16(dir / "in.fits", 4, 2, { 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000 });
    ASSERT_EQ(Tamrix({ "shift", dir / "in.fits", "--by", "1,0", "-o", dir / "whole.fits" }).status, 0);
    ASSERT_EQ(Tamrix({ "shift", dir / "in.fits", "--by", "0.5,0", "--fill", "9", "-o", dir / "half.fits" }).status, 0);
    ASSERT_EQ(Tamrix({ "shift", dir / "in.fits", "--by", "0.998,0", "-o", dir / "almost.fits" }).status, 0);
    EXPECT_EQ(ReadFits(dir / "whole.fits").values, (Values { 0, 1000, 2000, 3000, 0, 0, 0, 0 }));
    EXPECT_EQ(ReadFits(dir / "half.fits").values, (Values { 9, 1500, 2500, 3500, 9, 9, 9, 9 }));
    EXPECT_EQ(ReadFits(dir / "almost.fits").values, (Values { 0, 1003, 2003, 3003, 0, 0, 0, 0 }));
}

TEST_F(Geometry, TransformByMatrixAndByTranslation)
{
    Values v(16);
    for (uint32_t i = 0; i < 16; ++i)
        v[i] = 100 * i;
    WriteU16(dir / "in.fits", 4, 4, v);
    // Output (x, y) samples input (x + 0.5, y): the mean of two neighbours.
    ASSERT_EQ(Tamrix({ "transform", dir / "in.fits", "--matrix", "1,0,0.5,0,1,0", "-o", dir / "m.fits" }).status, 0);
    ASSERT_EQ(
        Tamrix({ "transform", dir / "in.fits", "--translate", "1,0", "--fill", "7", "-o", dir / "t.fits" }).status, 0);
    EXPECT_EQ(
        ReadFits(dir / "m.fits").values, (Values { 50, 150, 250, 0, 450, 550, 650, 0, 850, 950, 1050, 0, 0, 0, 0, 0 }));
    EXPECT_EQ(
        ReadFits(dir / "t.fits").values, (Values { 7, 0, 100, 200, 7, 400, 500, 600, 7, 800, 900, 1000, 7, 7, 7, 7 }));
}

TEST_F(Geometry, TransformTakesEitherAMatrixOrGeometricSteps)
{
    WriteU16(dir / "in.fits", 4, 4, Values(16, 1));
    EXPECT_EQ(Tamrix({ "transform", dir / "in.fits", "--matrix", "1,0,0,0,1,0", "--rotate", "3", "-o", dir / "o.fits" })
                  .status,
        2);
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "in.fits" }));
}

} // namespace
} // namespace tamrix::clitest
