// The network: single-sample inference and one training epoch (batch 10) at
// every vector level this processor runs, in samples per second. The summary
// puts each level beside the scalar level of the same run.
#include "hostlib.h"
#include "nnet.h"
#include "support.h"

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tamrix::bench {
namespace {

const char* const kLevelNames[] = { "Scalar", "SSE", "AVX", "AVX2" };

// Synthetic digit-like samples: inputs pixel / 128 - 1 of random bytes,
// one-hot targets in blocks from the network's allocator, as the data-set
// loader makes them.
struct DataSet {
    nnet::CNetwork& net;
    std::vector<std::vector<float>> pixels;
    std::vector<float*> inputs, targets;

    DataSet(nnet::CNetwork& n, int count, int nIn, int nOut)
        : net(n)
    {
        std::mt19937 rng(17);
        std::uniform_int_distribution<int> byte(0, 255), label(0, nOut - 1);
        for (int k = 0; k < count; ++k) {
            std::vector<float> x(nIn);
            for (auto& v : x)
                v = static_cast<float>(byte(rng)) / 128.0f - 1.0f;
            pixels.push_back(std::move(x));
            auto* t = static_cast<float*>(net.Alloc(static_cast<unsigned>(nOut * sizeof(float))));
            for (int i = 0; i < nOut; ++i)
                t[i] = 0.0f;
            t[nOut > 1 ? label(rng) : 0] = nOut > 1 || k % 2 == 0 ? 1.0f : 0.0f;
            targets.push_back(t);
        }
        for (auto& x : pixels)
            inputs.push_back(x.data());
    }
    ~DataSet()
    {
        for (float* t : targets)
            net.Free(t);
    }
};

std::unique_ptr<nnet::CNetwork> MakeNetwork(nnet::TSIMDlevel level, std::vector<int> sizes)
{
    auto net = std::make_unique<nnet::CNetwork>();
    net->SIMDlevel = level;
    Lib::FixSeed(1);
    net->Init(static_cast<int>(sizes.size()), sizes.data());
    return net;
}

void InferBench(benchmark::State& state, nnet::TSIMDlevel level, std::vector<int> sizes)
{
    auto net = MakeNetwork(level, sizes);
    DataSet data(*net, 1000, sizes.front(), sizes.back());
    std::vector<float> out(sizes.back());
    size_t k = 0;
    for (auto _ : state) {
        net->Infer(sizes.front(), data.inputs[k], sizes.back(), out.data());
        benchmark::DoNotOptimize(out.data());
        k = k + 1 < data.inputs.size() ? k + 1 : 0;
    }
    state.counters["samples/s"]
        = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// One epoch of 10 000 samples in batches of 10: 999 batches, since the last
// batch start is left out.
void TrainBench(benchmark::State& state, nnet::TSIMDlevel level, std::vector<int> sizes)
{
    const int count = 10000, batch = 10;
    auto net = MakeNetwork(level, sizes);
    DataSet data(*net, count, sizes.front(), sizes.back());
    const int used = (count - 1) / batch * batch;
    for (auto _ : state)
        net->Learn(
            count, sizes.front(), data.inputs.data(), sizes.back(), data.targets.data(), batch, 3.0f, 0.0f, 1, nullptr);
    state.counters["samples/s"]
        = benchmark::Counter(static_cast<double>(state.iterations()) * used, benchmark::Counter::kIsRate);
}

void Register(const std::string& shape, std::vector<int> sizes)
{
    const nnet::TSIMDlevel detected = nnet::CNetwork().GetSIMDlevel();
    for (int l = nnet::SIMD_NONE; l <= detected; ++l) {
        const auto level = static_cast<nnet::TSIMDlevel>(l);
        benchmark::RegisterBenchmark(("NN/Infer/" + shape + "/" + kLevelNames[l]).c_str(), InferBench, level, sizes)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("NN/Train/" + shape + "/b10/" + kLevelNames[l]).c_str(), TrainBench, level, sizes)
            ->Unit(benchmark::kMillisecond);
    }
}

const int registered = (Register("784-30-10", { 784, 30, 10 }), Register("225-16-1", { 225, 16, 1 }), 0);

} // namespace
} // namespace tamrix::bench
