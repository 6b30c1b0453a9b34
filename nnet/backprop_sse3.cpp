// 4-lane backpropagation kernels, built with SSE3: the output deltas with the
// vector exponential, and the gradient rows.
#include "nnet.h"
#include "nnet/internal.h"

#include <pmmintrin.h>

#include <math.h>

namespace nnet {
namespace opt_sse3 {

// Target and delta are caller buffers: unaligned loads and stores cost
// nothing extra here and spare the caller a crash on a misaligned vector.
void OutputDeltas(const CLayer& layer, const float* target, float* delta)
{
    const __m128 one = _mm_set1_ps(1.0f);
    for (int q = 0; q < layer.Blocks4; ++q) {
        const __m128 e = Exp4(_mm_sub_ps(_mm_setzero_ps(), _mm_load_ps(layer.Sums + 4 * q)));
        const __m128 s = _mm_div_ps(one, _mm_add_ps(e, one));
        const __m128 error = _mm_sub_ps(_mm_load_ps(layer.Outputs + 4 * q), _mm_loadu_ps(target + 4 * q));
        _mm_storeu_ps(delta + 4 * q, _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(one, s), s), error));
    }
    for (int i = 4 * layer.Blocks4; i < layer.NumNeurons; ++i) {
        const float s = 1.0f / (expf(-layer.Sums[i]) + 1.0f);
        delta[i] = (layer.Outputs[i] - target[i]) * ((1.0f - s) * s);
    }
}

void GradientRows(CLayer& layer)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons, blocks = layer.Prev->Blocks4;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        const float d = layer.BiasGrad[i];
        float* row = layer.WeightGrad[i];
        const __m128 dv = _mm_set1_ps(d);
        for (int b = 0; b < blocks; ++b)
            _mm_store_ps(row + 4 * b, _mm_mul_ps(dv, _mm_load_ps(x + 4 * b)));
        for (int j = 4 * blocks; j < m; ++j)
            row[j] = d * x[j];
    }
}

} // namespace opt_sse3
} // namespace nnet
