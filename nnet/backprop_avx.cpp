// 8-lane backpropagation kernels, built with AVX.
#include "nnet.h"
#include "nnet/internal.h"

#include <immintrin.h>

namespace nnet {
namespace avx {

void GradientRows(CLayer& layer, const float* delta)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons, blocks = layer.Prev->Blocks8;
    for (int i = 0; i < layer.NumNeurons; ++i) {
        const float d = delta[i];
        layer.BiasGrad[i] = d;
        float* row = layer.WeightGrad[i];
        const __m256 dv = _mm256_set1_ps(d);
        for (int b = 0; b < blocks; ++b)
            _mm256_storeu_ps(row + 8 * b, _mm256_mul_ps(dv, _mm256_loadu_ps(x + 8 * b)));
        for (int j = 8 * blocks; j < m; ++j)
            row[j] = d * x[j];
    }
}

} // namespace avx
} // namespace nnet
