// The 8-lane layer of the AVX and AVX2 classes, written once: each of
// layer_avx.cpp and layer_avx2.cpp includes it inside its own namespace
// (nnet::opt_avx, nnet::opt_avx2) after <immintrin.h>, <math.h> and
// nnet/internal.h, and after defining Pow2 for __m256 (exp.simd.h), the one
// step the two sets do differently. Helpers stay local to the including file.
// Loads and stores tolerate any alignment.

namespace {

// The lane operations of exp.simd.h on eight lanes.
using Vec = __m256;
Vec Set(float v) { return _mm256_set1_ps(v); }
Vec Add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
Vec Sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
Vec Mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
Vec Min(Vec a, Vec b) { return _mm256_min_ps(a, b); }
Vec Max(Vec a, Vec b) { return _mm256_max_ps(a, b); }
Vec Floor(Vec f) { return _mm256_floor_ps(f); }

#include "nnet/exp.simd.h"

// The sum of one 8-float block of products: ((p0 + p1) + (p2 + p3)) +
// ((p4 + p5) + (p6 + p7)). Every path below adds in exactly this order, so
// a neuron's sum does not depend on how neurons are grouped.
float BlockSum(__m256 p)
{
    __m128 lo = _mm256_castps256_ps128(p), hi = _mm256_extractf128_ps(p, 1);
    lo = _mm_hadd_ps(lo, lo);
    lo = _mm_hadd_ps(lo, lo);
    hi = _mm_hadd_ps(hi, hi);
    hi = _mm_hadd_ps(hi, hi);
    return _mm_cvtss_f32(_mm_add_ss(lo, hi));
}

// Lanes 0-3: (p0 + p1) + (p2 + p3) of a, b, c, d; lanes 4-7: (p4 + p5) +
// (p6 + p7) of the same.
__m256 HalfSums(__m256 a, __m256 b, __m256 c, __m256 d)
{
    return _mm256_hadd_ps(_mm256_hadd_ps(a, b), _mm256_hadd_ps(c, d));
}

void RemainderInputs(const float* w, const float* x, int from, int m, float& sum)
{
    for (int j = from; j < m; ++j)
        sum = w[j] * x[j] + sum;
}

void EightNeuronSums(const float* const* w, const float* x, int blocks, int m, float* sums)
{
    __m256 acc = _mm256_setzero_ps();
    for (int b = 0; b < blocks; ++b) {
        const __m256 xb = _mm256_loadu_ps(x + 8 * b);
        __m256 p[8];
        for (int k = 0; k < 8; ++k)
            p[k] = _mm256_mul_ps(_mm256_loadu_ps(w[k] + 8 * b), xb);
        const __m256 first = HalfSums(p[0], p[1], p[2], p[3]);
        const __m256 second = HalfSums(p[4], p[5], p[6], p[7]);
        const __m256 lower = _mm256_permute2f128_ps(first, second, 0x20);
        const __m256 upper = _mm256_permute2f128_ps(first, second, 0x31);
        acc = _mm256_add_ps(acc, _mm256_add_ps(lower, upper));
    }
    _mm256_storeu_ps(sums, acc);
    for (int k = 0; k < 8; ++k)
        RemainderInputs(w[k], x, 8 * blocks, m, sums[k]);
}

void FourNeuronSums(const float* const* w, const float* x, int blocks, int m, float* sums)
{
    __m128 acc = _mm_setzero_ps();
    for (int b = 0; b < blocks; ++b) {
        const __m256 xb = _mm256_loadu_ps(x + 8 * b);
        const __m256 h = HalfSums(_mm256_mul_ps(_mm256_loadu_ps(w[0] + 8 * b), xb),
            _mm256_mul_ps(_mm256_loadu_ps(w[1] + 8 * b), xb), _mm256_mul_ps(_mm256_loadu_ps(w[2] + 8 * b), xb),
            _mm256_mul_ps(_mm256_loadu_ps(w[3] + 8 * b), xb));
        acc = _mm_add_ps(acc, _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1)));
    }
    _mm_storeu_ps(sums, acc);
    for (int k = 0; k < 4; ++k)
        RemainderInputs(w[k], x, 8 * blocks, m, sums[k]);
}

// Sums[i] = weighted sum of neuron i without the bias: per 8-input block the
// products add as BlockSum does, the blocks in order, then the remaining
// inputs one at a time.
void WeightedSums(CLayer& layer)
{
    const float* x = layer.Prev->Outputs;
    const int m = layer.Prev->NumNeurons, blocks = layer.Prev->Blocks8, n = layer.NumNeurons;
    float* const* w = layer.Weights;
    int i = 0;
    for (; i + 8 <= n; i += 8)
        EightNeuronSums(w + i, x, blocks, m, layer.Sums + i);
    for (; i + 4 <= n; i += 4)
        FourNeuronSums(w + i, x, blocks, m, layer.Sums + i);
    for (; i < n; ++i) {
        float acc = 0.0f;
        for (int b = 0; b < blocks; ++b)
            acc = acc + BlockSum(_mm256_mul_ps(_mm256_loadu_ps(w[i] + 8 * b), _mm256_loadu_ps(x + 8 * b)));
        RemainderInputs(w[i], x, 8 * blocks, m, acc);
        layer.Sums[i] = acc;
    }
}

} // namespace

void ExpBlocks(const float* x, float* y, int blocks)
{
    for (int b = 0; b < blocks; ++b)
        _mm256_storeu_ps(y + 8 * b, Exp(_mm256_loadu_ps(x + 8 * b)));
}

void Evaluate(CLayer& layer)
{
    WeightedSums(layer);
    float* sums = layer.Sums;
    float* outputs = layer.Outputs;
    const float* biases = layer.Biases;
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int q = 0; q < layer.Blocks8; ++q) {
        const __m256 z = _mm256_add_ps(_mm256_loadu_ps(biases + 8 * q), _mm256_loadu_ps(sums + 8 * q));
        _mm256_storeu_ps(sums + 8 * q, z);
        const __m256 e = Exp(_mm256_sub_ps(_mm256_setzero_ps(), z));
        _mm256_storeu_ps(outputs + 8 * q, _mm256_div_ps(one, _mm256_add_ps(e, one)));
    }
    for (int j = 8 * layer.Blocks8; j < layer.NumNeurons; ++j) {
        sums[j] = biases[j] + sums[j];
        outputs[j] = 1.0f / (expf(-sums[j]) + 1.0f);
    }
}
