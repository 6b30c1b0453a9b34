// 8-lane backpropagation and training kernels, built with AVX.
#include "nnet.h"
#include "nnet/internal.h"

#include <immintrin.h>

namespace nnet {
namespace opt_avx {

void GradientRows(CLayer& layer)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons, blocks = layer.Prev->Blocks8;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        const float d = layer.BiasGrad[i];
        float* row = layer.WeightGrad[i];
        const __m256 dv = _mm256_set1_ps(d);
        for (int b = 0; b < blocks; ++b)
            _mm256_storeu_ps(row + 8 * b, _mm256_mul_ps(dv, _mm256_loadu_ps(x + 8 * b)));
        for (int j = 8 * blocks; j < m; ++j)
            row[j] = d * x[j];
    }
}

namespace {

// The weight rows of neuron i. kCount > 0 fixes the number of samples at
// compile time, so that their broadcast deltas stay in registers.
template <int kCount>
void AccumulateRow(
    CLayer& layer, int i, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step)
{
    if (kCount > 0)
        count = kCount;
    const int n = layer.NumNeurons, m = layer.Prev->NumNeurons, blocks = layer.Prev->Blocks8;
    float* sum = layer.WeightGradSum[i];
    float* w = layer.Weights[i];
    __m256 d[detail::kChunkSamples];
    for (int k = 0; k < count; ++k)
        d[k] = _mm256_set1_ps(deltas[k * n + i]);
    const __m256 stepv = _mm256_set1_ps(step);
    for (int b = 0; b < blocks; ++b) {
        // 0 + d0 x0 rather than d0 x0: the same sign of zero as summing into
        // a cleared row.
        __m256 acc = first ? _mm256_setzero_ps() : _mm256_loadu_ps(sum + 8 * b);
        for (int k = 0; k < count; ++k)
            acc = _mm256_add_ps(acc, _mm256_mul_ps(d[k], _mm256_loadu_ps(inputs[k] + 8 * b)));
        _mm256_storeu_ps(sum + 8 * b, acc);
        if (last)
            _mm256_storeu_ps(w + 8 * b, _mm256_sub_ps(_mm256_loadu_ps(w + 8 * b), _mm256_mul_ps(stepv, acc)));
    }
    for (int j = 8 * blocks; j < m; ++j) {
        float acc = first ? 0.0f : sum[j];
        for (int k = 0; k < count; ++k)
            acc = acc + deltas[k * n + i] * inputs[k][j];
        sum[j] = acc;
        if (last)
            w[j] = w[j] - step * acc;
    }
    float acc = first ? 0.0f : layer.BiasGradSum[i];
    for (int k = 0; k < count; ++k)
        acc = acc + deltas[k * n + i];
    layer.BiasGradSum[i] = acc;
    if (last)
        layer.Biases[i] = layer.Biases[i] - step * acc;
}

} // namespace

void AccumulateChunk(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step)
{
    for (int i = 0; i < layer.NumNeurons; ++i) {
        if (count == detail::kChunkSamples)
            AccumulateRow<detail::kChunkSamples>(layer, i, deltas, inputs, count, first, last, step);
        else
            AccumulateRow<0>(layer, i, deltas, inputs, count, first, last, step);
    }
}

} // namespace opt_avx
} // namespace nnet
