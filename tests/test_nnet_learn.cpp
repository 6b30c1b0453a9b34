// The training loop: batches, updates, progress messages, refusals, and a
// problem the network learns.
#include "nnet_support.h"
#include "recording_window.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <array>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

using tamrix::test::RecordingWindow;

struct Samples {
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inputs, targets;
    Samples(int n, int nIn, int nOut, uint32_t seed)
    {
        for (int k = 0; k < n; ++k) { // growing moves the vectors, not their data
            in.push_back(RandomVector(nIn, seed + 2 * k));
            out.push_back(RandomVector(nOut, seed + 2 * k + 1, 0.0f, 1.0f));
            inputs.push_back(in[k].data());
            targets.push_back(out[k].data());
        }
    }
    bool Learn(CNetwork& net, int batch, int epochs, void* window = nullptr, float rate = 0.5f, float unused = 0.0f)
    {
        return net.Learn(int(in.size()), int(in[0].size()), inputs.data(), int(out[0].size()), targets.data(), batch,
            rate, unused, epochs, window);
    }
};

class Learning : public ::testing::TestWithParam<TSIMDlevel> { };

TEST_P(Learning, PostsOneMessagePerEpochInOrderAndTrainsAlikeWithoutAWindow)
{
    Samples s(50, 6, 3, 3);
    auto withWindow = Build(GetParam(), { 6, 5, 3 }, 9), without = Build(GetParam(), { 6, 5, 3 }, 9);
    RecordingWindow host;
    Lib::FixSeed(10);
    EXPECT_TRUE(s.Learn(*withWindow, 7, 4, host.Handle()));
    Lib::FixSeed(10);
    EXPECT_TRUE(s.Learn(*without, 7, 4, nullptr, 0.5f, 123.0f)); // the eighth parameter has no effect
    const auto messages = host.WaitFor(4);
    ASSERT_EQ(messages.size(), 4u);
    for (size_t e = 0; e < 4; ++e) {
        EXPECT_EQ(messages[e].id, nnet::kLearnEpochMessage);
        EXPECT_EQ(messages[e].wParam, e);
        EXPECT_TRUE(messages[e].lParam >= 0 && messages[e].lParam < 10000) << messages[e].lParam; // milliseconds
        EXPECT_FALSE(messages[e].sent);
    }
    EXPECT_EQ(Parameters(*withWindow), Parameters(*without));
}

TEST_P(Learning, RefusesBadArgumentsWithoutTouchingTheNetwork)
{
    auto net = Build(GetParam(), { 6, 5, 3 });
    Samples s(20, 6, 3, 5);
    EXPECT_FALSE(s.Learn(*net, 0, 2)); // the batch loop would never advance
    EXPECT_FALSE(s.Learn(*net, -3, 2));
    EXPECT_FALSE(net->Learn(20, 7, s.inputs.data(), 3, s.targets.data(), 5, 0.5f, 0.0f, 2, nullptr));
    EXPECT_FALSE(net->Learn(20, 6, s.inputs.data(), 2, s.targets.data(), 5, 0.5f, 0.0f, 2, nullptr));
    EXPECT_FALSE(net->Learn(-1, 6, s.inputs.data(), 3, s.targets.data(), 5, 0.5f, 0.0f, 2, nullptr));
    EXPECT_EQ(net->Layers[1]->WeightGrad, nullptr); // training and its messages come after these buffers
    EXPECT_FALSE(
        Build(GetParam(), { 6 })->Learn(20, 6, s.inputs.data(), 6, s.inputs.data(), 5, 0.5f, 0.0f, 2, nullptr));
}

// Training as described: per epoch the shuffle; per batch, per sample the
// exported backpropagation of the level with its gradients added to sums
// cleared for the batch, then the update.
void LiteralLearn(CNetwork& net, Samples& s, int batch, float rate, int epochs)
{
    const auto backpropagate = net.SIMDlevel == nnet::SIMD_SSE ? &CNetwork::BackpropagateSSE
        : net.SIMDlevel >= nnet::SIMD_AVX                      ? &CNetwork::BackpropagateAVX
                                                               : &CNetwork::Backpropagate;
    auto each = [&net](auto f) { // f(value, gradient) for every weight and bias
        for (int l = 1; l < net.NumLayers; ++l)
            for (int i = 0; i < net.Layers[l]->NumNeurons; ++i) {
                for (int j = 0; j < net.Layers[l]->Prev->NumNeurons; ++j)
                    f(net.Layers[l]->Weights[i][j], net.Layers[l]->WeightGrad[i][j]);
                f(net.Layers[l]->Biases[i], net.Layers[l]->BiasGrad[i]);
            }
    };
    const int n = int(s.in.size());
    ASSERT_TRUE(s.Learn(net, batch, 0)); // the gradient buffers
    std::vector<float> a(64), b(64), sum(Parameters(net).size());
    std::vector<int> order(n);
    for (int e = 0; e < epochs; ++e) {
        for (int k = 0; k < n; ++k)
            order[k] = k;
        for (int k = 0; k < n; ++k)
            std::swap(order[k], order[Lib::RANDOM(unsigned(n))]);
        for (int start = 0; start < n - batch; start += batch) {
            std::fill(sum.begin(), sum.end(), 0.0f);
            for (int k = 0; k < batch; ++k) {
                const int i = order[start + k];
                (net.*backpropagate)(
                    int(s.in[i].size()), s.inputs[i], int(s.out[i].size()), s.targets[i], a.data(), b.data());
                size_t p = 0;
                each([&](float&, float g) { sum[p++] += g; });
            }
            size_t p = 0;
            each([&](float& v, float) { v -= rate / float(batch) * sum[p++]; });
        }
    }
}

// Training sums the products of up to 8 samples per pass; batch sizes around
// that must leave bit for bit what the literal loop leaves.
TEST_P(Learning, LeavesBitForBitWhatTheLiteralLoopLeaves)
{
    Samples s(61, 17, 5, 8);
    for (int batch : { 1, 7, 8, 9, 10, 17, 30 }) {
        auto fast = Build(GetParam(), { 17, 9, 8, 5 }, 40 + batch),
             literal = Build(GetParam(), { 17, 9, 8, 5 }, 40 + batch);
        Lib::FixSeed(50);
        ASSERT_TRUE(s.Learn(*fast, batch, 3, nullptr, 2.0f));
        Lib::FixSeed(50);
        LiteralLearn(*literal, s, batch, 2.0f, 3);
        ASSERT_EQ(Parameters(*fast), Parameters(*literal)) << "batch " << batch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Learning, ::testing::ValuesIn(Levels()), [](const auto& info) { return LevelName(info.param); });

} // namespace
