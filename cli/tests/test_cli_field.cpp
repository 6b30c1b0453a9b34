// End-to-end: tamrix fit-field.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace tamrix::clitest {
namespace {

class Field : public ::testing::Test {
protected:
    Scratch dir;
};

std::string StarList(double dx, double dy, int count)
{
    std::string text = "x,y,cx,cy,flux,peak\n";
    for (int i = 0; i < count; ++i) {
        const double x = 20 + (i % 6) * 40 + dx, y = 15 + (i / 6) * 35 + dy;
        char line[100];
        std::snprintf(line, sizeof line, "%d,%d,%.4f,%.4f,1000.00,500\n", int(x + 0.5), int(y + 0.5), x, y);
        text += line;
    }
    return text;
}

TEST_F(Field, FitFieldRecoversAUniformMotion)
{
    WriteFile(dir / "a.csv", StarList(0, 0, 36));
    WriteFile(dir / "b.csv", StarList(1.5, -0.5, 36));
    const Result run = Tamrix({ "fit-field", dir / "a.csv", dir / "b.csv", "--size", "256,200", "-o", dir / "f.txt" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("36 matched stars, mean motion (1.500, -0.500) px"), std::string::npos) << run.out;
    // The constant terms carry the motion in units of the longer side.
    const std::string text = ReadFile(dir / "f.txt");
    std::istringstream in(text.substr(text.find("\ndx ") + 4));
    double c[10];
    for (double& v : c)
        in >> v;
    EXPECT_NEAR(c[9], 1.5 / 256, 1e-9);
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(c[i], 0, 1e-6) << i;
}

TEST_F(Field, FitFieldNeedsTenMatchedStars)
{
    WriteFile(dir / "a.csv", StarList(0, 0, 9));
    WriteFile(dir / "b.csv", StarList(1, 0, 9));
    const Result run = Tamrix({ "fit-field", dir / "a.csv", dir / "b.csv", "--size", "256,200", "-o", dir / "f.txt" });
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.err.find("only 9 stars match"), std::string::npos) << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "a.csv", "b.csv" }));
}

class BadStarList : public ::testing::TestWithParam<BadLine> {
protected:
    Scratch dir;
};

TEST_P(BadStarList, NamesTheFileAndLine)
{
    WriteFile(dir / "a.csv", StarList(0, 0, 12) + GetParam().line + "\n");
    WriteFile(dir / "b.csv", StarList(1, 0, 12));
    const Result run = Tamrix({ "fit-field", dir / "a.csv", dir / "b.csv", "--size", "256,200", "-o", dir / "f.txt" });
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find(dir / "a.csv" + ": line 14: " + GetParam().problem), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Field, BadStarList,
    ::testing::Values(BadLine { "NotANumber", "1,2,3.5,oops,4,5", "cy is not a number: 'oops'" },
        // Read as 3 before: the text ended at the NUL.
        BadLine { "NulInANumber", std::string("1,2,3\0x,4,4,5", 13), "cx is not a number" },
        // Past the int of the rounded position.
        BadLine { "BeyondAnyFrame", "1,2,1e17,4,4,5", "the position 1e17, 4 lies beyond any frame" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tamrix::clitest
