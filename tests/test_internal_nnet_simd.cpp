// The network level from the processor's, the layer class of each level, and the vector
// exponential, reached directly.
#include "isa_levels.h"
#include "nnet/internal.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace nnet;

namespace {

// The network's level follows the processor's seam (tests/isa_levels.h caps
// it): SSE from Sse3, AVX from Avx, AVX2 from Avx2 up.
TEST(Detection, TheNetworkLevelFollowsTheProcessorLevel)
{
    const TSIMDlevel expected[tamrix::isa::kLevelCount]
        = { SIMD_NONE, SIMD_SSE, SIMD_AVX, SIMD_AVX2, SIMD_AVX2, SIMD_AVX2 };
    for (tamrix::isa::Level level : tamrix::test::Levels()) {
        tamrix::test::CapTo cap(level);
        EXPECT_EQ(CNetwork().GetSIMDlevel(), expected[static_cast<int>(level)]) << tamrix::test::LevelName(level);
    }
}

struct Form {
    const char* name;
    void (*fn)(const float*, float*, int);
    int lanes;
    TSIMDlevel needs;
};

const Form kForms[] = { { "SSE", &opt_sse3::ExpBlocks, 4, SIMD_SSE }, { "AVX", &opt_avx::ExpBlocks, 8, SIMD_AVX },
    { "AVX2", &opt_avx2::ExpBlocks, 8, SIMD_AVX2 } };

std::vector<float> Apply(const Form& form, std::vector<float> x)
{
    x.resize((x.size() + 7) / 8 * 8, 0.0f);
    std::vector<float> y(x.size());
    form.fn(x.data(), y.data(), static_cast<int>(x.size()) / form.lanes);
    return y;
}

class VectorExp : public ::testing::TestWithParam<Form> {
protected:
    void SetUp() override
    {
        if (CNetwork().GetSIMDlevel() < GetParam().needs)
            GTEST_SKIP() << "processor lacks " << GetParam().name;
    }
};

TEST_P(VectorExp, StaysWithinOneUlpOfExpfUpToTheClampAtPlusMinus88Point376)
{
    std::vector<float> x;
    for (float v = -87.3f; v < 88.37f; v += 0.0137f)
        x.push_back(v);
    const auto y = Apply(GetParam(), x);
    for (size_t i = 0; i < x.size(); ++i) {
        const float e = std::exp(x[i]);
        ASSERT_LE(std::fabs(y[i] - e), std::nextafter(e, INFINITY) - e) << "x = " << x[i];
    }

    const float top = 88.3762626647949f; // 0x42B0C0A5
    const auto clamped = Apply(GetParam(), { top, 89.0f, INFINITY, -top, -89.0f, -INFINITY, -87.7f, -87.5f });
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(clamped[i], 0x1.6a0948p+127f) << i; // e^88.376 = 2^127.5, finite
    // At the bottom 2^k comes from an all-zero exponent field: 0, so that a
    // block neuron with a large positive sum outputs exactly 1; a little
    // higher the result stays below the smallest normal float.
    for (int i = 3; i < 7; ++i)
        EXPECT_EQ(clamped[i], 0.0f) << i;
    EXPECT_GT(clamped[7], 0.0f);
    EXPECT_LT(clamped[7], 2.0f * 0x1p-126f);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, VectorExp, ::testing::ValuesIn(kForms), [](const auto& info) { return std::string(info.param.name); });

} // namespace
