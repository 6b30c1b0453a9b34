// The AVX layer: 8-float blocks with unaligned-tolerant loads, and the
// 8-lane exponential whose integer steps run on two 4-lane halves (AVX has
// no 256-bit integer instructions). Built with AVX; reached only through a
// network whose level is SIMD_AVX or above.
#include "nnet.h"
#include "nnet/internal.h"

#include <immintrin.h>

#include <cmath>

namespace nnet {
namespace avx {
namespace {

__m256 Exp8(__m256 x)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    x = _mm256_min_ps(x, _mm256_set1_ps(88.3762626647949f));
    x = _mm256_max_ps(x, _mm256_set1_ps(-88.3762626647949f));

    const __m256 f = _mm256_add_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)), _mm256_set1_ps(0.5f));
    const __m256 k = _mm256_floor_ps(f);

    __m256 r = _mm256_sub_ps(x, _mm256_mul_ps(k, _mm256_set1_ps(0.693359375f)));
    r = _mm256_sub_ps(r, _mm256_mul_ps(k, _mm256_set1_ps(-2.12194440e-4f)));

    __m256 y = _mm256_set1_ps(1.9875691500e-4f);
    y = _mm256_add_ps(_mm256_mul_ps(y, r), _mm256_set1_ps(1.3981999507e-3f));
    y = _mm256_add_ps(_mm256_mul_ps(y, r), _mm256_set1_ps(8.3334519073e-3f));
    y = _mm256_add_ps(_mm256_mul_ps(y, r), _mm256_set1_ps(4.1665795894e-2f));
    y = _mm256_add_ps(_mm256_mul_ps(y, r), _mm256_set1_ps(1.6666665459e-1f));
    y = _mm256_add_ps(_mm256_mul_ps(y, r), _mm256_set1_ps(0.5f));
    y = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(y, _mm256_mul_ps(r, r)), r), one);

    const __m256i ki = _mm256_cvttps_epi32(k);
    const __m128i bias = _mm_set1_epi32(127);
    const __m128i lo = _mm_slli_epi32(_mm_add_epi32(_mm256_castsi256_si128(ki), bias), 23);
    const __m128i hi = _mm_slli_epi32(_mm_add_epi32(_mm256_extractf128_si256(ki, 1), bias), 23);
    const __m256i bits = _mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1);
    return _mm256_mul_ps(y, _mm256_castsi256_ps(bits));
}

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

} // namespace

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

void ExpBlocks(const float* x, float* y, int blocks)
{
    for (int b = 0; b < blocks; ++b)
        _mm256_storeu_ps(y + 8 * b, Exp8(_mm256_loadu_ps(x + 8 * b)));
}

} // namespace avx

CLayerAVX::CLayerAVX(CNetwork* network, CLayer* prev, int numNeurons)
    : CLayer(network, prev, numNeurons)
{
}

CLayerAVX::~CLayerAVX() = default;

void CLayerAVX::Evaluate()
{
    avx::WeightedSums(*this);
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int q = 0; q < Blocks8; ++q) {
        const __m256 z = _mm256_add_ps(_mm256_loadu_ps(Biases + 8 * q), _mm256_loadu_ps(Sums + 8 * q));
        _mm256_storeu_ps(Sums + 8 * q, z);
        const __m256 e = avx::Exp8(_mm256_sub_ps(_mm256_setzero_ps(), z));
        _mm256_storeu_ps(Outputs + 8 * q, _mm256_div_ps(one, _mm256_add_ps(e, one)));
    }
    for (int j = 8 * Blocks8; j < NumNeurons; ++j) {
        Sums[j] = Biases[j] + Sums[j];
        Outputs[j] = 1.0f / (std::exp(-Sums[j]) + 1.0f);
    }
}

} // namespace nnet
