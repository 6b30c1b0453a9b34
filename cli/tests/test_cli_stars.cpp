// End-to-end: tamrix stars.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

namespace tamrix::clitest {
namespace {

struct TrueStar {
    double x, y, flux;
};

// A 96 x 64 16-bit sky of level 1000 with a fixed ripple of +-3 counts (so the
// background has a spread) and Gaussian stars of sigma 1.2 pixels.
std::vector<uint32_t> Sky(const std::vector<TrueStar>& stars, int w = 96, int h = 64)
{
    std::vector<uint32_t> v(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double value = 1000 + ((x * 7 + y * 13) % 7) - 3;
            for (const TrueStar& s : stars) {
                const double d2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
                value += s.flux / (2 * M_PI * 1.44) * std::exp(-d2 / (2 * 1.44));
            }
            v[size_t(y) * w + x] = uint32_t(value);
        }
    return v;
}

struct Row {
    double cx, cy, flux;
};

std::vector<Row> ParseCsv(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "x,y,cx,cy,flux,peak,fwhm,elongation,snr,sharpness,flags");
    std::vector<Row> rows;
    while (std::getline(in, line)) {
        int x, y;
        unsigned peak;
        Row r;
        EXPECT_EQ(std::sscanf(line.c_str(), "%d,%d,%lf,%lf,%lf,%u", &x, &y, &r.cx, &r.cy, &r.flux, &peak), 6) << line;
        rows.push_back(r);
    }
    return rows;
}

class Stars : public ::testing::Test {
protected:
    Scratch dir;
    const std::vector<TrueStar> truth = { { 30.3, 20.6, 20000 }, { 70.8, 40.2, 12000 } };
};

TEST_F(Stars, FindsBothStarsNearTheirTruePositions)
{
    WriteU16(dir / "sky.fits", 96, 64, Sky(truth));
    for (const char* mode : { "--single-thread", "--start-level=0" }) {
        const Result run = Tamrix({ "stars", dir / "sky.fits", "-r", "8", mode });
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<Row> rows = ParseCsv(run.out);
        ASSERT_EQ(rows.size(), 2u) << run.out;
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_NEAR(rows[i].cx, truth[i].x, 0.15) << mode;
            EXPECT_NEAR(rows[i].cy, truth[i].y, 0.15) << mode;
            // Only the pixels above the threshold count: most of the flux, not all.
            EXPECT_GT(rows[i].flux, truth[i].flux * 0.6) << mode;
            EXPECT_LT(rows[i].flux, truth[i].flux) << mode;
        }
    }
}

TEST_F(Stars, WritesTheCsvAndOneBasedDs9Regions)
{
    WriteU16(dir / "sky.fits", 96, 64, Sky(truth));
    const Result run = Tamrix({ "stars", dir / "sky.fits", "--single-thread", "--csv", dir / "s.csv", "--regions",
        dir / "s.reg", "--mark-radius", "4" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ParseCsv(ReadText(dir / "s.csv")).size(), 2u);
    const std::string reg = ReadText(dir / "s.reg");
    EXPECT_EQ(reg.rfind("# Region file format: DS9 version 4.1\n", 0), 0u);
    const std::vector<Row> rows = ParseCsv(ReadText(dir / "s.csv"));
    char circle[80];
    std::snprintf(circle, sizeof circle, "circle(%.4f,%.4f,4)\n", rows[0].cx + 1, rows[0].cy + 1);
    EXPECT_NE(reg.find(circle), std::string::npos) << reg;
}

TEST_F(Stars, AnEmptySkyGivesAHeaderOnly)
{
    WriteU16(dir / "sky.fits", 96, 64, Sky({}));
    const Result run = Tamrix({ "stars", dir / "sky.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "x,y,cx,cy,flux,peak,fwhm,elongation,snr,sharpness,flags\n");
}

TEST_F(Stars, OutOfRangeParametersAreUsageErrors)
{
    WriteU16(dir / "sky.fits", 96, 64, Sky({}));
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "-r", "26" }).status, 2);
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "-q", "9" }).status, 2);
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--max-fwhm", "0" }).status, 2);
    EXPECT_EQ(Tamrix({ "stars", dir / "sky.fits", "--start-sigma", "3", "--start-level", "1000" }).status, 2);
}

} // namespace
} // namespace tamrix::clitest
