// Internal: the bulk judgement of the neural star detector, one set of kernels
// per instruction set (stars_nn.simd.h built for each).
//
// For every interior pixel a kernel evaluates the network on the window's
// exact scaling (x = 2 (v - min) / (max - min) - 1) from a correlation of raw
// pixels, and decides the pixel only when the output neuron's sum is farther
// from the level's than the proven distance to the sum of the per-pixel path
// (window vector, then the network's own Infer); every other pixel is left
// for that path. Distances are A q + B + 8u |sum| (u = 2^-24) with q = (max -
// p) / (max - min), p the smallest window minimum of the pixel's tile;
// stars_nn.cpp derives the constants.
#pragma once

#include <cstdint>

namespace tamrix::detail {

// What a kernel reads. Layer 1 (the first after the input) is stored padded
// to a whole number of groups of kNeuronGroup neurons, with zero weights.
struct NNScan {
    const void* frame;
    int width, r;
    int layers; // layers after the input, at least 1; the last has one neuron
    const int* neurons; // neurons[0] = (2r + 1)^2 inputs, neurons[l] those of layer l
    int groups; // groups of kNeuronGroup neurons of layer 1
    const float* weights1; // groups * kNeuronGroup rows of (2r + 1)^2 weights
    const float* sums1; // per neuron of layer 1: its weights' sum, rounded
    const float* shifts1; // per neuron of layer 1: bias minus that sum, rounded
    const float* const* weights; // per layer l >= 2: neurons[l] rows of neurons[l - 1]
    const float* const* biases; // per layer l >= 2
    float radiusQ, radius0; // A and B of the output neuron's sum
    // The sum at or above zYes makes the output reach the level whatever the
    // roundings; below zNo it cannot.
    float zYes, zNo;
    // With one hidden layer, whose neurons come in the order that lets the
    // first ones bound the output best: once groups 0 .. g are computed, the
    // output sum is at most screen[3g] (the bias plus the positive weights
    // of the neurons still to come) plus their weighted outputs plus
    // screen[3g + 1] q + screen[3g + 2]; when that is below zNo for every
    // pixel of a tile, the rest are skipped. Checked after each of the first
    // screenGroups groups (0: never).
    int screenGroups;
    const float* screen;
};

// A kernel's working memory, one per thread (the kernels allocate nothing):
// rowMin, rowMax, lowTail and highTail hold (kBandRows + 2r) rows of width,
// min and max width + kMaxTile values, plane (2r + 1) rows of kMaxTile + 2r,
// layerA and layerB kMaxNeurons * kMaxTile floats each.
struct NNScratch {
    uint32_t *rowMin, *rowMax, *lowTail, *highTail, *min, *max;
    float *plane, *layerA, *layerB;
};

constexpr int kBandRows = 16; // rows a kernel call takes at most
constexpr int kMaxTile = 32; // pixels a kernel judges at once, at most
constexpr int kNeuronGroup = 6;
constexpr int kMaxNeurons = 64; // the widest layer the kernels take

// Decisions of the interior pixels of rows y0 .. y1 - 1 (y0 >= r, y1 <= height
// - r, at most kBandRows rows), one byte per pixel at decisions[y * width + x]: kNo, kYes, or
// kUnsure for the per-pixel path. A window of equal pixels is kNo.
enum : uint8_t { kNo = 0, kYes = 1, kUnsure = 2 };

} // namespace tamrix::detail

#define TAMRIX_STARS_NN_KERNELS                                                                                        \
    void JudgeRows16(                                                                                                  \
        const detail::NNScan& scan, const detail::NNScratch& scratch, int y0, int y1, uint8_t* decisions);             \
    void JudgeRows32(const detail::NNScan& scan, const detail::NNScratch& scratch, int y0, int y1, uint8_t* decisions);

namespace tamrix::opt_baseline {
TAMRIX_STARS_NN_KERNELS
}
namespace tamrix::opt_avx2 {
TAMRIX_STARS_NN_KERNELS
}
namespace tamrix::opt_avx512 {
TAMRIX_STARS_NN_KERNELS
}

#undef TAMRIX_STARS_NN_KERNELS
