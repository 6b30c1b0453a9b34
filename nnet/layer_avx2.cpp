// The AVX2 layer: the weighted sums of the AVX layer, and the 8-lane
// exponential with its integer steps on all eight lanes. Built with AVX2;
// reached only through a network whose level is SIMD_AVX2.
#include "nnet.h"
#include "nnet/internal.h"

#include <immintrin.h>

#include <cmath>

namespace nnet {
namespace avx2 {
namespace {

// The AVX exponential with 256-bit integer steps; no fused multiply-add, so
// the results are those of the 4- and 8-lane forms bit for bit.
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

    const __m256i bits = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvttps_epi32(k), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(y, _mm256_castsi256_ps(bits));
}

} // namespace

void ExpBlocks(const float* x, float* y, int blocks)
{
    for (int b = 0; b < blocks; ++b)
        _mm256_storeu_ps(y + 8 * b, Exp8(_mm256_loadu_ps(x + 8 * b)));
}

} // namespace avx2

CLayerAVX2::CLayerAVX2(CNetwork* network, CLayer* prev, int numNeurons)
    : CLayer(network, prev, numNeurons)
{
}

CLayerAVX2::~CLayerAVX2() = default;

void CLayerAVX2::Evaluate()
{
    avx::WeightedSums(*this); // AVX code, which every AVX2 processor runs
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int q = 0; q < Blocks8; ++q) {
        const __m256 z = _mm256_add_ps(_mm256_loadu_ps(Biases + 8 * q), _mm256_loadu_ps(Sums + 8 * q));
        _mm256_storeu_ps(Sums + 8 * q, z);
        const __m256 e = avx2::Exp8(_mm256_sub_ps(_mm256_setzero_ps(), z));
        _mm256_storeu_ps(Outputs + 8 * q, _mm256_div_ps(one, _mm256_add_ps(e, one)));
    }
    for (int j = 8 * Blocks8; j < NumNeurons; ++j) {
        Sums[j] = Biases[j] + Sums[j];
        Outputs[j] = 1.0f / (std::exp(-Sums[j]) + 1.0f);
    }
}

} // namespace nnet
