// Internal: what the network's sources share. Declarations only, no inline
// functions: the kernels below are compiled for different instruction sets,
// and an inline copy built for AVX must never end up in baseline code.
#pragma once

#include "nnet.h"

#include <cstddef>

#include <emmintrin.h> // __m128, part of the x86-64 baseline

namespace nnet {

namespace detail {

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
// Adds the gradients of `count` samples (at most kChunkSamples) to a layer's
// batch sums: for every weight, sum = ((sum + d0 x0) + d1 x1) + ... in sample
// order, with sum starting from 0 when `first`; sample k's deltas are
// deltas[k * n ...] and its layer input inputs[k]. With `last`, the batch is
// complete and every weight and bias moves by -step times its sum. Summing in
// registers over a few samples at a time gives the same roundings as adding
// each sample's gradient rows to the sums, without writing and re-reading the
// rows.
using AccumulateKernel = void (*)(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step);

// The most samples an AccumulateKernel takes at once: the layer inputs of 8
// digit images (8 x 784 floats) stay in the first-level cache.
constexpr int kChunkSamples = 8;

// Everything a network's level chooses, in one row per TSIMDlevel (the table
// is in network.cpp): the buffer alignment, the layer class (whose virtual
// Evaluate is the level's), and the training kernels.
struct LevelChoices {
    size_t alignment; // of every numeric buffer; 0 for plain heap blocks
    CLayer* (*newLayer)(CNetwork* network, CLayer* prev, int neurons);
    OutputDeltaKernel outputDeltas;
    GradientRowKernel gradientRows;
    AccumulateKernel accumulate;
};

// The row of a level; a value outside the enumeration reads as SIMD_NONE.
const LevelChoices& ChoicesOf(TSIMDlevel level);

// Forward pass of one sample and the deltas of every non-input layer, which
// land in each layer's BiasGrad; deltaA and deltaB are the alternating
// scratch vectors of the exported backpropagation. Lengths and buffers are
// the caller's to check.
void ForwardAndDeltas(CNetwork& net, const float* input, const float* target, float* deltaA, float* deltaB,
    OutputDeltaKernel outputDeltas);

} // namespace detail

// One kernel at a time, one product and one addition at a time.
namespace opt_baseline {
void OutputDeltas(const CLayer& layer, const float* target, float* delta);
void GradientRows(CLayer& layer);
void AccumulateChunk(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step);
} // namespace opt_baseline

// 4-lane kernels (built with SSE3).
namespace opt_sse3 {
// The vector exponential (exp.simd.h) on four lanes.
__m128 Exp4(__m128 x);
// y[i] = E(x[i]) for the first 4 * blocks values.
void ExpBlocks(const float* x, float* y, int blocks);
// The SSE layer's evaluation.
void Evaluate(CLayer& layer);
// Deltas of an output layer for `target`: whole blocks of 4 with Exp4, the
// rest with expf.
void OutputDeltas(const CLayer& layer, const float* target, float* delta);
// WeightGrad[i][j] = BiasGrad[i] * Prev->Outputs[j], in blocks of 4 inputs.
void GradientRows(CLayer& layer);
} // namespace opt_sse3

// 8-lane kernels built with AVX. Evaluate and ExpBlocks are layer8.simd.h,
// built again for AVX2 below.
namespace opt_avx {
void ExpBlocks(const float* x, float* y, int blocks);
void Evaluate(CLayer& layer);
void GradientRows(CLayer& layer);
void AccumulateChunk(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step);
} // namespace opt_avx

// 8-lane kernels built with AVX2.
namespace opt_avx2 {
void ExpBlocks(const float* x, float* y, int blocks);
void Evaluate(CLayer& layer);
} // namespace opt_avx2

} // namespace nnet
