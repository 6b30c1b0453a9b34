// Backpropagation of one sample in its three variants, and the NaN check.
#include "nnet_support.h"

#include <gtest/gtest.h>

#include <limits>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

struct Case {
    const char* name;
    bool (CNetwork::*variant)(int, const float*, int, const float*, float*, float*);
    TSIMDlevel level;
};

// The variant picks its kernels whatever the network's level.
const Case kCases[] = { { "Scalar", &CNetwork::Backpropagate, nnet::SIMD_NONE },
    { "SSE", &CNetwork::BackpropagateSSE, nnet::SIMD_SSE }, { "AVX", &CNetwork::BackpropagateAVX, nnet::SIMD_AVX } };

// 17-9-8-5: two hidden layers, so the scratch vectors swap roles; every
// layer has whole input blocks and a remainder, the output layer a block of
// four neurons and one more.
class Backprop : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        if (CNetwork().GetSIMDlevel() < GetParam().level)
            GTEST_SKIP() << "processor lacks the level";
        net_ = Build(GetParam().level, { 17, 9, 8, 5 }, 31);
        ASSERT_TRUE(net_->Learn(0, 17, nullptr, 5, nullptr, 1, 1.0f, 0.0f, 0, nullptr)); // gradient buffers
    }
    bool Run(const std::vector<float>& input, const std::vector<float>& target)
    {
        return (net_.get()->*GetParam().variant)(
            int(input.size()), input.data(), int(target.size()), target.data(), a_.data(), b_.data());
    }
    std::unique_ptr<CNetwork> net_;
    std::vector<float> a_ = std::vector<float>(10, 9.0f), b_ = std::vector<float>(10, 9.0f);
};

// Every value written out from the forward state the call leaves: output
// deltas by the variant's path (a block of four through the vector
// exponential, the rest through expf), hidden deltas and gradient rows by
// the formulas all variants share. The samples must include one whose block
// deltas differ between the two exponentials, or the vector path would go
// unseen.
TEST_P(Backprop, MatchesItsLiteralFormulasExactly)
{
    const bool vector = GetParam().level != nnet::SIMD_NONE;
    int telling = 0; // block deltas the other exponential would get wrong
    for (int i = 0; i < 5; ++i)
        net_->Layers[3]->Biases[i] = -9.0f; // outputs near 0, where a last bit of E shows in the delta
    for (uint32_t seed = 3; seed < 43; seed += 2) {
        const auto input = RandomVector(17, seed), target = RandomVector(5, seed + 1, 0.0f, 1.0f);
        ASSERT_TRUE(Run(input, target));
        const CLayer& out = *net_->Layers[3];
        std::vector<float> delta(5);
        for (int i = 0; i < 5; ++i) {
            const float z = out.Sums[i], error = out.Outputs[i] - target[i];
            const float sv = Sigmoid(z, true), ss = Sigmoid(z, false), s = i < 4 && vector ? sv : ss;
            delta[i] = ((1.0f - s) * s) * error;
            telling += i < 4 && ((1.0f - sv) * sv) * error != ((1.0f - ss) * ss) * error;
        }
        for (int l = 3; l >= 1; --l) {
            const CLayer& layer = *net_->Layers[l];
            for (int i = 0; i < layer.NumNeurons; ++i) {
                ASSERT_EQ(layer.BiasGrad[i], delta[i]) << seed << ": " << l << "/" << i;
                for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                    ASSERT_EQ(layer.WeightGrad[i][j], delta[i] * layer.Prev->Outputs[j]) << l << "/" << i << "/" << j;
            }
            std::vector<float> lower(layer.Prev->NumNeurons);
            for (int j = 0; l > 1 && j < layer.Prev->NumNeurons; ++j) {
                float acc = 0.0f;
                for (int k = 0; k < layer.NumNeurons; ++k)
                    acc = acc + layer.Weights[k][j] * delta[k];
                const float s = Sigmoid(layer.Prev->Sums[j], false);
                lower[j] = ((1.0f - s) * s) * acc;
            }
            delta = lower;
        }
    }
    EXPECT_GT(telling, 0);
}

TEST_P(Backprop, WrongLengthsWriteNothing)
{
    const auto input = RandomVector(17, 8), target = RandomVector(5, 9, 0.0f, 1.0f);
    ASSERT_TRUE(Run(input, target));
    const CLayer& out = *net_->Layers[3];
    const std::vector<float> grads(out.WeightGrad[4], out.WeightGrad[4] + 8), outputs(out.Outputs, out.Outputs + 5);
    EXPECT_FALSE(Run(input, { target.begin(), target.end() - 1 }));
    EXPECT_FALSE(Run(std::vector<float>(18, 0.5f), target));
    EXPECT_EQ(std::vector<float>(out.WeightGrad[4], out.WeightGrad[4] + 8), grads);
    EXPECT_EQ(std::vector<float>(out.Outputs, out.Outputs + 5), outputs);
    auto fresh = Build(GetParam().level, { 3, 2 }); // no gradient buffers yet
    EXPECT_FALSE((fresh.get()->*GetParam().variant)(3, input.data(), 2, target.data(), a_.data(), b_.data()));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Backprop, ::testing::ValuesIn(kCases), [](const auto& info) { return std::string(info.param.name); });

TEST(CheckNANs, FindsNaNInAWeightOrABiasButLetsInfinityPass)
{
    auto net = Build(nnet::SIMD_NONE, { 4, 3, 2 }, 37);
    net->Layers[2]->Weights[1][2] = std::numeric_limits<float>::infinity();
    net->Layers[1]->Biases[0] = -std::numeric_limits<float>::infinity();
    EXPECT_TRUE(net->CheckNANs());
    net->Layers[1]->Weights[2][3] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(net->CheckNANs());
    net->Layers[1]->Weights[2][3] = 0.0f;
    net->Layers[2]->Biases[1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(net->CheckNANs());
    EXPECT_TRUE(CNetwork().CheckNANs());
}

} // namespace
