// The value mapping: which mapping a set of inputs gets, that integers cross
// it exactly and floating-point values within half a step, and what it
// refuses.
#include "intake/mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace tamrix::intake {
namespace {

Format F(Sample s, double bzero = 0, double bscale = 1)
{
    Format f;
    f.name = "in.fits";
    f.sample = s;
    f.bzero = bzero;
    f.bscale = bscale;
    return f;
}

// Integers get one exact mapping chosen from their types alone (64-bit data
// with a range that fits 32 bits), or a refusal (depth 0 below).
TEST(IntegerMapping, IsChosenFromTheTypesOrRefused)
{
    Format i64 = F(Sample::I64), ranged = F(Sample::I64);
    ranged.dataMin = -5.5; // on the data's step: -6
    ranged.dataMax = 1e6;
    MappingOptions wide;
    wide.range = std::make_pair(0.0, 5e9);
    const struct {
        std::vector<Format> inputs;
        MappingOptions options;
        double offset, scale;
        int depth;
    } cases[] = {
        { { F(Sample::U8, -128) }, {}, -128, 1, 2 }, { { F(Sample::I16, 32768) }, {}, 0, 1, 2 },
        { { F(Sample::I32) }, {}, -2147483648.0, 1, 4 }, { { F(Sample::I16, 1500, 0.5) }, {}, 1500 - 16384, 0.5, 2 },
        { { F(Sample::I16, 32768), F(Sample::I16) }, {}, -32768, 1, 4 }, // an unsigned light and a signed dark
        { { ranged }, {}, -6, 1, 4 }, { { i64 }, {}, 0, 0, 0 }, // no range
        { { ranged }, wide, 0, 0, 0 }, { { F(Sample::I16, 0, 1), F(Sample::I16, 0, 2) }, {}, 0, 0, 0 }, // two steps
        { { F(Sample::I16, 0, 0) }, {}, 0, 0, 0 }, // BSCALE 0
        { { F(Sample::I16, 0.5), F(Sample::I16) }, {}, 0, 0, 0 }, // offsets half a step apart
        { { F(Sample::I32), F(Sample::I32, 2147483648.0) }, {}, 0, 0, 0 }, // 2^33 values
        { { F(Sample::I16, 1e301, 1e290) }, {}, 0, 0, 0 }, // their floating-point outputs could not be read back
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        if (c.depth == 0) {
            EXPECT_THROW(ChooseMapping(c.inputs, c.options), Error);
            continue;
        }
        const Mapping m = ChooseMapping(c.inputs, c.options);
        EXPECT_EQ(m.offset, c.offset);
        EXPECT_EQ(m.scale, c.scale);
        EXPECT_EQ(m.depth, c.depth);
        EXPECT_TRUE(m.exact);
    }
}

TEST(FloatMapping, IsAPowerOfTwoGridFromZeroWithHeadroom)
{
    const std::pair<double, double> ranges[] = { { -3.5, 1000 }, { 0.25, 0.75 }, { 1e6, 1e6 + 1 }, { -2e-3, -1e-3 } };
    for (int bits : { 32, 16 }) {
        for (auto range : ranges) {
            MappingOptions o;
            o.floatBits = bits;
            const Mapping m = ChooseMapping({ F(Sample::F32) }, o, range);
            int e = 0;
            EXPECT_EQ(std::frexp(m.scale, &e), 0.5) << m.scale; // a power of two
            EXPECT_EQ(std::fmod(m.offset, m.scale), 0.0); // 0 on the grid
            EXPECT_LE(m.offset, std::min(0.0, range.first));
            const double levels = (std::max(0.0, range.second) - m.offset) / m.scale;
            EXPECT_LE(levels, std::ldexp(1.0, bits == 32 ? 24 : 15) + 1) << range.first;
            EXPECT_GT(levels, std::ldexp(1.0, bits == 32 ? 23 : 14) - 1) << range.first;
            EXPECT_EQ(m.depth, bits / 8);
        }
    }
}

TEST(FloatMapping, TakesTheRangeFromOptionsThenHeaderThenData)
{
    Format f = F(Sample::F64);
    EXPECT_TRUE(NeedsDataRange({ f }, {}));
    EXPECT_THROW(ChooseMapping({ f }, {}), Error); // the data's range was needed
    f.dataMin = 0;
    f.dataMax = 1 << 24;
    EXPECT_FALSE(NeedsDataRange({ f }, {}));
    EXPECT_EQ(ChooseMapping({ f }, {}, std::make_pair(0.0, 1e30)).scale, 1.0); // the header wins over the data
    MappingOptions o;
    o.range = std::make_pair(0.0, double(1 << 26));
    EXPECT_EQ(ChooseMapping({ f }, o).scale, 4.0);
    o.range = std::make_pair(1.0, 1.0);
    EXPECT_THROW(ChooseMapping({ f }, o), Error);
    o.range = std::make_pair(-std::numeric_limits<double>::max(), 0.0); // its grid's lowest value overflowed
    EXPECT_THROW(ChooseMapping({ f }, o), Error);
    // A 16-bit integer dark with a float light keeps its integers on the grid.
    const Mapping mixed = ChooseMapping({ f, F(Sample::I16, 32768) }, {});
    EXPECT_EQ(mixed.offset, 0);
    EXPECT_LE(mixed.scale, 1.0);
}

// Converts samples onto a frame and back: the physical values they read back
// as, with the census and the pixels marked invalid on the way.
struct Crossed {
    std::vector<double> back;
    Census census;
    std::vector<bool> invalid;
};

template <typename T> Crossed RoundTrip(const std::vector<T>& samples, const Format& f, const Mapping& m)
{
    Crossed r;
    std::vector<uint32_t> frame32(samples.size());
    std::vector<uint16_t> frame16(samples.size());
    void* frame = m.depth == 2 ? static_cast<void*>(frame16.data()) : frame32.data();
    ToFrame(samples.data(), samples.size(), f, m, frame, r.invalid, r.census);
    r.back.resize(samples.size());
    ToPhysical(frame, m.depth, samples.size(), m, r.back.data(), &r.invalid);
    return r;
}

TEST(Conversion, IntegersCrossExactlyAtTheirTypesExtremesAndBlankPixelsAreMarked)
{
    const std::vector<int16_t> s16 = { -32768, -1, 0, 1, 32767 };
    for (double bzero : { 0.0, 32768.0, 1500.0 }) {
        const Format f = F(Sample::I16, bzero, bzero == 1500 ? 0.5 : 1);
        const Crossed r = RoundTrip(s16, f, ChooseMapping({ f }, {}));
        for (size_t i = 0; i < s16.size(); ++i)
            EXPECT_EQ(r.back[i], f.bzero + f.bscale * s16[i]);
        EXPECT_TRUE(r.census.Clean());
    }
    const std::vector<int32_t> s32
        = { std::numeric_limits<int32_t>::min(), -1, 0, 7, std::numeric_limits<int32_t>::max() };
    EXPECT_EQ(RoundTrip(s32, F(Sample::I32), ChooseMapping({ F(Sample::I32) }, {})).back,
        std::vector<double>(s32.begin(), s32.end()));
    Format f = F(Sample::I64);
    f.dataMin = -6;
    f.dataMax = 999999; // the last sample lies above the declared range
    const Crossed wide = RoundTrip(std::vector<int64_t> { -6, 0, 999999, 1000000 }, f, ChooseMapping({ f }, {}));
    EXPECT_EQ(wide.back, (std::vector<double> { -6, 0, 999999, 1000000 }));
    EXPECT_EQ(wide.census.above + wide.census.below, 0u); // a 32-bit frame still holds it

    f = F(Sample::I16, 32768);
    f.blank = -32768;
    const Crossed blank = RoundTrip(std::vector<int16_t> { -32768, -32767, 5 }, f, ChooseMapping({ f }, {}));
    EXPECT_TRUE(std::isnan(blank.back[0]));
    EXPECT_EQ(blank.back[1], 1);
    EXPECT_EQ(blank.census.invalid, 1u);
}

TEST(Conversion, FloatsCrossWithinHalfAStepAndUndefinedPixelsAreMarked)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-50.0f, 3000.0f);
    std::vector<float> s(1000);
    for (float& v : s)
        v = u(rng);
    s[3] = std::numeric_limits<float>::quiet_NaN();
    s[4] = -std::numeric_limits<float>::infinity();
    s[5] = 1e12f; // above what the frame holds (values just above the declared range fit its headroom)
    Format f = F(Sample::F32);
    f.dataMin = -50;
    f.dataMax = 3000;
    const Mapping m = ChooseMapping({ f }, {});
    const Crossed r = RoundTrip(s, f, m);
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 3 || i == 4) {
            EXPECT_TRUE(std::isnan(r.back[i]));
        } else if (i != 5) {
            EXPECT_LE(std::abs(r.back[i] - s[i]), m.scale / 2) << i;
        }
    }
    EXPECT_EQ(r.census.invalid, 2u);
    EXPECT_TRUE(r.invalid[3] && r.invalid[4] && !r.invalid[5]);
    EXPECT_EQ(r.census.above, 1u);
    EXPECT_EQ(r.back[5], m.Highest());
    std::vector<uint32_t> frame(s.size());
    std::vector<bool> invalid;
    const std::string warning = MapOnto(s.data(), s.size(), f, m, frame.data(), invalid, false);
    EXPECT_NE(warning.find("2 pixels are NaN, infinite or BLANK (read as the median of the others"), std::string::npos)
        << warning;
    EXPECT_NE(warning.find("1 pixel lies outside the range"), std::string::npos) << warning;

    // Tiny values, whose range asks for a step whose inverse is infinite.
    const std::vector<double> tiny = { 0, 1e-310, 2.5e-309 };
    const Mapping mt = MappingOf(tiny.data(), tiny.size(), F(Sample::F64), {});
    const Crossed rt = RoundTrip(tiny, F(Sample::F64), mt);
    for (size_t i = 0; i < tiny.size(); ++i)
        EXPECT_LE(std::abs(rt.back[i] - tiny[i]), mt.scale / 2) << i;
    EXPECT_TRUE(rt.census.Clean());
}

TEST(Mapping, FrameValuesOfOptionsAndTheStoredLayoutOfOutputs)
{
    const Mapping m = ChooseMapping({ F(Sample::I16) }, {}); // signed 16-bit
    EXPECT_EQ(m.FrameValue(-1, "--fill"), 32767u);
    EXPECT_THROW(m.FrameValue(40000, "--fill"), Error);
    EXPECT_THROW(m.FrameValue(std::nan(""), "--fill"), Error);
    const IntegerLayout l = StoredLayout(m);
    EXPECT_EQ(l.bitpix, 16);
    EXPECT_EQ(l.bzero, 0); // signed 16-bit data stay signed 16-bit data
    EXPECT_EQ(l.bscale, 1);
    EXPECT_EQ(StoredLayout(Mapping::Identity(4)).bzero, 2147483648.0);
}

TEST(DivisorMapping, KeepsIntegerStepsAndScalesFloatsBelowTheFrameTop)
{
    EXPECT_EQ(DivisorMapping(F(Sample::I16, 32768), 2, { 0, 40000 }).scale, 1);
    const Mapping flat = DivisorMapping(F(Sample::F32), 2, { 0.2, 1.25 }); // a normalised flat
    EXPECT_EQ(flat.offset, 0);
    EXPECT_DOUBLE_EQ(1.25 / flat.scale, 65535);
    EXPECT_DOUBLE_EQ(1.25 / DivisorMapping(F(Sample::F32), 4, { 0.2, 1.25 }).scale, 1 << 24);
    EXPECT_THROW(DivisorMapping(F(Sample::F32), 2, { -1, 0 }), Error);
}

} // namespace
} // namespace tamrix::intake
