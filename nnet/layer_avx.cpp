// The AVX layer: 8-float blocks (layer8.simd.h), and an exponential whose
// integer steps run on two 4-lane halves, as AVX has no 256-bit integer
// instructions. Built with AVX; reached only through the row SIMD_AVX of the
// network's table of levels.
#include "nnet.h"
#include "nnet/internal.h"

#include <immintrin.h>

#include <math.h>

namespace nnet {
namespace opt_avx {
namespace {

__m256 Pow2(__m256 k)
{
    const __m256i ki = _mm256_cvttps_epi32(k);
    const __m128i bias = _mm_set1_epi32(127);
    const __m128i lo = _mm_slli_epi32(_mm_add_epi32(_mm256_castsi256_si128(ki), bias), 23);
    const __m128i hi = _mm_slli_epi32(_mm_add_epi32(_mm256_extractf128_si256(ki, 1), bias), 23);
    return _mm256_castsi256_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

} // namespace

#include "nnet/layer8.simd.h"

} // namespace opt_avx

CLayerAVX::CLayerAVX(CNetwork* network, CLayer* prev, int numNeurons)
    : CLayer(network, prev, numNeurons)
{
}

CLayerAVX::~CLayerAVX() = default;

void CLayerAVX::Evaluate()
{
    opt_avx::Evaluate(*this);
}

} // namespace nnet
