// Backpropagation of one sample: the forward pass and the deltas shared by
// the three variants and the training loop, the scalar kernels, and the NaN
// check. The variants take their kernels from the rows SIMD_NONE, SIMD_SSE
// and SIMD_AVX of the network's table of levels.
#include "nnet.h"
#include "nnet/internal.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace nnet {
namespace {

float Sigmoid(float z)
{
    return 1.0f / (std::exp(-z) + 1.0f);
}

} // namespace

namespace opt_baseline {

void OutputDeltas(const CLayer& layer, const float* target, float* delta)
{
    for (int i = 0; i < layer.NumNeurons; ++i) {
        // The derivative comes from the sigmoid recomputed from Sums, not
        // from Outputs.
        const float s = Sigmoid(layer.Sums[i]);
        delta[i] = (layer.Outputs[i] - target[i]) * ((1.0f - s) * s);
    }
}

void GradientRows(CLayer& layer)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        const float d = layer.BiasGrad[i];
        float* row = layer.WeightGrad[i];
        for (int j = 0; j < m; ++j)
            row[j] = d * x[j];
    }
}

} // namespace opt_baseline

namespace {

// delta of each neuron of `lower` from the deltas of the layer above it.
void HiddenDeltas(const CLayer& upper, const float* upperDelta, const CLayer& lower, float* lowerDelta)
{
    for (int j = 0; j < lower.NumNeurons; ++j) {
        float acc = 0.0f;
        for (int k = 0; k < upper.NumNeurons; ++k)
            acc = acc + upper.Weights[k][j] * upperDelta[k];
        const float s = Sigmoid(lower.Sums[j]);
        lowerDelta[j] = ((1.0f - s) * s) * acc;
    }
}

void CopyDeltas(CLayer& layer, const float* delta)
{
    std::memcpy(layer.BiasGrad, delta, static_cast<size_t>(layer.NumNeurons) * sizeof(float));
}

// The backpropagation of the level `kernels` names, whatever the network's.
bool Run(CNetwork& net, int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB,
    TSIMDlevel kernels)
{
    if (net.NumLayers < 2 || net.Layers == nullptr)
        return false;
    if (nIn != net.Layers[0]->NumNeurons || nOut != net.Layers[net.NumLayers - 1]->NumNeurons)
        return false;
    for (int l = 1; l < net.NumLayers; ++l)
        if (net.Layers[l]->WeightGrad == nullptr || net.Layers[l]->BiasGrad == nullptr)
            return false; // no gradient buffers yet: Learn allocates them
    const detail::LevelChoices& choices = detail::ChoicesOf(kernels);
    detail::ForwardAndDeltas(net, input, target, deltaA, deltaB, choices.outputDeltas);
    for (int l = 1; l < net.NumLayers; ++l)
        choices.gradientRows(*net.Layers[l]);
    return true;
}

} // namespace

namespace detail {

void ForwardAndDeltas(CNetwork& net, const float* input, const float* target, float* deltaA, float* deltaB,
    OutputDeltaKernel outputDeltas)
{
    CLayer* first = net.Layers[0];
    CLayer* last = net.Layers[net.NumLayers - 1];
    std::memcpy(first->Outputs, input, static_cast<size_t>(first->NumNeurons) * sizeof(float));
    for (int l = 1; l < net.NumLayers; ++l)
        net.Layers[l]->Evaluate();

    outputDeltas(*last, target, deltaA);
    CopyDeltas(*last, deltaA);
    // Walk down; the vector just written holds the upper deltas, the other
    // one receives the next lower deltas.
    const CLayer* upper = last;
    float* upperDelta = deltaA;
    float* lowerDelta = deltaB;
    for (CLayer* lower = last->Prev; lower->Prev != nullptr; lower = lower->Prev) {
        HiddenDeltas(*upper, upperDelta, *lower, lowerDelta);
        CopyDeltas(*lower, lowerDelta);
        upper = lower;
        std::swap(upperDelta, lowerDelta);
    }
}

} // namespace detail

bool CNetwork::Backpropagate(int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, SIMD_NONE);
}

bool CNetwork::BackpropagateSSE(
    int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, SIMD_SSE);
}

// There is no AVX2 variant: the gradient rows need no integer steps.
bool CNetwork::BackpropagateAVX(
    int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, SIMD_AVX);
}

bool CNetwork::CheckNANs()
{
    if (NumLayers < 2 || Layers == nullptr)
        return true;
    bool clean = true; // every value is visited, also after the first NaN
    for (int l = 1; l < NumLayers; ++l) {
        const CLayer& layer = *Layers[l];
        if (layer.Prev == nullptr) {
            clean = false;
            continue;
        }
        const int m = layer.Prev->NumNeurons;
        for (int i = 0; i < layer.NumNeurons; ++i) {
            for (int j = 0; j < m; ++j)
                clean &= !std::isnan(static_cast<double>(layer.Weights[i][j]));
            clean &= !std::isnan(static_cast<double>(layer.Biases[i]));
        }
    }
    return clean;
}

} // namespace nnet
