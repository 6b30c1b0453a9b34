// End-to-end: tamrix median, its progress bar and Ctrl-C.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tamrix::clitest {
namespace {

using Values = std::vector<uint32_t>;

class Median : public ::testing::Test {
protected:
    Scratch dir;
};

TEST_F(Median, SubtractionRemovesTheBackgroundAndKeepsTheOffset)
{
    Values v(25, 100);
    v[12] = 500; // the centre of a 5 x 5 frame
    WriteU16(dir / "in.fits", 5, 5, v);
    ASSERT_EQ(Tamrix({ "median", dir / "in.fits", "-r", "1", "-s", "-q", "-o", dir / "a.fits" }).status, 0);
    ASSERT_EQ(
        Tamrix({ "median", dir / "in.fits", "-r", "1", "-s", "--offset", "50", "-q", "-o", dir / "b.fits" }).status, 0);
    Values plain(25, 0), offset(25, 49);
    plain[12] = 399; // 500 - 101
    offset[12] = 449;
    EXPECT_EQ(ReadFits(dir / "a.fits").values, plain);
    EXPECT_TRUE(ReadFits(dir / "a.fits").HasHistory("background subtracted: 3 x 3 median"));
    EXPECT_EQ(ReadFits(dir / "b.fits").values, offset);
}

TEST_F(Median, ThirtyTwoBitFramesUseTheirOwnValueRange)
{
    // Range 1000 .. 1999 gives bins of one value: a uniform 1500 filters to 1501.
    Values v(12, 1500);
    v[0] = 1000;
    v[11] = 1999;
    WriteU32(dir / "in.fits", 4, 3, v);
    ASSERT_EQ(Tamrix({ "median", dir / "in.fits", "-r", "1", "-q", "-o", dir / "out.fits" }).status, 0);
    EXPECT_EQ(ReadFits(dir / "out.fits").values[5], 1501u);
}

TEST_F(Median, ProgressBarFollowsTheFilterToOneHundredPercent)
{
    WriteU16(dir / "in.fits", 16, 200, Values(16 * 200, 7));
    // Worker threads report outside the lock and may overtake each other, and
    // the bar skips a report behind the one drawn: one thread keeps every
    // report, the 37 % included.
    const char* threads = std::getenv("OMP_NUM_THREADS");
    const std::string before = threads ? threads : "";
    setenv("OMP_NUM_THREADS", "1", 1);
    const Result run = Tamrix({ "median", dir / "in.fits", "-r", "2", "--progress", "-o", dir / "out.fits" });
    if (before.empty())
        unsetenv("OMP_NUM_THREADS");
    else
        setenv("OMP_NUM_THREADS", before.c_str(), 1);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("median ["), std::string::npos);
    EXPECT_NE(run.err.find("] 37 %"), std::string::npos) << "the filter's own text for row 74 of 200";
    const std::string full = "[" + std::string(40, '#') + "] 100 %\n";
    ASSERT_GE(run.err.size(), full.size());
    EXPECT_EQ(run.err.substr(run.err.size() - full.size()), full);
}

// Ctrl-C (SIGINT) and SIGTERM stop the filter alike; the status tells which.
class MedianStopped : public ::testing::TestWithParam<int> {
protected:
    Scratch dir;
};

TEST_P(MedianStopped, CancelsTheFilterAndWritesNothing)
{
    const int w = 1200, h = 2000;
    Values v(size_t(w) * h);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint32_t(i * 2654435761u % 60000);
    WriteU16(dir / "in.fits", w, h, v);
    const Result run = Tamrix(
        { "median", dir / "in.fits", "-r", "25", "--progress", "-o", dir / "out.fits" }, "median [", GetParam());
    EXPECT_EQ(run.status, 128 + GetParam()) << run.err;
    EXPECT_NE(run.err.find("; no output written"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("100 %"), std::string::npos) << "the filter ran to the end before the interrupt";
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "in.fits" }));
}

INSTANTIATE_TEST_SUITE_P(Median, MedianStopped, ::testing::Values(SIGINT, SIGTERM),
    [](const auto& info) { return info.param == SIGINT ? "ByCtrlC" : "BySigterm"; });

TEST_F(Median, ARadiusAsWideAsTheFrameIsAUsageError)
{
    WriteU16(dir / "in.fits", 5, 5, Values(25, 1));
    const Result run = Tamrix({ "median", dir / "in.fits", "-r", "5", "-o", dir / "out.fits" });
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("must be below the frame width 5"), std::string::npos) << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "in.fits" }));
}

} // namespace
} // namespace tamrix::clitest
