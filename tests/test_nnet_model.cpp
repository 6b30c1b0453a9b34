// The network model: shapes, buffers and their alignment, the allocation
// rule, the random initial weights, and tearing down.
#include "nnet_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <new>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

bool Aligned(const void* p, size_t alignment)
{
    return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

size_t AlignmentOf(TSIMDlevel level)
{
    return level == nnet::SIMD_SSE ? 16 : level >= nnet::SIMD_AVX ? 32 : alignof(std::max_align_t);
}

class Model : public ::testing::TestWithParam<TSIMDlevel> { };

TEST_P(Model, MnistShapeHasItsLayersAndBlockCounts)
{
    auto net = Build(GetParam(), { 784, 30, 10 });
    ASSERT_EQ(net->NumLayers, 3);
    EXPECT_EQ(net->GetSIMDlevel(), GetParam());
    const int neurons[] = { 784, 30, 10 }, blocks4[] = { 196, 7, 2 }, blocks8[] = { 98, 3, 1 };
    for (int l = 0; l < 3; ++l) {
        const CLayer& layer = *net->Layers[l];
        EXPECT_EQ(layer.Network, net.get());
        EXPECT_EQ(layer.Prev, l > 0 ? net->Layers[l - 1] : nullptr);
        EXPECT_EQ(layer.NumNeurons, neurons[l]);
        EXPECT_EQ(layer.Blocks4, blocks4[l]);
        EXPECT_EQ(layer.Blocks8, blocks8[l]);
        EXPECT_NE(layer.Outputs, nullptr);
        EXPECT_EQ(layer.WeightGradSum, nullptr);
        EXPECT_EQ(layer.BiasGradSum, nullptr);
        EXPECT_EQ(layer.WeightGrad, nullptr);
        EXPECT_EQ(layer.BiasGrad, nullptr);
    }
    const CLayer& input = *net->Layers[0];
    EXPECT_EQ(input.Sums, nullptr);
    EXPECT_EQ(input.Weights, nullptr);
    EXPECT_EQ(input.Biases, nullptr);
}

TEST_P(Model, EveryBufferAndRowIsAlignedForItsLevel)
{
    auto net = Build(GetParam(), { 19, 13, 5 });
    // Training adds the gradient buffers, allocated by the same rule.
    std::vector<float> in(19, 0.5f);
    Block target(*net, 5);
    std::fill(target.data, target.data + 5, 0.0f);
    float* inputs[] = { in.data(), in.data() };
    float* targets[] = { target.data, target.data };
    ASSERT_TRUE(net->Learn(2, 19, inputs, 5, targets, 1, 0.1f, 0.0f, 1, nullptr));

    const size_t a = AlignmentOf(GetParam());
    for (int l = 0; l < 3; ++l) {
        const CLayer& layer = *net->Layers[l];
        EXPECT_TRUE(Aligned(layer.Outputs, a)) << l;
        if (l == 0)
            continue;
        for (const float* p : { layer.Sums, layer.Biases, layer.BiasGradSum, layer.BiasGrad })
            EXPECT_TRUE(Aligned(p, a)) << l;
        for (int i = 0; i < layer.NumNeurons; ++i) {
            EXPECT_TRUE(Aligned(layer.Weights[i], a)) << l << "/" << i;
            EXPECT_TRUE(Aligned(layer.WeightGradSum[i], a)) << l << "/" << i;
            EXPECT_TRUE(Aligned(layer.WeightGrad[i], a)) << l << "/" << i;
        }
    }
}

TEST_P(Model, AllocAndReAllocKeepTheAlignmentAndTheContents)
{
    CNetwork net;
    net.SIMDlevel = GetParam();
    const size_t a = AlignmentOf(GetParam());
    auto* block = static_cast<unsigned char*>(net.Alloc(100));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Aligned(block, a));
    for (int i = 0; i < 100; ++i)
        block[i] = static_cast<unsigned char>(i);
    block = static_cast<unsigned char*>(net.ReAlloc(block, 5000));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Aligned(block, a));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(block[i], i);
    block = static_cast<unsigned char*>(net.ReAlloc(block, 10));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Aligned(block, a));
    EXPECT_EQ(block[9], 9);
    EXPECT_EQ(net.ReAlloc(block, 0), nullptr); // releases the block
    block = static_cast<unsigned char*>(net.ReAlloc(nullptr, 64));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Aligned(block, a));
    net.Free(block);
    net.Free(nullptr);
}

TEST_P(Model, ASingleLayerNetworkHasOnlyTheInputLayer)
{
    auto net = Build(GetParam(), { 6 });
    ASSERT_EQ(net->NumLayers, 1);
    EXPECT_EQ(net->Layers[0]->Prev, nullptr);
    EXPECT_EQ(net->Layers[0]->Weights, nullptr);
    EXPECT_TRUE(net->CheckNANs());
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Model, ::testing::ValuesIn(Levels()), [](const auto& info) { return LevelName(info.param); });

// ---- Random initial weights ------------------------------------------------------

// The weights a layer of n neurons with m inputs draws, written out from the
// Box-Muller formulas: per neuron m weight pairs, then one bias pair.
void ExpectDrawnFromTheStream(const CLayer& layer)
{
    const int n = layer.NumNeurons, m = layer.Prev->NumNeurons;
    const float scale = 1.0f / std::sqrt(static_cast<float>(m));
    Lib::RANDOMIZE();
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < m; ++j) {
            const auto u1 = static_cast<float>(Lib::RAND());
            const auto u2 = static_cast<float>(Lib::RAND());
            ASSERT_EQ(layer.Weights[i][j], std::cos(u2 * 6.2831855f) * std::sqrt(std::log(u1) * -2.0f) * scale)
                << i << "/" << j;
        }
        const auto u1 = static_cast<float>(Lib::RAND());
        const auto u2 = static_cast<float>(Lib::RAND());
        ASSERT_EQ(layer.Biases[i], std::sqrt(std::log(u1) * -2.0f) * std::cos(u2 * 6.2831855f)) << i;
    }
}

TEST(InitialWeights, EachLayerReseedsOnceAndDrawsTwoValuesPerWeightAndBias)
{
    auto net = Build(nnet::SIMD_NONE, { 7, 5, 3 }, 2024);
    Lib::FixSeed(2024); // the input layer draws nothing and does not reseed
    ExpectDrawnFromTheStream(*net->Layers[1]);
    ExpectDrawnFromTheStream(*net->Layers[2]);
    // The output layer drew exactly 3 * (2 * 5 + 2) values: the next draw of
    // its stream follows them.
    Lib::FixSeed(2024);
    Lib::RANDOMIZE();
    Lib::RANDOMIZE();
    for (int k = 0; k < 3 * 12; ++k)
        Lib::RAND();
    const double next = Lib::RAND();
    Build(nnet::SIMD_NONE, { 7, 5, 3 }, 2024);
    EXPECT_EQ(Lib::RAND(), next);
}

TEST(InitialWeights, AFixedSeedGivesTheSameWeightsAtEveryLevel)
{
    auto reference = Build(nnet::SIMD_NONE, { 9, 4, 2 }, 77);
    for (TSIMDlevel level : Levels()) {
        auto net = Build(level, { 9, 4, 2 }, 77);
        for (int l = 1; l < 3; ++l)
            for (int i = 0; i < net->Layers[l]->NumNeurons; ++i) {
                EXPECT_EQ(net->Layers[l]->Biases[i], reference->Layers[l]->Biases[i]);
                for (int j = 0; j < net->Layers[l]->Prev->NumNeurons; ++j)
                    EXPECT_EQ(net->Layers[l]->Weights[i][j], reference->Layers[l]->Weights[i][j]);
            }
    }
}

TEST(InitialWeights, AreNormalWithDeviationOneOverRootOfTheInputs)
{
    auto net = Build(nnet::SIMD_NONE, { 400, 200 }, 5);
    const CLayer& layer = *net->Layers[1];
    double sum = 0.0, squares = 0.0, biasSquares = 0.0;
    for (int i = 0; i < 200; ++i) {
        for (int j = 0; j < 400; ++j) {
            sum += layer.Weights[i][j];
            squares += double(layer.Weights[i][j]) * layer.Weights[i][j];
        }
        biasSquares += double(layer.Biases[i]) * layer.Biases[i];
    }
    const double count = 200.0 * 400.0;
    EXPECT_NEAR(sum / count, 0.0, 0.002);
    EXPECT_NEAR(std::sqrt(squares / count), 1.0 / 20.0, 0.001); // 1 / sqrt(400)
    EXPECT_NEAR(std::sqrt(biasSquares / 200.0), 1.0, 0.15);
}

// ---- Building and tearing down ------------------------------------------------------

TEST(Lifecycle, DefaultConstructionIsEmptyAndDoneIsIdempotent)
{
    CNetwork net;
    EXPECT_EQ(net.NumLayers, 0);
    EXPECT_EQ(net.Layers, nullptr);
    net.Done();
    EXPECT_EQ(net.Layers, nullptr);
    const int sizes[] = { 3, 2 };
    net.Init(2, sizes);
    EXPECT_EQ(net.NumLayers, 2);
    net.Done();
    EXPECT_EQ(net.NumLayers, 0);
    EXPECT_EQ(net.Layers, nullptr);
    net.Done(); // and the destructor releases nothing twice
}

TEST(Lifecycle, InitOnABuiltNetworkReplacesItsLayers)
{
    const int first[] = { 3, 2 }, second[] = { 4, 6, 1 };
    CNetwork net(2, first);
    net.Init(3, second);
    ASSERT_EQ(net.NumLayers, 3);
    EXPECT_EQ(net.Layers[2]->NumNeurons, 1);
}

TEST(Lifecycle, InvalidShapesLeaveTheNetworkEmpty)
{
    const int zero[] = { 3, 0, 2 }, negative[] = { 3, -5 };
    CNetwork net;
    net.Init(3, zero);
    EXPECT_EQ(net.NumLayers, 0);
    net.Init(2, negative);
    EXPECT_EQ(net.NumLayers, 0);
    net.Init(0, zero);
    EXPECT_EQ(net.Layers, nullptr);
}

TEST(Lifecycle, AFailedAllocationLeavesNoHalfBuiltNetwork)
{
    // 2^30 floats do not fit the 32-bit byte count of Alloc: the second
    // layer's first buffer fails after the input layer has been built.
    const int sizes[] = { 4, 1 << 30 };
    CNetwork net;
    EXPECT_THROW(net.Init(2, sizes), std::bad_alloc);
    EXPECT_EQ(net.NumLayers, 0);
    EXPECT_EQ(net.Layers, nullptr);
    EXPECT_THROW(CNetwork(2, sizes), std::bad_alloc);
    const int fine[] = { 4, 2 };
    net.Init(2, fine); // the network stays usable
    EXPECT_EQ(net.NumLayers, 2);
}

} // namespace
