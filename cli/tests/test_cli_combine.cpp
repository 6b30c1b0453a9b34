// End-to-end: combine, its output as a master for calibrate, and its refusals.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace tamrix::clitest {
namespace {

using Cli = CliTest;
const double kNaN = std::nan("");

// Three 4 x 1 frames of three kinds (floating point with an undefined pixel,
// tile-compressed, gzip'd) through one mapping: an outlier among three is
// clipped, two values are not, and compressed inputs leave nothing behind.
TEST_F(Cli, CombineClipsOneOutlierAmongThreeInPhysicalUnits)
{
    FitsLayout real { 4, 1, 0, -32, 0 };
    real.cards = { "OBJECT  = 'dark    '" };
    WriteFits(dir / "a.fits", real, { 10, kNaN, 7.5, -100 });
    FitsLayout packed { 4, 1, 0, -32, 0 };
    packed.tiled = true;
    WriteFits(dir / "b.fits", packed, { 10, 20, 8, -100 });
    packed = { 4, 1, 0, 16, 0 };
    packed.gzip = true;
    WriteFits(dir / "c.fits.gz", packed, { 1000, 22, 9, -100 });
    const Result run = Tamrix({ "combine", dir / "a.fits", dir / "b.fits", dir / "c.fits.gz", "-o", dir / "m.fits",
        "--method", "sigma-clip", "--rejection", dir / "r.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(
        run.err.find("a.fits: 1 pixel is NaN, infinite or BLANK (left out of the combination)"), std::string::npos)
        << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "a.fits", "b.fits", "c.fits.gz", "m.fits", "r.fits" }));

    const FitsImage master = ReadFits(dir / "m.fits");
    EXPECT_EQ(master.bitpix, -32);
    EXPECT_EQ(master.physical, (std::vector<double> { 10, 21, double(float(24.5 / 3)), -100 }));
    for (const std::string card : { "NCOMBINE=                    3 /", "OBJECT  = 'dark    '" })
        EXPECT_TRUE(std::any_of(master.cards.begin(), master.cards.end(), [&](const std::string& c) {
            return c.rfind(card, 0) == 0;
        })) << card;
    EXPECT_TRUE(master.HasHistory("tamrix combine: sigma-clip of 3 frames, bounds 3,3 sigma"));
    EXPECT_EQ(ReadFits(dir / "r.fits").physical, (std::vector<double> { 1, 0, 0, 0 }));

    // The float master serves calibrate for 16-bit lights.
    WriteU16(dir / "light.fits", 4, 1, { 15, 30, 10, 0 });
    ASSERT_EQ(Tamrix({ "calibrate", dir / "light.fits", "--dark", dir / "m.fits", "-o", dir / "cal.fits" }).status, 0);
    const FitsImage calibrated = ReadFits(dir / "cal.fits");
    EXPECT_NEAR(calibrated.physical[0], 5, 1e-6);
    EXPECT_NEAR(calibrated.physical[1], 9, 1e-6);
}

struct Refusal {
    const char* name;
    std::vector<std::string> args; // after "combine"; files a.fits (4 x 2), b.fits (4 x 2), s.fits (4 x 1)
    int status;
    std::string problem;
};

const Refusal kRefusals[] = {
    { "AFrameOfAnotherSize", { "a.fits", "s.fits", "b.fits", "-o", "m.fits" }, 5, "s.fits: 4 x 1 pixels, but " },
    { "AnUnknownMethod", { "a.fits", "b.fits", "-o", "m.fits", "-m", "average" }, 2,
        "'average' is not a method; choose median, mean, sigma-clip or winsorized" },
    { "ANonPositiveBound", { "a.fits", "b.fits", "-o", "m.fits", "--sigma", "3,0" }, 2,
        "--sigma: both bounds must be positive" },
    { "TheRejectionMapAsTheOutput", { "a.fits", "b.fits", "-o", "m.fits", "--rejection", "m.fits" }, 2,
        "--rejection " },
    { "AnInputAsTheOutput", { "a.fits", "b.fits", "-o", "b.fits" }, 2, "is an input too" },
};

using CombineRefuses = CliParamTest<Refusal>;

TEST_P(CombineRefuses, WithOneLineAndNoOutput)
{
    const Refusal& r = GetParam();
    WriteU16(dir / "a.fits", 4, 2, Values(8, 1));
    WriteU16(dir / "b.fits", 4, 2, Values(8, 2));
    WriteU16(dir / "s.fits", 4, 1, Values(4, 3));
    std::vector<std::string> args { "combine" };
    for (const std::string& a : r.args)
        args.push_back(a.find(".fits") != std::string::npos ? dir / a : a);
    ExpectOneLineError(Tamrix(args), r.status, "", r.problem);
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "a.fits", "b.fits", "s.fits" }));
}

INSTANTIATE_TEST_SUITE_P(Cli, CombineRefuses, ::testing::ValuesIn(kRefusals), ByName());

} // namespace
} // namespace tamrix::clitest
