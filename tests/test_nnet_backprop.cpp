// Backpropagation of one sample in its three variants, and the NaN check.
#include "nnet_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

using Variant = bool (CNetwork::*)(int, const float*, int, const float*, float*, float*);

struct Case {
    const char* name;
    Variant variant;
    TSIMDlevel level;
    int vectorWidth; // lanes of the output-delta blocks; 0 for the scalar variant
};

const Case kCases[] = {
    { "Scalar", &CNetwork::Backpropagate, nnet::SIMD_NONE, 0 },
    { "SSE", &CNetwork::BackpropagateSSE, nnet::SIMD_SSE, 4 },
    { "AVXonAVX", &CNetwork::BackpropagateAVX, nnet::SIMD_AVX, 4 },
    { "AVXonAVX2", &CNetwork::BackpropagateAVX, nnet::SIMD_AVX2, 4 },
};

// Learn with no epochs allocates the gradient buffers and changes nothing
// else.
void PrepareGradients(CNetwork& net)
{
    const int nIn = net.Layers[0]->NumNeurons, nOut = net.Layers[net.NumLayers - 1]->NumNeurons;
    ASSERT_TRUE(net.Learn(0, nIn, nullptr, nOut, nullptr, 1, 1.0f, 0.0f, 0, nullptr));
}

// E = 1/2 sum (output - target)^2 in double precision, from the network's
// weights: the function whose derivatives backpropagation computes.
double Error(const CNetwork& net, const std::vector<float>& input, const std::vector<float>& target)
{
    std::vector<double> x(input.begin(), input.end());
    for (int l = 1; l < net.NumLayers; ++l) {
        const CLayer& layer = *net.Layers[l];
        std::vector<double> y(layer.NumNeurons);
        for (int i = 0; i < layer.NumNeurons; ++i) {
            double z = layer.Biases[i];
            for (size_t j = 0; j < x.size(); ++j)
                z += double(layer.Weights[i][j]) * x[j];
            y[i] = 1.0 / (1.0 + std::exp(-z));
        }
        x = y;
    }
    double e = 0.0;
    for (size_t i = 0; i < x.size(); ++i)
        e += 0.5 * (x[i] - target[i]) * (x[i] - target[i]);
    return e;
}

class Backprop : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        if (CNetwork().GetSIMDlevel() < GetParam().level)
            GTEST_SKIP() << "processor lacks the level";
    }
    bool Run(CNetwork& net, const std::vector<float>& input, const std::vector<float>& target, float* a, float* b)
    {
        return (net.*GetParam().variant)(
            static_cast<int>(input.size()), input.data(), static_cast<int>(target.size()), target.data(), a, b);
    }
};

// 17-9-8-5: two hidden layers, so the scratch vectors swap roles; every
// layer has whole input blocks and a remainder, the output layer a block of
// four neurons and one more.
TEST_P(Backprop, GradientsMatchFiniteDifferencesOfTheError)
{
    auto net = Build(GetParam().level, { 17, 9, 8, 5 }, 31);
    PrepareGradients(*net);
    const auto input = RandomVector(17, 1);
    const auto target = RandomVector(5, 2, 0.0f, 1.0f);
    std::vector<float> a(9), b(9);
    ASSERT_TRUE(Run(*net, input, target, a.data(), b.data()));

    const double h = 1e-3;
    auto check = [&](float& parameter, float gradient, const std::string& what) {
        const float saved = parameter;
        parameter = static_cast<float>(saved + h);
        const double up = Error(*net, input, target);
        parameter = static_cast<float>(saved - h);
        const double down = Error(*net, input, target);
        parameter = saved;
        // The step is rounded to float: divide by the step actually taken.
        const double taken = double(static_cast<float>(saved + h)) - double(static_cast<float>(saved - h));
        EXPECT_NEAR(gradient, (up - down) / taken, 2e-6 + 1e-3 * std::fabs(gradient)) << what;
    };
    for (int l = 1; l < net->NumLayers; ++l) {
        CLayer& layer = *net->Layers[l];
        for (int i = 0; i < layer.NumNeurons; ++i) {
            check(layer.Biases[i], layer.BiasGrad[i], "bias " + std::to_string(l) + "/" + std::to_string(i));
            for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                check(layer.Weights[i][j], layer.WeightGrad[i][j],
                    "weight " + std::to_string(l) + "/" + std::to_string(i) + "/" + std::to_string(j));
        }
    }
}

// Every value written out from the forward state the call leaves: output
// deltas by the variant's path (whole blocks of four through the vector
// exponential, the rest through expf), hidden deltas and gradient rows by the
// scalar formulas, which all variants share up to rounding-free products.
TEST_P(Backprop, MatchesItsLiteralFormulasExactly)
{
    auto net = Build(GetParam().level, { 17, 9, 8, 5 }, 32);
    PrepareGradients(*net);
    const auto input = RandomVector(17, 3);
    const auto target = RandomVector(5, 4, 0.0f, 1.0f);
    std::vector<float> a(9), b(9);
    ASSERT_TRUE(Run(*net, input, target, a.data(), b.data()));

    const CLayer& out = *net->Layers[3];
    const int blockNeurons = GetParam().vectorWidth == 0 ? 0 : 4;
    std::vector<float> upperDelta(5);
    for (int i = 0; i < 5; ++i) {
        const float z = out.Sums[i];
        if (i < blockNeurons) {
            const float s = 1.0f / (CephesExp(0.0f - z) + 1.0f);
            upperDelta[i] = ((1.0f - s) * s) * (out.Outputs[i] - target[i]);
        } else {
            const float s = 1.0f / (std::exp(-z) + 1.0f);
            upperDelta[i] = (out.Outputs[i] - target[i]) * ((1.0f - s) * s);
        }
    }
    for (int l = 3; l >= 1; --l) {
        const CLayer& layer = *net->Layers[l];
        for (int i = 0; i < layer.NumNeurons; ++i) {
            ASSERT_EQ(layer.BiasGrad[i], upperDelta[i]) << l << "/" << i;
            for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                ASSERT_EQ(layer.WeightGrad[i][j], upperDelta[i] * layer.Prev->Outputs[j]) << l << "/" << i << "/" << j;
        }
        if (l == 1)
            break;
        const CLayer& lower = *layer.Prev;
        std::vector<float> lowerDelta(lower.NumNeurons);
        for (int j = 0; j < lower.NumNeurons; ++j) {
            float acc = 0.0f;
            for (int k = 0; k < layer.NumNeurons; ++k)
                acc = acc + layer.Weights[k][j] * upperDelta[k];
            const float s = 1.0f / (std::exp(-lower.Sums[j]) + 1.0f);
            lowerDelta[j] = ((1.0f - s) * s) * acc;
        }
        upperDelta = lowerDelta;
    }
    // The scratch vectors: a holds the deltas of layers 3 and 1, b those of 2.
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(a[i], net->Layers[1]->BiasGrad[i]);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(b[i], net->Layers[2]->BiasGrad[i]);
}

TEST_P(Backprop, OutputsEqualToTheTargetsGiveZeroGradients)
{
    auto net = Build(GetParam().level, { 17, 9, 8, 5 }, 33);
    PrepareGradients(*net);
    const auto input = RandomVector(17, 5);
    std::vector<float> target(5);
    ASSERT_TRUE(net->Infer(17, input.data(), 5, target.data()));
    std::vector<float> a(9, 1.0f), b(9, 1.0f);
    ASSERT_TRUE(Run(*net, input, target, a.data(), b.data()));
    for (int l = 1; l < net->NumLayers; ++l) {
        const CLayer& layer = *net->Layers[l];
        for (int i = 0; i < layer.NumNeurons; ++i) {
            EXPECT_EQ(layer.BiasGrad[i], 0.0f);
            for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                EXPECT_EQ(layer.WeightGrad[i][j], 0.0f);
        }
    }
}

TEST_P(Backprop, MnistShapeLeavesOutputAndHiddenDeltasInTheScratchVectors)
{
    auto net = Build(GetParam().level, { 784, 30, 10 }, 34);
    PrepareGradients(*net);
    const auto input = RandomVector(784, 6);
    const auto target = RandomVector(10, 7, 0.0f, 1.0f);
    std::vector<float> a(31, 9.0f), b(31, 9.0f);
    ASSERT_TRUE(Run(*net, input, target, a.data(), b.data()));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(a[i], net->Layers[2]->BiasGrad[i]);
    for (int i = 10; i < 31; ++i)
        EXPECT_EQ(a[i], 9.0f); // only the output deltas are written there
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(b[i], net->Layers[1]->BiasGrad[i]);
    EXPECT_EQ(b[30], 9.0f);
}

TEST_P(Backprop, WrongLengthsWriteNothing)
{
    auto net = Build(GetParam().level, { 17, 9, 5 }, 35);
    PrepareGradients(*net);
    const auto input = RandomVector(17, 8);
    const auto target = RandomVector(5, 9, 0.0f, 1.0f);
    std::vector<float> a(9), b(9);
    ASSERT_TRUE(Run(*net, input, target, a.data(), b.data()));
    const std::vector<float> grads(net->Layers[2]->WeightGrad[4], net->Layers[2]->WeightGrad[4] + 9);
    const std::vector<float> outputs(net->Layers[2]->Outputs, net->Layers[2]->Outputs + 5);
    const auto savedA = a, savedB = b;

    const std::vector<float> shortTarget(target.begin(), target.end() - 1);
    EXPECT_FALSE(Run(*net, input, shortTarget, a.data(), b.data()));
    const std::vector<float> longInput(18, 0.5f);
    EXPECT_FALSE(Run(*net, longInput, target, a.data(), b.data()));
    EXPECT_EQ(std::vector<float>(net->Layers[2]->WeightGrad[4], net->Layers[2]->WeightGrad[4] + 9), grads);
    EXPECT_EQ(std::vector<float>(net->Layers[2]->Outputs, net->Layers[2]->Outputs + 5), outputs);
    EXPECT_EQ(a, savedA);
    EXPECT_EQ(b, savedB);
}

TEST_P(Backprop, RefusesANetworkWithoutGradientBuffersOrLayers)
{
    auto net = Build(GetParam().level, { 3, 2 }, 36);
    std::vector<float> a(2), b(2);
    EXPECT_FALSE(Run(*net, { 1, 2, 3 }, { 0, 1 }, a.data(), b.data()));
    auto single = Build(GetParam().level, { 3 }, 36);
    EXPECT_FALSE(Run(*single, { 1, 2, 3 }, { 0, 1, 0 }, a.data(), b.data()));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Backprop, ::testing::ValuesIn(kCases), [](const auto& info) { return std::string(info.param.name); });

// ---- NaN check --------------------------------------------------------------------

TEST(CheckNANs, FindsNaNInAWeightOrABiasButLetsInfinityPass)
{
    auto net = Build(nnet::SIMD_NONE, { 4, 3, 2 }, 37);
    EXPECT_TRUE(net->CheckNANs());
    net->Layers[2]->Weights[1][2] = std::numeric_limits<float>::infinity();
    net->Layers[1]->Biases[0] = -std::numeric_limits<float>::infinity();
    EXPECT_TRUE(net->CheckNANs());
    net->Layers[1]->Weights[2][3] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(net->CheckNANs());
    net->Layers[1]->Weights[2][3] = 0.0f;
    net->Layers[2]->Biases[1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(net->CheckNANs());
}

TEST(CheckNANs, NetworksWithoutWeightsHaveNoNaN)
{
    CNetwork empty;
    EXPECT_TRUE(empty.CheckNANs());
    auto single = Build(nnet::SIMD_NONE, { 4 });
    EXPECT_TRUE(single->CheckNANs());
}

} // namespace
