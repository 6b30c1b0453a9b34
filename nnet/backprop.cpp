// Backpropagation of one sample: the driver shared by the three variants,
// the scalar kernels, and the NaN check.
#include "nnet.h"
#include "nnet/internal.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace nnet {
namespace {

// What differs between the variants: how the output deltas and the gradient
// rows are computed. The hidden deltas are scalar in all of them.
struct Kernels {
    void (*outputDeltas)(const CLayer& layer, const float* target, float* delta);
    void (*gradientRows)(CLayer& layer, const float* delta);
};

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

void ScalarGradientRows(CLayer& layer, const float* delta)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        const float d = delta[i];
        layer.BiasGrad[i] = d;
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

bool Run(CNetwork& net, int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB,
    const Kernels& kernels)
{
    if (net.NumLayers < 2 || net.Layers == nullptr)
        return false;
    CLayer* first = net.Layers[0];
    CLayer* last = net.Layers[net.NumLayers - 1];
    if (nIn != first->NumNeurons || nOut != last->NumNeurons)
        return false;
    for (int l = 1; l < net.NumLayers; ++l)
        if (net.Layers[l]->WeightGrad == nullptr || net.Layers[l]->BiasGrad == nullptr)
            return false; // no gradient buffers yet: Learn allocates them

    std::memcpy(first->Outputs, input, static_cast<size_t>(nIn) * sizeof(float));
    for (int l = 1; l < net.NumLayers; ++l)
        net.Layers[l]->Evaluate();

    kernels.outputDeltas(*last, target, deltaA);
    kernels.gradientRows(*last, deltaA);

    // Walk down; the vector just written holds the upper deltas, the other
    // one receives the next lower deltas.
    CLayer* upper = last;
    float* upperDelta = deltaA;
    float* lowerDelta = deltaB;
    for (CLayer* lower = upper->Prev; lower->Prev != nullptr; lower = lower->Prev) {
        HiddenDeltas(*upper, upperDelta, *lower, lowerDelta);
        kernels.gradientRows(*lower, lowerDelta);
        upper = lower;
        std::swap(upperDelta, lowerDelta);
    }
    return true;
}

} // namespace

bool CNetwork::Backpropagate(int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, { &ScalarOutputDeltas, &ScalarGradientRows });
}

bool CNetwork::BackpropagateSSE(
    int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, { &sse3::OutputDeltas, &sse3::GradientRows });
}

// There is no AVX2 variant: 8-lane products need no integer steps.
bool CNetwork::BackpropagateAVX(
    int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB)
{
    return Run(*this, nIn, input, nOut, target, deltaA, deltaB, { &sse3::OutputDeltas, &avx::GradientRows });
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
