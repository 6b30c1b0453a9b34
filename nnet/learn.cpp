// The training loop: mini-batch gradient descent over shuffled samples, with
// one progress message per epoch.
#include "hostlib.h"
#include "nnet.h"
#include "nnet/internal.h"
#include "platform/platform.h"

#include <cstring>
#include <new>
#include <utility>

namespace nnet {
namespace {

constexpr unsigned kEpochMessage = 13369; // WM_USER + 12345

using Variant = bool (CNetwork::*)(int, const float*, int, const float*, float*, float*);

// The gradient members of a layer that does not have them yet, zero-filled.
// Members already there are kept, so later calls reuse them.
bool AllocateGradients(CNetwork& net, CLayer& layer)
{
    const int n = layer.NumNeurons, m = layer.Prev->NumNeurons;
    auto zeroFloats = [&](float*& member) {
        if (member == nullptr && (member = detail::AllocFloats(net, n)) != nullptr)
            std::memset(member, 0, static_cast<size_t>(n) * sizeof(float));
        return member != nullptr;
    };
    auto zeroRows = [&](float**& member) {
        if (member == nullptr)
            member = detail::AllocRows(net, n, m, true);
        return member != nullptr;
    };
    return zeroRows(layer.WeightGradSum) && zeroFloats(layer.BiasGradSum) && zeroRows(layer.WeightGrad)
        && zeroFloats(layer.BiasGrad);
}

void ClearSums(CLayer& layer)
{
    const size_t row = static_cast<size_t>(layer.Prev->NumNeurons) * sizeof(float);
    for (int i = 0; i < layer.NumNeurons; ++i)
        std::memset(layer.WeightGradSum[i], 0, row);
    std::memset(layer.BiasGradSum, 0, static_cast<size_t>(layer.NumNeurons) * sizeof(float));
}

void AddSample(CLayer& layer)
{
    const int m = layer.Prev->NumNeurons;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        float* sum = layer.WeightGradSum[i];
        const float* grad = layer.WeightGrad[i];
        for (int j = 0; j < m; ++j)
            sum[j] += grad[j];
        layer.BiasGradSum[i] += layer.BiasGrad[i];
    }
}

void Step(CLayer& layer, float step)
{
    const int m = layer.Prev->NumNeurons;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        float* w = layer.Weights[i];
        const float* g = layer.WeightGradSum[i];
        for (int j = 0; j < m; ++j)
            w[j] = w[j] - step * g[j];
        layer.Biases[i] = layer.Biases[i] - step * layer.BiasGradSum[i];
    }
}

} // namespace

bool CNetwork::Learn(int numSamples, int nIn, float** inputs, int nOut, float** targets, int batchSize, float rate,
    float /*unused*/, int epochs, void* window)
{
    // A batch size below 1 would never advance the batch loop.
    if (batchSize < 1 || numSamples < 0 || NumLayers < 2 || Layers == nullptr)
        return false;
    // Backpropagation refuses wrong lengths; training on would add stale
    // gradients, so the whole call is refused instead.
    if (nIn != Layers[0]->NumNeurons || nOut != Layers[NumLayers - 1]->NumNeurons)
        return false;

    int widest = 0;
    for (int l = 1; l < NumLayers; ++l) {
        if (!AllocateGradients(*this, *Layers[l]))
            return false;
        if (Layers[l]->NumNeurons > widest)
            widest = Layers[l]->NumNeurons;
    }
    float* deltaA = detail::AllocFloats(*this, widest);
    float* deltaB = detail::AllocFloats(*this, widest);
    int* order = new (std::nothrow) int[static_cast<size_t>(numSamples)];
    if (deltaA == nullptr || deltaB == nullptr || order == nullptr) {
        detail::FreeFloats(*this, deltaA);
        detail::FreeFloats(*this, deltaB);
        delete[] order;
        return false;
    }

    const Variant backpropagate = SIMDlevel == SIMD_SSE   ? &CNetwork::BackpropagateSSE
        : SIMDlevel == SIMD_AVX || SIMDlevel == SIMD_AVX2 ? &CNetwork::BackpropagateAVX
                                                          : &CNetwork::Backpropagate;
    const float step = rate / static_cast<float>(batchSize);
    for (int epoch = 0; epoch < epochs; ++epoch) {
        const uint32_t start = window != nullptr ? tamrix::platform::GetTickCount() : 0;

        // Every position swaps with one drawn from the whole array.
        for (int k = 0; k < numSamples; ++k)
            order[k] = k;
        for (int k = 0; k < numSamples; ++k)
            std::swap(order[k], order[Lib::RANDOM(static_cast<unsigned>(numSamples))]);

        // While s < N - B: the samples from the last batch start on sit out
        // this epoch (9 batches for N = 100, B = 10).
        for (int s = 0; s < numSamples - batchSize; s += batchSize) {
            for (int l = 1; l < NumLayers; ++l)
                ClearSums(*Layers[l]);
            for (int k = 0; k < batchSize; ++k) {
                const int i = order[s + k];
                (this->*backpropagate)(nIn, inputs[i], nOut, targets[i], deltaA, deltaB);
                for (int l = 1; l < NumLayers; ++l)
                    AddSample(*Layers[l]);
            }
            for (int l = 1; l < NumLayers; ++l)
                Step(*Layers[l], step);
        }

        if (window != nullptr) {
            const uint32_t elapsed = tamrix::platform::GetTickCount() - start; // wraps like the counter
            tamrix::platform::PostMessageA(
                window, kEpochMessage, static_cast<uintptr_t>(epoch), static_cast<intptr_t>(elapsed));
        }
    }

    delete[] order;
    detail::FreeFloats(*this, deltaA);
    detail::FreeFloats(*this, deltaB);
    return true;
}

} // namespace nnet
