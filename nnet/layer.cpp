// The scalar layer: construction with random weights, release, and the
// reference evaluation that the vector classes must agree with.
#include "hostlib.h"
#include "nnet.h"
#include "nnet/internal.h"
#include "platform/platform.h"

#include <cmath>
#include <new>

namespace nnet {

CLayer::CLayer(CNetwork* network, CLayer* prev, int numNeurons)
    : Network(network)
    , Prev(prev)
    , NumNeurons(numNeurons)
    , Blocks4(numNeurons / 4)
    , Blocks8(numNeurons / 8)
    , Outputs(nullptr)
    , Sums(nullptr)
    , Weights(nullptr)
    , Biases(nullptr)
    , WeightGradSum(nullptr)
    , BiasGradSum(nullptr)
    , WeightGrad(nullptr)
    , BiasGrad(nullptr)
{
    const int n = numNeurons;
    const int m = prev != nullptr ? prev->NumNeurons : 0;
    // In order, stopping at the first failure: a constructor that throws runs
    // no destructor, so whatever was allocated is released here.
    const bool allocated = (Outputs = detail::AllocFloats(*network, n)) != nullptr
        && (prev == nullptr
            || ((Sums = detail::AllocFloats(*network, n)) != nullptr
                && (Weights = detail::AllocRows(*network, n, m, false)) != nullptr
                && (Biases = detail::AllocFloats(*network, n)) != nullptr));
    if (!allocated) {
        Release();
        tamrix::platform::ThrowOutOfMemory();
    }
    if (prev == nullptr)
        return;

    // Box-Muller: weights normal with standard deviation 1/sqrt(m), biases
    // standard normal. Exactly two draws per value, the radius draw first;
    // Lib::RAND never returns 0, so the logarithm stays finite.
    const float scale = 1.0f / std::sqrt(static_cast<float>(m));
    Lib::RANDOMIZE();
    for (int i = 0; i < n; ++i) {
        float* row = Weights[i];
        for (int j = 0; j < m; ++j) {
            const auto u1 = static_cast<float>(Lib::RAND());
            const auto u2 = static_cast<float>(Lib::RAND());
            row[j] = std::cos(u2 * 6.2831855f) * std::sqrt(std::log(u1) * -2.0f) * scale;
        }
        const auto u1 = static_cast<float>(Lib::RAND());
        const auto u2 = static_cast<float>(Lib::RAND());
        Biases[i] = std::sqrt(std::log(u1) * -2.0f) * std::cos(u2 * 6.2831855f);
    }
}

CLayer::~CLayer()
{
    Release();
}

void CLayer::Release()
{
    CNetwork& net = *Network;
    detail::FreeFloats(net, Outputs);
    detail::FreeFloats(net, Sums);
    detail::FreeFloats(net, Biases);
    detail::FreeFloats(net, BiasGradSum);
    detail::FreeFloats(net, BiasGrad);
    detail::FreeRows(net, Weights, NumNeurons);
    detail::FreeRows(net, WeightGradSum, NumNeurons);
    detail::FreeRows(net, WeightGrad, NumNeurons);
}

// One product and one addition at a time, strictly in input order: the
// reference rounding.
void CLayer::Evaluate()
{
    const float* x = Prev->Outputs;
    const int m = Prev->NumNeurons;
    for (int i = 0; i < NumNeurons; ++i) {
        const float* w = Weights[i];
        float acc = 0.0f;
        for (int j = 0; j < m; ++j)
            acc = acc + w[j] * x[j];
        const float z = acc + Biases[i];
        Sums[i] = z;
        Outputs[i] = 1.0f / (std::exp(-z) + 1.0f);
    }
}

} // namespace nnet
