// The AVX2 layer: the 8-float blocks of the AVX layer (layer8.simd.h), with
// the integer steps of the exponential on all eight lanes. Built with AVX2;
// reached only through the row SIMD_AVX2 of the network's table of levels.
#include "nnet.h"
#include "nnet/internal.h"

#include <immintrin.h>

#include <math.h>

namespace nnet {
namespace opt_avx2 {
namespace {

__m256 Pow2(__m256 k)
{
    return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(_mm256_cvttps_epi32(k), _mm256_set1_epi32(127)), 23));
}

} // namespace

#include "nnet/layer8.simd.h"

} // namespace opt_avx2

CLayerAVX2::CLayerAVX2(CNetwork* network, CLayer* prev, int numNeurons)
    : CLayer(network, prev, numNeurons)
{
}

CLayerAVX2::~CLayerAVX2() = default;

void CLayerAVX2::Evaluate()
{
    opt_avx2::Evaluate(*this);
}

} // namespace nnet
