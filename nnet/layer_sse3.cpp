// The SSE layer: 4-float blocks with aligned loads, the 4-lane exponential.
// Built with SSE3; reached only through a network whose level is SIMD_SSE or
// above.
#include "nnet.h"
#include "nnet/internal.h"

#include <pmmintrin.h>

#include <cmath>

namespace nnet {
namespace sse3 {

// Cephes expf on four lanes. The constants are the single-precision values
// of the Cephes library; ln 2 is split into a part exact in few bits and a
// small correction so that x - k ln 2 loses nothing for |k| <= 128.
__m128 Exp4(__m128 x)
{
    const __m128 one = _mm_set1_ps(1.0f);
    x = _mm_min_ps(x, _mm_set1_ps(88.3762626647949f));
    x = _mm_max_ps(x, _mm_set1_ps(-88.3762626647949f));

    // k = floor(x log2(e) + 0.5): truncate, then step down where truncation
    // went up (negative values).
    __m128 f = _mm_add_ps(_mm_mul_ps(x, _mm_set1_ps(1.44269504088896341f)), _mm_set1_ps(0.5f));
    const __m128 t = _mm_cvtepi32_ps(_mm_cvttps_epi32(f));
    const __m128 k = _mm_sub_ps(t, _mm_and_ps(_mm_cmpgt_ps(t, f), one));

    __m128 r = _mm_sub_ps(x, _mm_mul_ps(k, _mm_set1_ps(0.693359375f)));
    r = _mm_sub_ps(r, _mm_mul_ps(k, _mm_set1_ps(-2.12194440e-4f)));

    __m128 y = _mm_set1_ps(1.9875691500e-4f);
    y = _mm_add_ps(_mm_mul_ps(y, r), _mm_set1_ps(1.3981999507e-3f));
    y = _mm_add_ps(_mm_mul_ps(y, r), _mm_set1_ps(8.3334519073e-3f));
    y = _mm_add_ps(_mm_mul_ps(y, r), _mm_set1_ps(4.1665795894e-2f));
    y = _mm_add_ps(_mm_mul_ps(y, r), _mm_set1_ps(1.6666665459e-1f));
    y = _mm_add_ps(_mm_mul_ps(y, r), _mm_set1_ps(0.5f));
    y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(y, _mm_mul_ps(r, r)), r), one);

    // 2^k from the exponent bits; k lies in [-127, 128] after the clamp.
    const __m128i bits = _mm_slli_epi32(_mm_add_epi32(_mm_cvttps_epi32(k), _mm_set1_epi32(127)), 23);
    return _mm_mul_ps(y, _mm_castsi128_ps(bits));
}

void ExpBlocks(const float* x, float* y, int blocks)
{
    for (int b = 0; b < blocks; ++b)
        _mm_storeu_ps(y + 4 * b, Exp4(_mm_loadu_ps(x + 4 * b)));
}

namespace {

// Weighted sum of one neuron without the bias: per block of 4 inputs the
// products reduce as (p0 + p1) + (p2 + p3), and the block values add up in
// block order; the inputs past the last block follow one at a time.
float NeuronSum(const float* w, const float* x, int blocks, int m)
{
    float acc = 0.0f;
    for (int b = 0; b < blocks; ++b) {
        __m128 p = _mm_mul_ps(_mm_load_ps(w + 4 * b), _mm_load_ps(x + 4 * b));
        p = _mm_hadd_ps(p, p);
        p = _mm_hadd_ps(p, p);
        acc = acc + _mm_cvtss_f32(p);
    }
    for (int j = 4 * blocks; j < m; ++j)
        acc = w[j] * x[j] + acc;
    return acc;
}

// The same sums for four neurons at once: the additions of each neuron are
// exactly those of NeuronSum, but the four independent chains overlap in the
// pipeline and share the input loads.
void FourNeuronSums(const float* const* w, const float* x, int blocks, int m, float* sums)
{
    __m128 acc = _mm_setzero_ps();
    for (int b = 0; b < blocks; ++b) {
        const __m128 xb = _mm_load_ps(x + 4 * b);
        const __m128 p0 = _mm_mul_ps(_mm_load_ps(w[0] + 4 * b), xb);
        const __m128 p1 = _mm_mul_ps(_mm_load_ps(w[1] + 4 * b), xb);
        const __m128 p2 = _mm_mul_ps(_mm_load_ps(w[2] + 4 * b), xb);
        const __m128 p3 = _mm_mul_ps(_mm_load_ps(w[3] + 4 * b), xb);
        // lane k: (pk0 + pk1) + (pk2 + pk3)
        acc = _mm_add_ps(acc, _mm_hadd_ps(_mm_hadd_ps(p0, p1), _mm_hadd_ps(p2, p3)));
    }
    _mm_storeu_ps(sums, acc);
    for (int k = 0; k < 4; ++k)
        for (int j = 4 * blocks; j < m; ++j)
            sums[k] = w[k][j] * x[j] + sums[k];
}

} // namespace
} // namespace sse3

CLayerSSE::CLayerSSE(CNetwork* network, CLayer* prev, int numNeurons)
    : CLayer(network, prev, numNeurons)
{
}

CLayerSSE::~CLayerSSE() = default;

void CLayerSSE::Evaluate()
{
    const float* x = Prev->Outputs;
    const int m = Prev->NumNeurons, blocks = Prev->Blocks4, n = NumNeurons;
    int i = 0;
    for (; i + 4 <= n; i += 4)
        sse3::FourNeuronSums(Weights + i, x, blocks, m, Sums + i);
    for (; i < n; ++i)
        Sums[i] = sse3::NeuronSum(Weights[i], x, blocks, m);

    const __m128 one = _mm_set1_ps(1.0f);
    for (int q = 0; q < Blocks4; ++q) {
        const __m128 z = _mm_add_ps(_mm_load_ps(Biases + 4 * q), _mm_load_ps(Sums + 4 * q));
        _mm_store_ps(Sums + 4 * q, z);
        const __m128 e = sse3::Exp4(_mm_sub_ps(_mm_setzero_ps(), z));
        _mm_store_ps(Outputs + 4 * q, _mm_div_ps(one, _mm_add_ps(e, one)));
    }
    for (int j = 4 * Blocks4; j < n; ++j) {
        Sums[j] = Biases[j] + Sums[j];
        Outputs[j] = 1.0f / (std::exp(-Sums[j]) + 1.0f);
    }
}

} // namespace nnet
