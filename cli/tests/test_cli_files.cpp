// End-to-end: FITS round trips, calibrate and bin, and every kind of bad input.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tamrix::clitest {
namespace {

using Values = std::vector<uint32_t>;

// A message is one line that names the file and the problem.
void ExpectOneLineError(const Result& run, int status, const std::string& file, const std::string& problem)
{
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(problem), std::string::npos) << run.err;
}

class Cli : public ::testing::Test {
protected:
    Scratch dir;
};

// ---- FITS round trips ----------------------------------------------------

TEST_F(Cli, SixteenBitPixelsAndHeaderRoundTripExactly)
{
    const Values light = { 0, 1, 2, 32767, 32768, 32769, 65534, 65535, 1000, 12345, 54321, 7 };
    FitsLayout layout { 4, 3, 0, 16, 32768, false, { { "OBJECT", "M 31" }, { "FILTER", "Ha" } } };
    WriteFits(dir / "light.fits", layout, std::vector<double>(light.begin(), light.end()));
    WriteU16(dir / "dark.fits", 4, 3, Values(12, 0));

    const Result run = Tamrix({ "calibrate", dir / "light.fits", "--dark", dir / "dark.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.bitpix, 16);
    EXPECT_EQ(out.bzero, 32768.0);
    EXPECT_EQ(out.values, light);
    EXPECT_EQ(out.Key("OBJECT"), "'M 31    '"); // FITS pads strings to 8 characters
    EXPECT_EQ(out.Key("FILTER"), "'Ha      '");
    EXPECT_TRUE(out.HasHistory("tamrix calibrate: dark frame"));
}

TEST_F(Cli, ThirtyTwoBitPixelsRoundTripExactly)
{
    const Values light = { 0, 1, 65535, 65536, 2147483647u, 2147483648u, 2147483649u, 4294967294u, 4294967295u };
    WriteU32(dir / "light.fits", 3, 3, light);
    WriteU32(dir / "dark.fits", 3, 3, Values(9, 0));

    const Result run = Tamrix({ "calibrate", dir / "light.fits", "--dark", dir / "dark.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.bitpix, 32);
    EXPECT_EQ(out.bzero, 2147483648.0);
    EXPECT_EQ(out.values, light);
}

TEST_F(Cli, ReadsTheFirstExtensionWhenThePrimaryHduIsEmpty)
{
    FitsLayout layout { 2, 2, 0, 16, 32768, true, {} };
    WriteFits(dir / "light.fits", layout, { 10, 20, 30, 40 });
    WriteU16(dir / "dark.fits", 2, 2, { 1, 2, 3, 4 });
    const Result run = Tamrix({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFits(dir / "out.fits").values, (Values { 9, 18, 27, 36 }));
}

TEST_F(Cli, AcceptsSignedDataWithoutNegativeValues)
{
    WriteFits(dir / "light.fits", { 2, 1, 0, 16, 0, false, {} }, { 0, 32767 });
    WriteFits(dir / "dark.fits", { 2, 1, 0, 32, 0, false, {} }, { 0, 7 });
    const Result run = Tamrix({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.bitpix, 16);
    EXPECT_EQ(out.bzero, 32768.0);
    EXPECT_EQ(out.values, (Values { 0, 32760 }));
}

// ---- calibrate and bin --------------------------------------------------

TEST_F(Cli, CalibrateSubtractsTheDarkThenDividesByTheFlatMean)
{
    // Dark: 500-20, 100-120 clamps at 0, saturated stays. Flat mean 2000.
    WriteU16(dir / "light.fits", 4, 1, { 520, 100, 65535, 1020 });
    WriteU16(dir / "dark.fits", 4, 1, { 20, 120, 5, 20 });
    WriteU16(dir / "flat.fits", 4, 1, { 1000, 3000, 1000, 3000 });
    const Result run = Tamrix({ "calibrate", dir / "light.fits", "--dark", dir / "dark.fits", "--flat",
        dir / "flat.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.values, (Values { 1000, 0, 65535, 666 }));
    EXPECT_TRUE(out.HasHistory("at level 2000 (its mean)"));
}

TEST_F(Cli, CalibrateWidensASixteenBitDarkForAThirtyTwoBitLight)
{
    WriteU32(dir / "light.fits", 2, 1, { 100000, 5 });
    WriteU16(dir / "dark.fits", 2, 1, { 65535, 6 });
    const Result run = Tamrix({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFits(dir / "out.fits").values, (Values { 34465, 0 }));
}

TEST_F(Cli, BinSumsBlocksIntoThirtyTwoBitPixelsAndIgnoresLeftovers)
{
    Values v(25);
    for (uint32_t i = 0; i < 25; ++i)
        v[i] = 65535 - i;
    WriteU16(dir / "in.fits", 5, 5, v);
    const Result run = Tamrix({ "bin", dir / "in.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.width, 2);
    EXPECT_EQ(out.height, 2);
    EXPECT_EQ(out.bitpix, 32);
    // Block (0,0): 65535 + 65534 + 65530 + 65529.
    EXPECT_EQ(out.values, (Values { 262128, 262120, 262088, 262080 }));
}

TEST_F(Cli, BinTakesSeparateFactors)
{
    WriteU16(dir / "in.fits", 3, 2, { 1, 2, 3, 4, 5, 6 });
    const Result run = Tamrix({ "bin", dir / "in.fits", "-x", "3", "-y", "1", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFits(dir / "out.fits").values, (Values { 6, 15 }));
}

TEST_F(Cli, BinMovesTheWorldCoordinatesOntoTheBinnedGrid)
{
    // Output pixel 0 is centred on input 0.5: CRPIX' = (CRPIX + 0.5) / 2, CD' = 2 CD.
    FitsLayout layout { 6, 4, 0, 16, 32768, false, {},
        { "CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CRVAL1  = 150.0", "CRVAL2  = 2.0", "CRPIX1  = 3.5",
            "CRPIX2  = 2.0", "CD1_1   = -1.0E-4", "CD1_2   = 2.0E-5", "CD2_1   = 3.0E-5", "CD2_2   = 1.0E-4" } };
    WriteFits(dir / "in.fits", layout, std::vector<double>(24, 100));
    const Result run = Tamrix({ "bin", dir / "in.fits", "-o", dir / "out.fits" });
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage out = ReadFits(dir / "out.fits");
    const std::pair<const char*, double> expected[] = { { "CRPIX1", 2.0 }, { "CRPIX2", 1.25 }, { "CD1_1", -2e-4 },
        { "CD1_2", 4e-5 }, { "CD2_1", 6e-5 }, { "CD2_2", 2e-4 }, { "CRVAL1", 150.0 } };
    for (const auto& [key, value] : expected)
        EXPECT_DOUBLE_EQ(std::stod(out.Key(key)), value) << key;
    EXPECT_FALSE(out.HasHistory("world coordinates removed"));
}

// ---- bad input: a one-line error, its exit status, and no output ----------

struct BadInput {
    const char* name;
    void (*make)(const Scratch&); // writes light.fits (and dark.fits)
    int status;
    const char* problem;
};

void Good(const Scratch& d, const std::string& name)
{
    WriteU16(d / name, 4, 4, Values(16, 100));
}

const BadInput kBadInputs[] = {
    { "MissingFile", [](const Scratch& d) { Good(d, "dark.fits"); }, 3, "no such file" },
    { "NotFits",
        [](const Scratch& d) {
            WriteText(d / "light.fits", "SIMPLE? no, a text file\n");
            Good(d, "dark.fits");
        },
        3, "not a readable FITS file" },
    { "FloatingPoint",
        [](const Scratch& d) {
            WriteFits(d / "light.fits", { 4, 4, 0, -32, 0, false, {} }, std::vector<double>(16, 1.5));
            Good(d, "dark.fits");
        },
        4, "floating-point pixels (BITPIX -32)" },
    { "SignedNegative",
        [](const Scratch& d) {
            std::vector<double> v(16, 10);
            v[5] = -3;
            WriteFits(d / "light.fits", { 4, 4, 0, 16, 0, false, {} }, v);
            Good(d, "dark.fits");
        },
        4, "negative values" },
    { "Cube",
        [](const Scratch& d) {
            WriteFits(d / "light.fits", { 4, 4, 3, 16, 32768, false, {} }, std::vector<double>(48, 1));
            Good(d, "dark.fits");
        },
        4, "data cube (4 x 4 x 3)" },
    { "Truncated",
        [](const Scratch& d) {
            Good(d, "light.fits");
            Good(d, "dark.fits");
            // Claim a larger image than the file holds.
            std::string text = ReadText(d / "light.fits");
            const size_t at = text.find("NAXIS1  =");
            text.replace(at + 10, 20, "                2000");
            WriteText(d / "light.fits", text);
        },
        3, "truncated" },
    { "TooLarge",
        [](const Scratch& d) {
            Good(d, "light.fits");
            Good(d, "dark.fits");
            std::string text = ReadText(d / "light.fits");
            for (const char* axis : { "NAXIS1  =", "NAXIS2  =" })
                text.replace(text.find(axis) + 10, 20, "               50000");
            WriteText(d / "light.fits", text);
        },
        4, "50000 x 50000 pixels is too large" },
    { "MismatchedDark",
        [](const Scratch& d) {
            Good(d, "light.fits");
            WriteU16(d / "dark.fits", 4, 5, Values(20, 1));
        },
        5, "4 x 5 pixels" },
    { "ThirtyTwoBitDarkTooBrightForSixteenBitLight",
        [](const Scratch& d) {
            Good(d, "light.fits");
            WriteU32(d / "dark.fits", 4, 4, Values(16, 70000));
        },
        5, "do not fit" },
};

void PrintTo(const BadInput& bad, std::ostream* os)
{
    *os << bad.name;
}

class BadCalibrationInput : public ::testing::TestWithParam<BadInput> {
protected:
    Scratch dir;
};

TEST_P(BadCalibrationInput, FailsWithItsMessageAndStatusAndLeavesNoOutput)
{
    const BadInput& bad = GetParam();
    bad.make(dir);
    const auto before = dir.Files();
    const Result run = Tamrix({ "calibrate", dir / "light.fits", "--dark", dir / "dark.fits", "-o", dir / "out.fits" });
    const std::string culprit = std::string(bad.name).find("Dark") != std::string::npos ? "dark.fits" : "light.fits";
    ExpectOneLineError(run, bad.status, dir / culprit, bad.problem);
    EXPECT_EQ(dir.Files(), before); // neither out.fits nor a temporary
}

INSTANTIATE_TEST_SUITE_P(Cli, BadCalibrationInput, ::testing::ValuesIn(kBadInputs),
    [](const auto& info) { return std::string(info.param.name); });

// Every subcommand that reads a frame goes through the same checks. The frame
// comes first; "OUT" stands for the output file.
struct FrameCommand {
    const char* name;
    std::vector<std::string> args;
};
void PrintTo(const FrameCommand& command, std::ostream* os)
{
    *os << command.name;
}

const FrameCommand kFrameCommands[] = {
    { "bin", { "-o", "OUT" } },
    { "stars", { "--csv", "OUT" } },
    { "median", { "-r", "1", "-o", "OUT" } },
    { "resample", { "-o", "OUT" } },
    { "shift", { "--by", "1,0", "-o", "OUT" } },
    { "transform", { "--rotate", "3", "-o", "OUT" } },
    { "stats", {} },
    { "render", { "-o", "OUT.png" } },
};

class BadFrameForEveryCommand : public ::testing::TestWithParam<std::tuple<BadInput, FrameCommand>> {
protected:
    Scratch dir;
};

TEST_P(BadFrameForEveryCommand, FailsWithItsMessageAndStatusAndLeavesNoOutput)
{
    const auto& [bad, command] = GetParam();
    bad.make(dir);
    const auto before = dir.Files();
    std::vector<std::string> args = { command.name, dir / "light.fits" };
    for (const std::string& a : command.args)
        args.push_back(a == "OUT" ? dir / "out.fits" : a == "OUT.png" ? dir / "out.png" : a);
    const Result run = Tamrix(args);
    ExpectOneLineError(run, bad.status, dir / "light.fits", bad.problem);
    EXPECT_EQ(dir.Files(), before);
}

// The cases about the light frame itself (the first seven).
INSTANTIATE_TEST_SUITE_P(Cli, BadFrameForEveryCommand,
    ::testing::Combine(::testing::ValuesIn(kBadInputs, kBadInputs + 7), ::testing::ValuesIn(kFrameCommands)),
    [](const auto& info) {
        std::string name = std::get<1>(info.param).name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name + "_" + std::get<0>(info.param).name;
    });

TEST_F(Cli, AFailedRunLeavesAnExistingOutputUntouched)
{
    WriteU16(dir / "light.fits", 4, 4, Values(16, 100));
    WriteU16(dir / "dark.fits", 4, 3, Values(12, 100));
    WriteText(dir / "out.fits", "previous result");
    const Result run = Tamrix({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "out.fits" });
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(ReadText(dir / "out.fits"), "previous result");
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "dark.fits", "light.fits", "out.fits" }));
}

TEST_F(Cli, AnOutputInAMissingFolderFailsBeforeAnythingIsWritten)
{
    WriteU16(dir / "light.fits", 4, 4, Values(16, 100));
    const Result run = Tamrix({ "bin", dir / "light.fits", "-o", dir / "nowhere/out.fits" });
    ExpectOneLineError(run, 1, dir / "nowhere/out.fits", "cannot create a file in");
}

TEST_F(Cli, UsageErrorsExitWithStatusTwo)
{
    WriteU16(dir / "light.fits", 4, 4, Values(16, 100));
    EXPECT_EQ(Tamrix({ "calibrate", dir / "light.fits", "-o", dir / "out.fits" }).status, 2); // no dark, no flat
    EXPECT_EQ(Tamrix({ "calibrate", dir / "light.fits", "-d", dir / "light.fits" }).status, 2); // no -o
    EXPECT_EQ(Tamrix({ "bin", dir / "light.fits", "-n", "0", "-o", dir / "out.fits" }).status, 2);
    ExpectOneLineError(Tamrix({ "bin", dir / "light.fits", "-n", "5", "-o", dir / "out.fits" }), 2, dir / "light.fits",
        "no whole 5 x 5 block");
    EXPECT_EQ(Tamrix({ "frobnicate" }).status, 2);
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "light.fits" }));
}

} // namespace
} // namespace tamrix::clitest
