// End-to-end: tamrix stats.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tamrix::clitest {
namespace {

using Values = std::vector<uint32_t>;

class Stats : public ::testing::Test {
protected:
    Scratch dir;
};

TEST_F(Stats, TableOfEveryReadableFrameAndALinePerFailure)
{
    WriteU16(dir / "a.fits", 2, 1, { 10, 20 });
    WriteU32(dir / "b.fits", 2, 1, { 0, 4294967295u });
    WriteU16(dir / "narrow.fits", 1, 1, { 1 }); // the rectangle misses it
    WriteFile(dir / "text.fits", "not FITS");
    const Result run = Tamrix({ "stats", dir / "narrow.fits", dir / "none.fits", dir / "a.fits", dir / "text.fits",
        dir / "b.fits", "--rect", "1,0,1,1" });
    EXPECT_EQ(run.status, 2) << run.err; // the first failure's
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    EXPECT_NE(run.err.find(dir / "none.fits: no such file\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(dir / "text.fits: not a readable FITS file"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("1x1   16           20           20             20            0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1x1   32   4294967295   4294967295     4294967295            0"), std::string::npos) << run.out;
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
