// The network model: shapes, buffers and their alignment, the allocation
// rule, the random initial weights, and tearing down.
#include "nnet_support.h"

#include <gtest/gtest.h>

#include <new>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

class Model : public ::testing::TestWithParam<TSIMDlevel> { };

TEST_P(Model, EveryBufferRowAndReAllocatedBlockIsAlignedForItsLevel)
{
    auto net = Build(GetParam(), { 19, 13, 5 });
    ASSERT_TRUE(net->Learn(0, 19, nullptr, 5, nullptr, 1, 0.1f, 0.0f, 0, nullptr)); // adds the gradient buffers
    for (int l = 0; l < 3; ++l) {
        const CLayer& layer = *net->Layers[l];
        EXPECT_TRUE(Aligned(layer.Outputs, GetParam())) << l;
        if (l == 0)
            continue;
        for (const float* p : { layer.Sums, layer.Biases, layer.BiasGradSum, layer.BiasGrad })
            EXPECT_TRUE(Aligned(p, GetParam())) << l;
        for (int i = 0; i < layer.NumNeurons; ++i)
            for (float* const* rows : { layer.Weights, layer.WeightGradSum, layer.WeightGrad })
                EXPECT_TRUE(Aligned(rows[i], GetParam())) << l << "/" << i;
    }

    // ReAlloc keeps the contents too.
    auto* block = static_cast<unsigned char*>(net->Alloc(100));
    ASSERT_TRUE(block != nullptr && Aligned(block, GetParam()));
    for (int i = 0; i < 100; ++i)
        block[i] = static_cast<unsigned char>(i);
    block = static_cast<unsigned char*>(net->ReAlloc(block, 5000));
    ASSERT_TRUE(block != nullptr && Aligned(block, GetParam()));
    EXPECT_EQ(block[99], 99);
    block = static_cast<unsigned char*>(net->ReAlloc(block, 10));
    ASSERT_TRUE(block != nullptr && Aligned(block, GetParam()));
    EXPECT_EQ(block[9], 9);
    EXPECT_EQ(net->ReAlloc(block, 0), nullptr); // released
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Model, ::testing::ValuesIn(Levels()), [](const auto& info) { return LevelName(info.param); });

// The weights a layer draws after its reseed, written out from the
// Box-Muller formulas: per neuron m weight pairs, then one bias pair.
void ExpectDrawnFromTheStream(const CLayer& layer)
{
    const int n = layer.NumNeurons, m = layer.Prev->NumNeurons;
    const float scale = 1.0f / std::sqrt(static_cast<float>(m));
    Lib::RANDOMIZE();
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < m; ++j) {
            const auto u1 = static_cast<float>(Lib::RAND()), u2 = static_cast<float>(Lib::RAND());
            ASSERT_EQ(layer.Weights[i][j], std::cos(u2 * 6.2831855f) * std::sqrt(std::log(u1) * -2.0f) * scale);
        }
        const auto u1 = static_cast<float>(Lib::RAND()), u2 = static_cast<float>(Lib::RAND());
        ASSERT_EQ(layer.Biases[i], std::sqrt(std::log(u1) * -2.0f) * std::cos(u2 * 6.2831855f));
    }
}

TEST(InitialWeights, EachLayerReseedsOnceAndDrawsTwoValuesPerWeightAndBias)
{
    auto net = Build(nnet::SIMD_NONE, { 7, 5, 3 }, 2024);
    Lib::FixSeed(2024); // the input layer neither reseeds nor draws
    ExpectDrawnFromTheStream(*net->Layers[1]);
    ExpectDrawnFromTheStream(*net->Layers[2]);
    const double next = Lib::RAND(); // the draw after the last layer's 3 * (2 * 5 + 2)
    Build(nnet::SIMD_AVX2, { 7, 5, 3 }, 2024);
    EXPECT_EQ(Lib::RAND(), next);
}

TEST(Lifecycle, DoneEmptiesAndInitReplacesOrRefusesWithoutAHalfBuiltNetwork)
{
    CNetwork net;
    EXPECT_EQ(net.NumLayers, 0);
    const int small[] = { 3, 2 }, larger[] = { 4, 6, 1 }, zero[] = { 3, 0, 2 };
    net.Init(2, small);
    net.Init(3, larger); // releases the first layers
    ASSERT_EQ(net.NumLayers, 3);
    EXPECT_EQ(net.Layers[2]->NumNeurons, 1);
    net.Done();
    EXPECT_EQ(net.NumLayers, 0);
    EXPECT_EQ(net.Layers, nullptr);
    net.Init(3, zero);
    EXPECT_EQ(net.Layers, nullptr);
    net.Init(0, small);
    EXPECT_EQ(net.Layers, nullptr);
    // 2^30 floats overflow the 32-bit byte count of Alloc: the second layer
    // fails after the input layer has been built.
    const int huge[] = { 4, 1 << 30 };
    EXPECT_THROW(net.Init(2, huge), std::bad_alloc);
    EXPECT_EQ(net.NumLayers, 0);
    EXPECT_EQ(net.Layers, nullptr);
    EXPECT_THROW(CNetwork(2, huge), std::bad_alloc);
}

} // namespace
