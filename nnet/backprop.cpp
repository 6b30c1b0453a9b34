// Backpropagation of one sample: the forward pass and the deltas shared by
// the three variants and the training loop, the scalar kernels, and the NaN
// check.
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

void ScalarOutputDeltas(const CLayer& layer, const float* target, float* delta)
{
    for (int i = 0; i < layer.NumNeurons; ++i) {
        // The derivative comes from the sigmoid recomputed from Sums, not
        // from Outputs.
        const float s = Sigmoid(layer.Sums[i]);
        delta[i] = (layer.Outputs[i] - target[i]) * ((1.0f - s) * s);
    }
}

void ScalarGradientRows(CLayer& layer)
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

bool Run(CNetwork& net, int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB,
    detail::OutputDeltaKernel outputDeltas, detail::GradientRowKernel gradientRows)
{
    if (net.NumLayers < 2 || net.Layers == nullptr)
        return false;
    if (nIn != net.Layers[0]->NumNeurons || nOut != net.Layers[net.NumLayers - 1]->NumNeurons)
        return false;
    for (int l = 1; l < net.NumLayers; ++l)
        if (net.Layers[l]->WeightGrad == nullptr || net.Layers[l]->BiasGrad == nullptr)
            return false; // no gradient buffers yet: Learn allocates them
    detail::ForwardAndDeltas(net, input, target, deltaA, deltaB, outputDeltas);
    for (int l = 1; l < net.NumLayers; ++l)
        gradientRows(*net.Layers[l]);
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

OutputDeltaKernel OutputDeltasFor(TSIMDlevel level)
{
    return level == SIMD_SSE || level == SIMD_AVX || level == SIMD_AVX2 ? &sse3::OutputDeltas : &ScalarOutputDeltas;
}

GradientRowKernel GradientRowsFor(TSIMDlevel level)
{
    return level == SIMD_SSE                      ? &sse3::GradientRows
        : level == SIMD_AVX || level == SIMD_AVX2 ? &avx::GradientRows
                                                  : &ScalarGradientRows;
}

} // namespace detail

bool CNetwork::Backpropagate(int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, &ScalarOutputDeltas, &ScalarGradientRows);
}

bool CNetwork::BackpropagateSSE(
    int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, &sse3::OutputDeltas, &sse3::GradientRows);
}

// There is no AVX2 variant: the gradient rows need no integer steps.
bool CNetwork::BackpropagateAVX(
    int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, &sse3::OutputDeltas, &avx::GradientRows);
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
