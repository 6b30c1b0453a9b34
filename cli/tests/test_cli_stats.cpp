// End-to-end: tamrix stats.
#include "cli_support.h"

#include <gtest/gtest.h>

namespace tamrix::clitest {
namespace {

using Values = std::vector<uint32_t>;

class Stats : public ::testing::Test {
protected:
    Scratch dir;
};

TEST_F(Stats, TableOfEveryFrame)
{
    WriteU16(dir / "a.fits", 2, 1, { 10, 20 });
    WriteU32(dir / "b.fits", 1, 1, { 4294967295u });
    const Result run = Tamrix({ "stats", dir / "a.fits", dir / "b.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("2x1   16           10           20             15            5"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("1x1   32   4294967295   4294967295     4294967295            0"), std::string::npos)
        << run.out;
}

TEST_F(Stats, JsonWithARectangle)
{
    Values v(100 * 100, 0);
    for (int y = 95; y < 100; ++y)
        for (int x = 90; x < 100; ++x)
            v[y * 100 + x] = 8;
    v[99 * 100 + 99] = 58; // N = 50: mean 9, sd 7
    WriteU16(dir / "a.fits", 100, 100, v);
    const Result run = Tamrix({ "stats", dir / "a.fits", "--rect", "90,95,20,20", "--json" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"rect\": [90, 95, 10, 5], \"min\": 8, \"max\": 58, \"mean\": 9, \"stddev\": 7, \"undefined\": 0}"),
        std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.front(), '[');
}

TEST_F(Stats, ARectangleOutsideTheFrameIsAUsageError)
{
    WriteU16(dir / "a.fits", 4, 4, Values(16, 1));
    EXPECT_EQ(Tamrix({ "stats", dir / "a.fits", "--rect", "4,0,1,1" }).status, 2);
    EXPECT_EQ(Tamrix({ "stats", dir / "a.fits", "--rect", "0,0,0,1" }).status, 2);
    EXPECT_EQ(Tamrix({ "stats", dir / "a.fits", "--rect", "-1,0,1,1" }).status, 2);
}

} // namespace
} // namespace tamrix::clitest
