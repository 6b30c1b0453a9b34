// The host utility services: bound-and-pointer strings, number text, files
// and the random generator, through the exported interface.
#include "hostlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// ---- Strings ----------------------------------------------------------------

TEST(Strings, LengthStopsAtTheTerminatorOrTheBound)
{
    const char text[] = { 'a', 'b', 'c', '\0', 'x' };
    EXPECT_EQ(Str::LengthA(1000, "neural"), 6);
    EXPECT_EQ(Str::LengthA(4, text), 3);
    EXPECT_EQ(Str::LengthA(1, text), 2); // only indices 0 and 1 are valid
    EXPECT_EQ(Str::LengthA(-1, text), 0);
    EXPECT_EQ(Str::LengthA(10, nullptr), 0);
}

TEST(Strings, CopyCutsToTheDestinationAndTerminates)
{
    char dest[6] = "#####";
    EXPECT_EQ(Str::CopyA(5, dest, 1000, "version"), 5);
    EXPECT_STREQ(dest, "versi");
    EXPECT_EQ(Str::CopyA(5, dest, 2, "layers"), 3); // source cut by its own bound
    EXPECT_STREQ(dest, "lay");
}

TEST(Strings, AppendFillsTheRemainingRoom)
{
    char dest[8] = "ab";
    EXPECT_EQ(Str::AppendA(7, dest, 1000, ";12"), 5);
    EXPECT_EQ(Str::AppendA(7, dest, 1000, ";345"), 7);
    EXPECT_STREQ(dest, "ab;12;3");
    EXPECT_EQ(Str::AppendA(7, dest, 1000, "x"), 7);
    EXPECT_STREQ(dest, "ab;12;3");
}

TEST(Strings, AppendToAnUnterminatedBufferKeepsItInBounds)
{
    char dest[4] = { 'a', 'b', 'c', 'd' };
    EXPECT_EQ(Str::AppendA(3, dest, 1000, "e"), 3);
    EXPECT_STREQ(dest, "abc");
}

// ---- Number text --------------------------------------------------------------

TEST(NumberText, IntegersInDecimalAndOtherBases)
{
    char buf[32];
    bool ok = false;
    Str::IntToStrA(-2147483647 - 1, 31, buf, 10, &ok);
    EXPECT_TRUE(ok);
    EXPECT_STREQ(buf, "-2147483648");
    Str::CardToStrA(4294967295u, 31, buf, 10, &ok);
    EXPECT_STREQ(buf, "4294967295");
    Str::IntToStrA(255, 31, buf, 16, &ok);
    EXPECT_STREQ(buf, "ff");
    EXPECT_EQ(Str::IntToStrA(0, 31, buf, 10, nullptr), 1);
    EXPECT_STREQ(buf, "0");
}

TEST(NumberText, TextThatDoesNotFitLeavesAnEmptyStringAndReportsIt)
{
    char buf[4] = "###";
    bool ok = true;
    EXPECT_EQ(Str::IntToStrA(1234, 3, buf, 10, &ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(buf, "");
    Str::IntToStrA(123, 3, buf, 10, &ok);
    EXPECT_TRUE(ok);
    EXPECT_STREQ(buf, "123");
    Str::CardToStrA(5, 3, buf, 1, &ok); // no base 1
    EXPECT_FALSE(ok);
}

TEST(NumberText, FixedPointWithFiveDecimalsNeverUsesAnExponent)
{
    char buf[64];
    bool ok = false;
    const struct {
        double value;
        const char* text;
    } cases[] = {
        { 0.123456, "0.12346" },
        { -1.5, "-1.50000" },
        { 2.5e-6, "0.00000" },
        { 7.5e-6, "0.00001" },
        { 1e20, "100000000000000000000.00000" },
        { -0.25f, "-0.25000" },
        { 3.0, "3.00000" },
    };
    for (const auto& c : cases) {
        Str::FixRealToStrA(c.value, 5, 63, buf, &ok);
        EXPECT_TRUE(ok) << c.text;
        EXPECT_STREQ(buf, c.text);
    }
    Str::FixRealToStrA(1.0, 0, 63, buf, &ok);
    EXPECT_STREQ(buf, "1");
    EXPECT_EQ(Str::FixRealToStrA(-123.456, 5, 9, buf, &ok), 0); // "-123.45600" has 10 characters
    EXPECT_FALSE(ok);
}

// ---- Files --------------------------------------------------------------------

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/tamrix-fio-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/net.txt";
    }
    void TearDown() override
    {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    static bool Failed(FIO::THandle h) { return reinterpret_cast<intptr_t>(h) == FIO::kFailedHandle; }

    std::string dir_, path_;
};

TEST_F(Files, WrittenTextReadsBackWithItsSize)
{
    FIO::THandle out = FIO::CreateA(1000, path_.c_str(), 0);
    ASSERT_FALSE(Failed(out));
    EXPECT_TRUE(FIO::WrStrA(out, 0x7fffff, "layers;3\r\n"));
    EXPECT_TRUE(FIO::WrStrA(out, 3, "abcdef")); // cut at the bound: "abcd"
    FIO::Close(out);

    FIO::THandle in = FIO::OpenReadA(1000, path_.c_str(), 1);
    ASSERT_FALSE(Failed(in));
    EXPECT_EQ(FIO::Size(in), 14);
    char buf[20] = {};
    EXPECT_EQ(FIO::RdBin(in, 13, buf, 14), 14);
    EXPECT_EQ(std::string(buf), "layers;3\r\nabcd");
    EXPECT_EQ(FIO::RdBin(in, 13, buf, 14), 0); // at the end: a short count
    FIO::Close(in);
}

TEST_F(Files, ReadNeverPassesTheCountOrTheBound)
{
    FIO::THandle out = FIO::CreateA(1000, path_.c_str(), 0);
    FIO::WrStrA(out, 1000, "0123456789");
    FIO::Close(out);

    FIO::THandle in = FIO::OpenReadA(1000, path_.c_str(), 1);
    char buf[10];
    std::fill(buf, buf + 10, '#');
    EXPECT_EQ(FIO::RdBin(in, 9, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 10), "012#######");
    EXPECT_EQ(FIO::RdBin(in, 1, buf, 5), 2); // room for 2 only: failure, and nothing past it
    EXPECT_EQ(std::string(buf, 10), "342#######");
    EXPECT_EQ(FIO::RdBin(in, 9, buf, 100), 5); // only 5 bytes left
    FIO::Close(in);
}

TEST_F(Files, MissingFilesAndBadNamesGiveTheFailureValue)
{
    EXPECT_TRUE(Failed(FIO::OpenReadA(1000, path_.c_str(), 1)));
    EXPECT_TRUE(Failed(FIO::OpenReadA(1000, "", 1)));
    EXPECT_TRUE(Failed(FIO::OpenReadA(-1, path_.c_str(), 1)));
    EXPECT_TRUE(Failed(FIO::CreateA(1000, (dir_ + "/no/such/dir").c_str(), 0)));
}

TEST_F(Files, TheNameEndsAtItsBound)
{
    const std::string longer = path_ + "-and-more";
    FIO::THandle out = FIO::CreateA(static_cast<int>(path_.size()) - 1, longer.c_str(), 0);
    ASSERT_FALSE(Failed(out));
    FIO::Close(out);
    FIO::THandle in = FIO::OpenReadA(1000, path_.c_str(), 1);
    EXPECT_FALSE(Failed(in));
    FIO::Close(in);
}

TEST_F(Files, CreateReplacesOrRefusesAnExistingFile)
{
    FIO::THandle out = FIO::CreateA(1000, path_.c_str(), 0);
    FIO::WrStrA(out, 1000, "old contents");
    FIO::Close(out);
    EXPECT_TRUE(Failed(FIO::CreateA(1000, path_.c_str(), 1)));
    out = FIO::CreateA(1000, path_.c_str(), 0);
    ASSERT_FALSE(Failed(out));
    FIO::Close(out);
    FIO::THandle in = FIO::OpenReadA(1000, path_.c_str(), 1);
    EXPECT_EQ(FIO::Size(in), 0);
    FIO::Close(in);
}

// ---- Random numbers -------------------------------------------------------------

std::vector<double> Draws(int n)
{
    std::vector<double> v(n);
    for (auto& x : v)
        x = Lib::RAND();
    return v;
}

TEST(RandomNumbers, RandIsUniformInTheHalfOpenUnitInterval)
{
    Lib::FixSeed(11);
    const auto v = Draws(100000);
    double sum = 0.0;
    int low = 0;
    for (double x : v) {
        ASSERT_GT(x, 0.0);
        ASSERT_LE(x, 1.0);
        sum += x;
        low += x <= 0.25;
    }
    EXPECT_NEAR(sum / v.size(), 0.5, 0.005);
    EXPECT_NEAR(low / double(v.size()), 0.25, 0.005);
}

TEST(RandomNumbers, RandomHasNoModuloBias)
{
    // n = 3 * 2^30: taking a 32-bit word modulo n would put twice as many
    // results below 2^30 as above; uniform draws put a third there.
    Lib::FixSeed(12);
    const unsigned n = 3u << 30;
    int below = 0;
    const int draws = 30000;
    for (int i = 0; i < draws; ++i) {
        const unsigned r = Lib::RANDOM(n);
        ASSERT_LT(r, n);
        below += r < (1u << 30);
    }
    EXPECT_NEAR(below / double(draws), 1.0 / 3.0, 0.02);
}

TEST(RandomNumbers, RandomCoversEverySmallRangeEvenly)
{
    Lib::FixSeed(13);
    int counts[7] = {};
    for (int i = 0; i < 70000; ++i)
        ++counts[Lib::RANDOM(7)];
    for (int c : counts)
        EXPECT_NEAR(c, 10000, 400);
    EXPECT_EQ(Lib::RANDOM(1), 0u);
    EXPECT_EQ(Lib::RANDOM(0), 0u);
}

TEST(RandomNumbers, AFixedSeedRepeatsAndEachReseedStartsAnotherStream)
{
    Lib::FixSeed(42);
    const auto first = Draws(5);
    Lib::RANDOMIZE();
    const auto second = Draws(5);
    Lib::RANDOMIZE();
    const auto third = Draws(5);

    Lib::FixSeed(42);
    EXPECT_EQ(Draws(5), first);
    Lib::RANDOMIZE();
    EXPECT_EQ(Draws(5), second);
    Lib::RANDOMIZE();
    EXPECT_EQ(Draws(5), third);
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);

    Lib::FixSeed(43);
    EXPECT_NE(Draws(5), first);
}

TEST(RandomNumbers, WithoutAFixedSeedReseedingDiffersEveryTime)
{
    Lib::FixSeed(5);
    Lib::UnfixSeed();
    Lib::RANDOMIZE();
    const auto a = Draws(3);
    Lib::FixSeed(5);
    Lib::UnfixSeed();
    Lib::RANDOMIZE();
    EXPECT_NE(Draws(3), a);
}

TEST(RandomNumbers, ConcurrentCallersShareOneSequenceWithoutRepeats)
{
    const int perThread = 20000, threads = 4;
    Lib::FixSeed(99);
    auto expected = Draws(perThread * threads);

    Lib::FixSeed(99);
    std::vector<std::vector<double>> got(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { got[t] = Draws(perThread); });
    for (auto& th : pool)
        th.join();
    std::vector<double> all;
    for (const auto& g : got)
        all.insert(all.end(), g.begin(), g.end());
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}

} // namespace
