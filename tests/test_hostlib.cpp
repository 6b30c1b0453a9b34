// The host utility services through the exported interface: bound-and-pointer
// strings, number text, files and the random generator.
#include "hostlib.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(Strings, LengthCopyAndAppendStopAtTheTerminatorOrTheBound)
{
    const char text[] = { 'a', 'b', 'c', '\0', 'x' };
    EXPECT_EQ(Str::LengthA(4, text), 3);
    EXPECT_EQ(Str::LengthA(1, text), 2); // only indices 0 and 1 are valid
    EXPECT_EQ(Str::LengthA(-1, text), 0);
    char dest[8] = "#######";
    EXPECT_EQ(Str::CopyA(5, dest, 1000, "version"), 5);
    EXPECT_STREQ(dest, "versi");
    EXPECT_EQ(Str::CopyA(7, dest, 1, "ab;12"), 2); // the source cut by its own bound
    EXPECT_EQ(Str::AppendA(7, dest, 1000, ";12"), 5);
    EXPECT_EQ(Str::AppendA(7, dest, 1000, ";345"), 7);
    EXPECT_STREQ(dest, "ab;12;3");
    char full[4] = { 'a', 'b', 'c', 'd' }; // no terminator inside the buffer
    EXPECT_EQ(Str::AppendA(3, full, 1000, "e"), 3);
    EXPECT_STREQ(full, "abc");
}

TEST(NumberText, IntegersAndFixedPointNeverCutAValue)
{
    char buf[32];
    bool ok = false;
    Str::IntToStrA(-2147483647 - 1, 31, buf, 10, &ok);
    EXPECT_TRUE(ok);
    EXPECT_STREQ(buf, "-2147483648");
    Str::CardToStrA(4294967295u, 31, buf, 10, &ok);
    EXPECT_STREQ(buf, "4294967295");
    EXPECT_EQ(Str::IntToStrA(1234, 3, buf, 10, &ok), 0); // needs 5 bytes of 4
    EXPECT_FALSE(ok);
    EXPECT_STREQ(buf, "");
    for (const auto& [value, text] : { std::pair<double, const char*> { 2.5e-6, "0.00000" }, { 7.5e-6, "0.00001" },
             { 1e20, "100000000000000000000.00000" } }) {
        Str::FixRealToStrA(value, 5, 31, buf, &ok);
        EXPECT_TRUE(ok);
        EXPECT_STREQ(buf, text);
    }
    EXPECT_EQ(Str::FixRealToStrA(-123.456, 5, 9, buf, &ok), 0); // "-123.45600" has 10 characters
    EXPECT_FALSE(ok);
}

class Files : public ::testing::Test {
protected:
    static bool Failed(FIO::THandle h) { return reinterpret_cast<intptr_t>(h) == FIO::kFailedHandle; }
    void Write(const char* text, int bound = 1000)
    {
        FIO::THandle out = FIO::CreateA(1000, path_.c_str(), 0);
        ASSERT_FALSE(Failed(out));
        EXPECT_TRUE(FIO::WrStrA(out, bound, text));
        FIO::Close(out);
    }
    tamrix::test::ScratchDir dir_;
    std::string path_ = dir_ / "net.txt";
};

TEST_F(Files, ReadsNeverPassTheCountOrTheBound)
{
    Write("0123456789abc", 9); // written up to the bound
    FIO::THandle in = FIO::OpenReadA(1000, path_.c_str(), 1);
    ASSERT_FALSE(Failed(in));
    EXPECT_EQ(FIO::Size(in), 10);
    char buf[] = "##########";
    EXPECT_EQ(FIO::RdBin(in, 9, buf, 3), 3);
    EXPECT_EQ(FIO::RdBin(in, 1, buf, 5), 2); // room for 2 only: a short count, nothing past it
    EXPECT_EQ(std::string(buf, 10), "342#######");
    EXPECT_EQ(FIO::RdBin(in, 9, buf, 100), 5); // the rest of the file
    EXPECT_EQ(FIO::RdBin(in, 9, buf, 1), 0);
    FIO::Close(in);
}

TEST_F(Files, FailuresGiveTheFailureValue)
{
    Write("old");
    EXPECT_TRUE(Failed(FIO::CreateA(1000, path_.c_str(), 1))); // refuses an existing file
    // The name ends at its bound; creating again replaces the file.
    FIO::Close(FIO::CreateA(static_cast<int>(path_.size()) - 1, (path_ + "-and-more").c_str(), 0));
    FIO::THandle in = FIO::OpenReadA(1000, path_.c_str(), 1);
    EXPECT_EQ(FIO::Size(in), 0);
    FIO::Close(in);
}

std::vector<double> Draws(int n)
{
    std::vector<double> v(n);
    for (auto& x : v)
        x = Lib::RAND();
    return v;
}

// The network tests rely on a fixed seed repeating its reseeds.
TEST(RandomNumbers, AnotherSeedOrTheClockGiveAnotherStream)
{
    Lib::FixSeed(42);
    Lib::RANDOMIZE();
    const auto fixed = Draws(5);
    Lib::FixSeed(43);
    Lib::RANDOMIZE();
    EXPECT_NE(Draws(5), fixed);
    Lib::FixSeed(42);
    Lib::UnfixSeed(); // from the clock again
    Lib::RANDOMIZE();
    EXPECT_NE(Draws(5), fixed);
    EXPECT_EQ(Lib::RANDOM(1), 0u);
    EXPECT_EQ(Lib::RANDOM(0), 0u);
}

TEST(RandomNumbers, ConcurrentCallersShareOneSequenceWithoutRepeats)
{
    const int perThread = 20000, threads = 4;
    Lib::FixSeed(99);
    auto expected = Draws(perThread * threads);
    Lib::FixSeed(99);
    std::vector<double> all(expected.size());
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { std::generate_n(all.begin() + t * perThread, perThread, Lib::RAND); });
    for (auto& th : pool)
        th.join();
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}

} // namespace
