// Layer evaluation and inference at every vector level.
#include "nnet_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

// Products of one block of `width` inputs reduced as the class does: one by
// one (width 1), (p0 + p1) + (p2 + p3) (width 4), or the same tree one level
// deeper (width 8).
float BlockValue(const float* w, const float* x, int width)
{
    float p[8] = {};
    for (int k = 0; k < width; ++k)
        p[k] = w[k] * x[k];
    if (width == 1)
        return p[0];
    const float low = (p[0] + p[1]) + (p[2] + p[3]);
    return width == 4 ? low : low + ((p[4] + p[5]) + (p[6] + p[7]));
}

// The outputs with each layer's sums in its class's order (whole blocks,
// then the remaining inputs one by one), then the vector exponential on whole
// neuron blocks and expf on the rest.
std::vector<float> ReferenceInfer(const CNetwork& net, std::vector<float> x, TSIMDlevel level)
{
    const int width = level == nnet::SIMD_NONE ? 1 : level == nnet::SIMD_SSE ? 4 : 8;
    for (int l = 1; l < net.NumLayers; ++l) {
        const CLayer& layer = *net.Layers[l];
        const int n = layer.NumNeurons, m = layer.Prev->NumNeurons;
        const int blocks = m / width, vectorNeurons = width == 1 ? 0 : n / width * width;
        std::vector<float> out(n);
        for (int i = 0; i < n; ++i) {
            float acc = 0.0f;
            for (int b = 0; b < blocks; ++b)
                acc = acc + BlockValue(layer.Weights[i] + b * width, x.data() + b * width, width);
            for (int j = blocks * width; j < m; ++j)
                acc = layer.Weights[i][j] * x[j] + acc;
            out[i] = Sigmoid(layer.Biases[i] + acc, i < vectorNeurons);
        }
        x = out;
    }
    return x;
}

std::vector<float> Infer(CNetwork& net, const std::vector<float>& input)
{
    std::vector<float> out(net.Layers[net.NumLayers - 1]->NumNeurons, -1.0f);
    EXPECT_TRUE(net.Infer(static_cast<int>(input.size()), input.data(), static_cast<int>(out.size()), out.data()));
    return out;
}

using Shape = std::tuple<TSIMDlevel, int, int>; // level, inputs, neurons

class BlockEdges : public ::testing::TestWithParam<Shape> { };

// Inputs and neurons of 1, 3, 4, 7, 8, 9 and 17 put every input and neuron
// into a whole block, a remainder, or both.
TEST_P(BlockEdges, EachClassMatchesItsLiteralReferenceExactly)
{
    const auto [level, m, n] = GetParam();
    auto net = Build(level, { m, n, 3 }, 100 + m * 31 + n);
    const auto input = RandomVector(m, m + n, -2.0f, 2.0f);
    EXPECT_EQ(Infer(*net, input), ReferenceInfer(*net, input, level));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockEdges,
    ::testing::Combine(::testing::ValuesIn(Levels()), ::testing::Values(1, 3, 4, 7, 8, 9, 17),
        ::testing::Values(1, 3, 4, 7, 8, 9, 17)),
    [](const auto& info) {
        return LevelName(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param)) + "_"
            + std::to_string(std::get<2>(info.param));
    });

// The length checks and the copy of a single layer do not depend on the level.
TEST(Infer, WrongLengthsOrNoLayersReturnFalseAndTouchNothingAndOneLayerReturnsItsInput)
{
    auto net = Build(nnet::SIMD_NONE, { 5, 4, 3 });
    const auto input = RandomVector(6, 2);
    std::vector<float> out(3, 42.0f);
    EXPECT_FALSE(net->Infer(6, input.data(), 3, out.data()));
    EXPECT_FALSE(net->Infer(4, input.data(), 3, out.data()));
    EXPECT_FALSE(net->Infer(5, input.data(), 2, out.data()));
    EXPECT_FALSE(net->Infer(5, input.data(), 4, out.data()));
    EXPECT_FALSE(CNetwork().Infer(5, input.data(), 3, out.data()));
    EXPECT_EQ(out, std::vector<float>(3, 42.0f));

    const std::vector<float> single = { 0.25f, -3.0f, 1e30f, 0.0f };
    EXPECT_EQ(Infer(*Build(nnet::SIMD_NONE, { 4 }), single), single);
}

} // namespace
