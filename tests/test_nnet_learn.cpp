// The training loop: batches, updates, progress messages, refusals, and a
// problem the network learns.
#include "nnet_support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <cmath>

using nnet::CLayer;
using nnet::CNetwork;
using nnet::TSIMDlevel;
using namespace nnet::test;

namespace {

struct Message {
    unsigned id;
    uintptr_t wParam;
    intptr_t lParam;
};

struct Recorder {
    std::vector<Message> posted;
    int sent = 0;
    THostWindow window { this, &Send, &Post };
    static intptr_t Send(void* self, unsigned, uintptr_t, intptr_t)
    {
        ++static_cast<Recorder*>(self)->sent;
        return 0;
    }
    static void Post(void* self, unsigned id, uintptr_t w, intptr_t l)
    {
        static_cast<Recorder*>(self)->posted.push_back({ id, w, l });
    }
};

// Sample vectors and the pointer arrays Learn takes.
struct Samples {
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inputs, targets;
    void Add(std::vector<float> x, std::vector<float> t)
    {
        in.push_back(std::move(x));
        out.push_back(std::move(t));
    }
    int Count() const { return static_cast<int>(in.size()); }
    float** Inputs()
    {
        inputs.clear();
        for (auto& v : in)
            inputs.push_back(v.data());
        return inputs.data();
    }
    float** Targets()
    {
        targets.clear();
        for (auto& v : out)
            targets.push_back(v.data());
        return targets.data();
    }
};

std::vector<float> Parameters(const CNetwork& net)
{
    std::vector<float> p;
    for (int l = 1; l < net.NumLayers; ++l) {
        const CLayer& layer = *net.Layers[l];
        for (int i = 0; i < layer.NumNeurons; ++i) {
            p.insert(p.end(), layer.Weights[i], layer.Weights[i] + layer.Prev->NumNeurons);
            p.push_back(layer.Biases[i]);
        }
    }
    return p;
}

Samples RandomSamples(int n, int nIn, int nOut, uint32_t seed)
{
    Samples s;
    for (int k = 0; k < n; ++k)
        s.Add(RandomVector(nIn, seed + 2 * k), RandomVector(nOut, seed + 2 * k + 1, 0.0f, 1.0f));
    return s;
}

class Learning : public ::testing::TestWithParam<TSIMDlevel> {
protected:
    bool Learn(CNetwork& net, Samples& s, int batch, int epochs, void* window = nullptr, float rate = 0.5f,
        float unused = 0.0f)
    {
        return net.Learn(s.Count(), static_cast<int>(s.in[0].size()), s.Inputs(), static_cast<int>(s.out[0].size()),
            s.Targets(), batch, rate, unused, epochs, window);
    }
};

TEST_P(Learning, NoEpochsChangeNothingButAllocateTheGradients)
{
    auto net = Build(GetParam(), { 6, 5, 3 });
    auto samples = RandomSamples(20, 6, 3, 1);
    const auto before = Parameters(*net);
    Recorder host;
    EXPECT_TRUE(Learn(*net, samples, 5, 0, &host.window));
    EXPECT_EQ(Parameters(*net), before);
    EXPECT_TRUE(host.posted.empty());
    for (int l = 1; l < 3; ++l) {
        const CLayer& layer = *net->Layers[l];
        ASSERT_NE(layer.WeightGradSum, nullptr);
        ASSERT_NE(layer.WeightGrad, nullptr);
        ASSERT_NE(layer.BiasGradSum, nullptr);
        ASSERT_NE(layer.BiasGrad, nullptr);
        for (int i = 0; i < layer.NumNeurons; ++i) {
            EXPECT_EQ(layer.BiasGrad[i], 0.0f);
            for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                EXPECT_EQ(layer.WeightGradSum[i][j], 0.0f);
        }
    }
}

TEST_P(Learning, AsManySamplesAsOneBatchTrainNothingButStillReportEachEpoch)
{
    auto net = Build(GetParam(), { 6, 5, 3 });
    auto samples = RandomSamples(10, 6, 3, 2);
    const auto before = Parameters(*net);
    Recorder host;
    EXPECT_TRUE(Learn(*net, samples, 10, 3, &host.window));
    EXPECT_EQ(Parameters(*net), before);
    ASSERT_EQ(host.posted.size(), 3u);
    EXPECT_EQ(host.sent, 0); // posted, never sent
}

// One input neuron per sample (sample k has input e_k): a weight moves only
// when its sample takes part in a batch, so the moved weights count the
// samples an epoch used.
int SamplesUsedInOneEpoch(TSIMDlevel level, int n, int batch)
{
    auto net = Build(level, { n, 1 });
    Samples s;
    for (int k = 0; k < n; ++k) {
        std::vector<float> x(n, 0.0f);
        x[k] = 1.0f;
        s.Add(x, { 1.0f });
    }
    const std::vector<float> before(net->Layers[1]->Weights[0], net->Layers[1]->Weights[0] + n);
    EXPECT_TRUE(net->Learn(n, n, s.Inputs(), 1, s.Targets(), batch, 1.0f, 0.0f, 1, nullptr));
    int moved = 0;
    for (int k = 0; k < n; ++k)
        moved += net->Layers[1]->Weights[0][k] != before[k];
    return moved;
}

TEST_P(Learning, TheLastBatchStartOfEveryEpochIsLeftOut)
{
    EXPECT_EQ(SamplesUsedInOneEpoch(GetParam(), 100, 10), 90); // 9 batches
    EXPECT_EQ(SamplesUsedInOneEpoch(GetParam(), 105, 10), 100);
    EXPECT_EQ(SamplesUsedInOneEpoch(GetParam(), 11, 10), 10);
    EXPECT_EQ(SamplesUsedInOneEpoch(GetParam(), 12, 1), 11);
}

TEST_P(Learning, PostsOneMessagePerEpochInOrderAndTrainsAlikeWithoutAWindow)
{
    auto samples = RandomSamples(50, 6, 3, 3);
    auto withWindow = Build(GetParam(), { 6, 5, 3 }, 9);
    auto without = Build(GetParam(), { 6, 5, 3 }, 9);
    Recorder host;
    Lib::FixSeed(10);
    EXPECT_TRUE(Learn(*withWindow, samples, 7, 4, &host.window));
    Lib::FixSeed(10);
    EXPECT_TRUE(Learn(*without, samples, 7, 4, nullptr, 0.5f, 123.0f)); // the eighth parameter has no effect
    ASSERT_EQ(host.posted.size(), 4u);
    for (uintptr_t e = 0; e < 4; ++e) {
        EXPECT_EQ(host.posted[e].id, 13369u);
        EXPECT_EQ(host.posted[e].wParam, e);
        EXPECT_GE(host.posted[e].lParam, 0);
        EXPECT_LT(host.posted[e].lParam, 10000); // milliseconds of a tiny epoch
    }
    EXPECT_EQ(Parameters(*withWindow), Parameters(*without));
}

TEST_P(Learning, ASecondCallContinuesFromTheFirst)
{
    auto samples = RandomSamples(40, 6, 3, 4);
    auto once = Build(GetParam(), { 6, 5, 3 }, 11);
    auto twice = Build(GetParam(), { 6, 5, 3 }, 11);
    Lib::FixSeed(12);
    EXPECT_TRUE(Learn(*once, samples, 4, 2));
    Lib::FixSeed(12);
    EXPECT_TRUE(Learn(*twice, samples, 4, 1));
    float** gradients = twice->Layers[1]->WeightGrad;
    const auto halfway = Parameters(*twice);
    EXPECT_TRUE(Learn(*twice, samples, 4, 1));
    EXPECT_NE(Parameters(*twice), halfway);
    EXPECT_EQ(Parameters(*twice), Parameters(*once));
    EXPECT_EQ(twice->Layers[1]->WeightGrad, gradients); // reused, not reallocated
}

TEST_P(Learning, RefusesBadArgumentsWithoutTouchingTheNetwork)
{
    auto net = Build(GetParam(), { 6, 5, 3 });
    auto samples = RandomSamples(20, 6, 3, 5);
    const auto before = Parameters(*net);
    Recorder host;
    EXPECT_FALSE(Learn(*net, samples, 0, 2, &host.window)); // would never advance
    EXPECT_FALSE(Learn(*net, samples, -3, 2, &host.window));
    EXPECT_FALSE(net->Learn(20, 7, samples.Inputs(), 3, samples.Targets(), 5, 0.5f, 0.0f, 2, &host.window));
    EXPECT_FALSE(net->Learn(20, 6, samples.Inputs(), 2, samples.Targets(), 5, 0.5f, 0.0f, 2, &host.window));
    EXPECT_FALSE(net->Learn(-1, 6, samples.Inputs(), 3, samples.Targets(), 5, 0.5f, 0.0f, 2, &host.window));
    EXPECT_EQ(Parameters(*net), before);
    EXPECT_TRUE(host.posted.empty());
    EXPECT_EQ(net->Layers[1]->WeightGrad, nullptr);

    auto single = Build(GetParam(), { 6 });
    EXPECT_FALSE(single->Learn(20, 6, samples.Inputs(), 6, samples.Inputs(), 5, 0.5f, 0.0f, 2, nullptr));
}

TEST_P(Learning, TargetsNeedNoParticularAlignment)
{
    auto net = Build(GetParam(), { 6, 5, 9 });
    std::vector<float> storage(20 * 10 + 1);
    Samples s = RandomSamples(20, 6, 9, 6);
    std::vector<float*> targets;
    for (int k = 0; k < 20; ++k) {
        float* t = storage.data() + 1 + 10 * k; // 4 bytes past any vector boundary
        std::copy(s.out[k].begin(), s.out[k].end(), t);
        targets.push_back(t);
    }
    EXPECT_TRUE(net->Learn(20, 6, s.Inputs(), 9, targets.data(), 3, 0.5f, 0.0f, 2, nullptr));
    EXPECT_TRUE(net->CheckNANs());
}

// Two classes of points in 8 dimensions, split by the sign of x0 + x1 - x2:
// a network of 8-9-2 learns them, and its mean squared error falls.
TEST_P(Learning, TheErrorFallsOnALearnableProblem)
{
    Samples train;
    for (int k = 0; k < 400; ++k) {
        auto x = RandomVector(8, 1000 + k);
        const bool positive = x[0] + x[1] - x[2] > 0.0f;
        train.Add(x, { positive ? 1.0f : 0.0f, positive ? 0.0f : 1.0f });
    }
    auto net = Build(GetParam(), { 8, 9, 2 }, 21);
    auto meanError = [&] {
        double e = 0.0;
        for (int k = 0; k < train.Count(); ++k) {
            float y[2];
            net->Infer(8, train.in[k].data(), 2, y);
            e += 0.5
                * ((y[0] - train.out[k][0]) * (y[0] - train.out[k][0])
                    + (y[1] - train.out[k][1]) * (y[1] - train.out[k][1]));
        }
        return e / train.Count();
    };
    const double before = meanError();
    Lib::FixSeed(22);
    ASSERT_TRUE(Learn(*net, train, 10, 20, nullptr, 3.0f));
    const double after = meanError();
    EXPECT_LT(after, 0.25 * before) << before << " -> " << after;
    EXPECT_LT(after, 0.03);
    EXPECT_TRUE(net->CheckNANs());
}

// ---- The loop written out ------------------------------------------------------------

// Training exactly as described: per epoch the shuffle, per batch cleared
// sums, per sample the exported backpropagation of the level with its
// gradient rows added to the sums, then the update.
void LiteralLearn(CNetwork& net, Samples& s, int batch, float rate, int epochs)
{
    using Variant = bool (CNetwork::*)(int, const float*, int, const float*, float*, float*);
    const Variant backpropagate = net.SIMDlevel == nnet::SIMD_SSE ? &CNetwork::BackpropagateSSE
        : net.SIMDlevel >= nnet::SIMD_AVX                         ? &CNetwork::BackpropagateAVX
                                                                  : &CNetwork::Backpropagate;
    const int n = s.Count(), nIn = static_cast<int>(s.in[0].size()), nOut = static_cast<int>(s.out[0].size());
    ASSERT_TRUE(net.Learn(n, nIn, s.Inputs(), nOut, s.Targets(), batch, rate, 0.0f, 0, nullptr)); // gradient buffers
    Block a(net, 64), b(net, 64);
    const float step = rate / static_cast<float>(batch);
    std::vector<int> order(n);
    for (int e = 0; e < epochs; ++e) {
        for (int k = 0; k < n; ++k)
            order[k] = k;
        for (int k = 0; k < n; ++k)
            std::swap(order[k], order[Lib::RANDOM(static_cast<unsigned>(n))]);
        for (int start = 0; start < n - batch; start += batch) {
            for (int l = 1; l < net.NumLayers; ++l) {
                CLayer& layer = *net.Layers[l];
                for (int i = 0; i < layer.NumNeurons; ++i) {
                    std::fill(layer.WeightGradSum[i], layer.WeightGradSum[i] + layer.Prev->NumNeurons, 0.0f);
                    layer.BiasGradSum[i] = 0.0f;
                }
            }
            for (int k = 0; k < batch; ++k) {
                const int i = order[start + k];
                ASSERT_TRUE((net.*backpropagate)(nIn, s.in[i].data(), nOut, s.out[i].data(), a.data, b.data));
                for (int l = 1; l < net.NumLayers; ++l) {
                    CLayer& layer = *net.Layers[l];
                    for (int r = 0; r < layer.NumNeurons; ++r) {
                        for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                            layer.WeightGradSum[r][j] += layer.WeightGrad[r][j];
                        layer.BiasGradSum[r] += layer.BiasGrad[r];
                    }
                }
            }
            for (int l = 1; l < net.NumLayers; ++l) {
                CLayer& layer = *net.Layers[l];
                for (int r = 0; r < layer.NumNeurons; ++r) {
                    for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                        layer.Weights[r][j] = layer.Weights[r][j] - step * layer.WeightGradSum[r][j];
                    layer.Biases[r] = layer.Biases[r] - step * layer.BiasGradSum[r];
                }
            }
        }
    }
}

// Everything training leaves behind: weights, biases, the last batch's sums,
// the last sample's gradients and its forward state.
std::vector<float> State(const CNetwork& net)
{
    std::vector<float> v = Parameters(net);
    for (int l = 1; l < net.NumLayers; ++l) {
        const CLayer& layer = *net.Layers[l];
        for (int i = 0; i < layer.NumNeurons; ++i) {
            v.insert(v.end(), layer.WeightGradSum[i], layer.WeightGradSum[i] + layer.Prev->NumNeurons);
            v.insert(v.end(), layer.WeightGrad[i], layer.WeightGrad[i] + layer.Prev->NumNeurons);
            v.push_back(layer.BiasGradSum[i]);
            v.push_back(layer.BiasGrad[i]);
            v.push_back(layer.Outputs[i]);
            v.push_back(layer.Sums[i]);
        }
    }
    return v;
}

// Batch sizes around the 8 samples that training sums in one pass.
TEST_P(Learning, LeavesBitForBitWhatTheLiteralLoopLeaves)
{
    auto samples = RandomSamples(61, 17, 5, 8);
    for (int batch : { 1, 7, 8, 9, 10, 17, 30 }) {
        auto fast = Build(GetParam(), { 17, 9, 8, 5 }, 40 + batch);
        auto literal = Build(GetParam(), { 17, 9, 8, 5 }, 40 + batch);
        Lib::FixSeed(50);
        ASSERT_TRUE(Learn(*fast, samples, batch, 3, nullptr, 2.0f));
        Lib::FixSeed(50);
        LiteralLearn(*literal, samples, batch, 2.0f, 3);
        const auto got = State(*fast), expected = State(*literal);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t k = 0; k < got.size(); ++k)
            ASSERT_EQ(got[k], expected[k]) << "batch " << batch << ", value " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Learning, ::testing::ValuesIn(Levels()), [](const auto& info) { return LevelName(info.param); });

} // namespace
