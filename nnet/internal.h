// Internal: what the network's sources share. Declarations only, no inline
// functions: the kernels below are compiled for different instruction sets,
// and an inline copy built for AVX must never end up in baseline code.
#pragma once

#include "nnet.h"

#include <emmintrin.h> // __m128, part of the x86-64 baseline

namespace nnet {

namespace detail {

// The vector level from the processor identification words: maxLeaf from
// leaf 0, ECX of leaf 1, EBX of leaf 7 sub-leaf 0, and the XCR0 register
// (read only when leaf 1 reports OSXSAVE). AVX2 is tested first, then AVX,
// then SSE3; the two AVX levels also need the operating system to save the
// 256-bit registers, since without that every AVX instruction faults.
TSIMDlevel LevelFromCpuid(uint32_t maxLeaf, uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0);

// count floats by the network's allocation rule; null when count is negative,
// too large for the 32-bit byte count, or the heap is exhausted.
float* AllocFloats(CNetwork& net, int count);
void FreeFloats(CNetwork& net, float*& block);

// A plain array of `rows` row pointers, each row `columns` floats by the
// network's rule; optionally zero-filled. Null, with nothing left allocated,
// on failure.
float** AllocRows(CNetwork& net, int rows, int columns, bool zero);
void FreeRows(CNetwork& net, float**& rows, int count);

// Deltas of an output layer for a target vector.
using OutputDeltaKernel = void (*)(const CLayer& layer, const float* target, float* delta);
// WeightGrad[i][j] = BiasGrad[i] * Prev->Outputs[j] for every neuron of a layer.
using GradientRowKernel = void (*)(CLayer& layer);

// Forward pass of one sample and the deltas of every non-input layer, which
// land in each layer's BiasGrad; deltaA and deltaB are the alternating
// scratch vectors of the exported backpropagation. Lengths and buffers are
// the caller's to check.
void ForwardAndDeltas(CNetwork& net, const float* input, const float* target, float* deltaA, float* deltaB,
    OutputDeltaKernel outputDeltas);

// The kernels of the variant a level trains with: output deltas in 4-lane
// blocks from SIMD_SSE up, gradient rows in 4-lane blocks at SIMD_SSE and
// 8-lane blocks from SIMD_AVX up; scalar below.
OutputDeltaKernel OutputDeltasFor(TSIMDlevel level);
GradientRowKernel GradientRowsFor(TSIMDlevel level);

// Adds the gradients of `count` samples (at most kChunkSamples) to a layer's
// batch sums: for every weight, sum = ((sum + d0 x0) + d1 x1) + ... in sample
// order, with sum starting from 0 when `first`; sample k's deltas are
// deltas[k * n ...] and its layer input inputs[k]. With `last`, the batch is
// complete and every weight and bias moves by -step times its sum. Summing in
// registers over a few samples at a time gives the same roundings as adding
// each sample's gradient rows to the sums, without writing and re-reading the
// rows.
void AccumulateChunk(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step);

// The most samples AccumulateChunk takes at once: the layer inputs of 8
// digit images (8 x 784 floats) stay in the first-level cache.
constexpr int kChunkSamples = 8;

} // namespace detail

// 4-lane kernels (built with SSE3).
namespace sse3 {
// The vector exponential: the Cephes single-precision polynomial, clamped to
// +-88.3762626647949.
__m128 Exp4(__m128 x);
// y[i] = E(x[i]) for the first 4 * blocks values.
void ExpBlocks(const float* x, float* y, int blocks);
// Deltas of an output layer for `target`: whole blocks of 4 with Exp4, the
// rest with expf.
void OutputDeltas(const CLayer& layer, const float* target, float* delta);
// WeightGrad[i][j] = BiasGrad[i] * Prev->Outputs[j], in blocks of 4 inputs.
void GradientRows(CLayer& layer);
} // namespace sse3

// 8-lane kernels built with AVX.
namespace avx {
// AccumulateChunk on 8 lanes.
void AccumulateChunk(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step);

// Sums[i] = weighted sum of neuron i without the bias, for every neuron of a
// non-input layer; per 8-input block the products add as ((p0 + p1) + (p2 +
// p3)) + ((p4 + p5) + (p6 + p7)), the blocks in order, then the remaining
// inputs one at a time. Shared by the AVX and AVX2 layers.
void WeightedSums(CLayer& layer);
void ExpBlocks(const float* x, float* y, int blocks);
void GradientRows(CLayer& layer);
} // namespace avx

// 8-lane kernels built with AVX2.
namespace avx2 {
void ExpBlocks(const float* x, float* y, int blocks);
} // namespace avx2

} // namespace nnet
