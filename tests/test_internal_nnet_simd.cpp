// Processor detection, the layer class each level builds, and the vector
// exponential, reached directly.
#include "nnet/internal.h"
#include "nnet_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <typeinfo>

using nnet::detail::LevelFromCpuid;

namespace {

constexpr uint32_t kSse3 = 1u << 0, kOsXsave = 1u << 27, kAvx = 1u << 28, kAvx2 = 1u << 5;
constexpr uint64_t kYmmState = 0x7;

TEST(Detection, ChecksAvx2ThenAvxThenSse3)
{
    EXPECT_EQ(LevelFromCpuid(7, kOsXsave | kAvx | kSse3, kAvx2, kYmmState), nnet::SIMD_AVX2);
    // AVX2 is taken from leaf 7 alone, even when leaf 1 claims no AVX or SSE3.
    EXPECT_EQ(LevelFromCpuid(7, kOsXsave, kAvx2, kYmmState), nnet::SIMD_AVX2);
    EXPECT_EQ(LevelFromCpuid(13, kOsXsave | kAvx | kSse3, 0, kYmmState), nnet::SIMD_AVX);
    EXPECT_EQ(LevelFromCpuid(13, kOsXsave | kSse3, 0, kYmmState), nnet::SIMD_SSE);
    EXPECT_EQ(LevelFromCpuid(13, kOsXsave, 0, kYmmState), nnet::SIMD_NONE);
}

TEST(Detection, Leaf7IsReadOnlyWhenTheProcessorHasIt)
{
    EXPECT_EQ(LevelFromCpuid(6, kOsXsave | kAvx | kSse3, kAvx2, kYmmState), nnet::SIMD_AVX);
    EXPECT_EQ(LevelFromCpuid(0, kOsXsave | kAvx | kSse3, kAvx2, kYmmState), nnet::SIMD_NONE);
}

TEST(Detection, AvxLevelsNeedTheSystemToSaveTheWideRegisters)
{
    EXPECT_EQ(LevelFromCpuid(7, kAvx | kSse3, kAvx2, kYmmState), nnet::SIMD_SSE); // no OSXSAVE
    EXPECT_EQ(LevelFromCpuid(7, kOsXsave | kAvx | kSse3, kAvx2, 0x3), nnet::SIMD_SSE); // YMM state off
    EXPECT_EQ(LevelFromCpuid(7, kOsXsave | kAvx | kSse3, kAvx2, kYmmState), nnet::SIMD_AVX2);
}

TEST(Detection, ThisProcessorGetsTheHighestLevelItSupports)
{
    nnet::CNetwork net;
    __builtin_cpu_init();
    const nnet::TSIMDlevel expected = __builtin_cpu_supports("avx2") ? nnet::SIMD_AVX2
        : __builtin_cpu_supports("avx")                              ? nnet::SIMD_AVX
        : __builtin_cpu_supports("sse3")                             ? nnet::SIMD_SSE
                                                                     : nnet::SIMD_NONE;
    EXPECT_EQ(net.GetSIMDlevel(), expected);
    EXPECT_EQ(net.SIMDlevel, expected);
}

TEST(LayerClass, EveryLayerOfANetworkHasTheClassOfItsLevel)
{
    for (nnet::TSIMDlevel level : nnet::test::Levels()) {
        auto net = nnet::test::Build(level, { 5, 4, 3 });
        const std::type_info& expected = level == nnet::SIMD_SSE ? typeid(nnet::CLayerSSE)
            : level == nnet::SIMD_AVX                            ? typeid(nnet::CLayerAVX)
            : level == nnet::SIMD_AVX2                           ? typeid(nnet::CLayerAVX2)
                                                                 : typeid(nnet::CLayer);
        for (int l = 0; l < 3; ++l)
            EXPECT_EQ(typeid(*net->Layers[l]), expected) << nnet::test::LevelName(level) << " layer " << l;
    }
}

// ---- The vector exponential ----------------------------------------------------

using ExpForm = void (*)(const float*, float*, int);

struct Form {
    const char* name;
    ExpForm fn;
    int lanes;
    nnet::TSIMDlevel needs;
};

const Form kForms[] = {
    { "SSE", &nnet::sse3::ExpBlocks, 4, nnet::SIMD_SSE },
    { "AVX", &nnet::avx::ExpBlocks, 8, nnet::SIMD_AVX },
    { "AVX2", &nnet::avx2::ExpBlocks, 8, nnet::SIMD_AVX2 },
};

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
        if (nnet::CNetwork().GetSIMDlevel() < GetParam().needs)
            GTEST_SKIP() << "processor lacks " << GetParam().name;
    }
};

TEST_P(VectorExp, StaysWithinOneUlpOfExpfOverTheNormalRange)
{
    std::vector<float> x;
    for (float v = -87.3f; v < 88.37f; v += 0.0137f)
        x.push_back(v);
    x.push_back(88.3762626647949f);
    const auto y = Apply(GetParam(), x);
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_LE(nnet::test::UlpDistance(y[i], std::exp(x[i])), 1) << "x = " << x[i];
}

TEST_P(VectorExp, ClampsAtPlusMinus88Point376)
{
    const float top = 88.3762626647949f; // 0x42B0C0A5
    const auto y = Apply(GetParam(), { top, 89.0f, 1e30f, INFINITY, -top, -89.0f, -1e30f, -INFINITY });
    // e^88.376 = 2^127.5: finite, the largest value E takes.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(y[i], 0x1.6a0948p+127f) << i;
    // At the bottom 2^k is built from an all-zero exponent field: exactly 0,
    // so that a neuron with a large positive sum outputs exactly 1.
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(y[i], 0.0f) << i;
}

TEST_P(VectorExp, GivesZeroOrLessThanTheSmallestNormalBelowTheNormalRange)
{
    std::vector<float> x;
    for (float v = -88.3762626647949f; v < -87.3f; v += 0.001f)
        x.push_back(v);
    const auto y = Apply(GetParam(), x);
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_GE(y[i], 0.0f);
        ASSERT_LT(y[i], 2.0f * 0x1p-126f) << "x = " << x[i];
    }
}

TEST_P(VectorExp, AllFormsAgreeBitForBit)
{
    std::vector<float> x = nnet::test::RandomVector(4096, 3, -90.0f, 90.0f);
    const auto reference = Apply(kForms[0], x);
    EXPECT_EQ(Apply(GetParam(), x), reference);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, VectorExp, ::testing::ValuesIn(kForms), [](const auto& info) { return std::string(info.param.name); });

} // namespace
