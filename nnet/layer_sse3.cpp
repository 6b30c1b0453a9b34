// The SSE layer: 4-float blocks with aligned loads, the 4-lane exponential.
// Built with SSE3; reached only through the row SIMD_SSE of the network's
// table of levels.
#include "nnet.h"
#include "nnet/internal.h"

#include <pmmintrin.h>

#include <math.h>

namespace nnet {
namespace opt_sse3 {
namespace {

// The lane operations of exp.simd.h on four lanes.
using Vec = __m128;
Vec Set(float v) { return _mm_set1_ps(v); }
Vec Add(Vec a, Vec b) { return _mm_add_ps(a, b); }
Vec Sub(Vec a, Vec b) { return _mm_sub_ps(a, b); }
Vec Mul(Vec a, Vec b) { return _mm_mul_ps(a, b); }
Vec Min(Vec a, Vec b) { return _mm_min_ps(a, b); }
Vec Max(Vec a, Vec b) { return _mm_max_ps(a, b); }

// Truncate, then step down where truncation went up (negative values).
Vec Floor(Vec f)
{
    const Vec t = _mm_cvtepi32_ps(_mm_cvttps_epi32(f));
    return _mm_sub_ps(t, _mm_and_ps(_mm_cmpgt_ps(t, f), _mm_set1_ps(1.0f)));
}

Vec Pow2(Vec k)
{
    return _mm_castsi128_ps(_mm_slli_epi32(_mm_add_epi32(_mm_cvttps_epi32(k), _mm_set1_epi32(127)), 23));
}

#include "nnet/exp.simd.h"

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

__m128 Exp4(__m128 x)
{
    return Exp(x);
}

void ExpBlocks(const float* x, float* y, int blocks)
{
    for (int b = 0; b < blocks; ++b)
        _mm_storeu_ps(y + 4 * b, Exp(_mm_loadu_ps(x + 4 * b)));
}

void Evaluate(CLayer& layer)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons, blocks = layer.Prev->Blocks4, n = layer.NumNeurons;
    float* sums = layer.Sums;
    float* outputs = layer.Outputs;
    const float* biases = layer.Biases;
    int i = 0;
    for (; i + 4 <= n; i += 4)
        FourNeuronSums(layer.Weights + i, x, blocks, m, sums + i);
    for (; i < n; ++i)
        sums[i] = NeuronSum(layer.Weights[i], x, blocks, m);

    const __m128 one = _mm_set1_ps(1.0f);
    for (int q = 0; q < layer.Blocks4; ++q) {
        const __m128 z = _mm_add_ps(_mm_load_ps(biases + 4 * q), _mm_load_ps(sums + 4 * q));
        _mm_store_ps(sums + 4 * q, z);
        const __m128 e = Exp(_mm_sub_ps(_mm_setzero_ps(), z));
        _mm_store_ps(outputs + 4 * q, _mm_div_ps(one, _mm_add_ps(e, one)));
    }
    for (int j = 4 * layer.Blocks4; j < n; ++j) {
        sums[j] = biases[j] + sums[j];
        outputs[j] = 1.0f / (expf(-sums[j]) + 1.0f);
    }
}

} // namespace opt_sse3

CLayerSSE::CLayerSSE(CNetwork* network, CLayer* prev, int numNeurons)
    : CLayer(network, prev, numNeurons)
{
}

CLayerSSE::~CLayerSSE() = default;

void CLayerSSE::Evaluate()
{
    opt_sse3::Evaluate(*this);
}

} // namespace nnet
