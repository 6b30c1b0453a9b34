// Shared helpers of the network tests.
#pragma once

#include "hostlib.h"
#include "nnet.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace nnet::test {

// Every level this processor runs, lowest first: the tests force each one by
// setting SIMDlevel between the default constructor and Init.
inline std::vector<TSIMDlevel> Levels()
{
    std::vector<TSIMDlevel> levels;
    for (int l = SIMD_NONE; l <= CNetwork().GetSIMDlevel(); ++l)
        levels.push_back(static_cast<TSIMDlevel>(l));
    return levels;
}

inline std::string LevelName(TSIMDlevel level)
{
    return level == SIMD_NONE ? "Scalar" : level == SIMD_SSE ? "SSE" : level == SIMD_AVX ? "AVX" : "AVX2";
}

// A network of the given sizes on a forced level, with the seed's weights.
inline std::unique_ptr<CNetwork> Build(TSIMDlevel level, const std::vector<int>& sizes, uint64_t seed = 1)
{
    auto net = std::make_unique<CNetwork>();
    net->SIMDlevel = level;
    Lib::FixSeed(seed);
    net->Init(static_cast<int>(sizes.size()), sizes.data());
    return net;
}

inline std::vector<float> RandomVector(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (auto& x : v)
        x = dist(rng);
    return v;
}

// Whether p has the alignment of the level's numeric buffers.
inline bool Aligned(const void* p, TSIMDlevel level)
{
    const uintptr_t a = level == SIMD_SSE ? 16 : level >= SIMD_AVX ? 32 : alignof(std::max_align_t);
    return reinterpret_cast<uintptr_t>(p) % a == 0;
}

// Every weight and bias, layer by layer: per neuron its weights, then its bias.
inline std::vector<float> Parameters(const CNetwork& net)
{
    std::vector<float> p;
    for (int l = 1; l < net.NumLayers; ++l) {
        const CLayer& layer = *net.Layers[l];
        for (int i = 0; i < layer.NumNeurons; ++i) {
            p.insert(p.end(), layer.Weights[i], layer.Weights[i] + layer.Prev->NumNeurons);
            p.push_back(layer.Biases[i]);
        }
    }
    return p;
}

// The vector exponential written out on one float, step by step as the
// vector forms run it on every lane.
inline float CephesExp(float x)
{
    x = x < 88.3762626647949f ? x : 88.3762626647949f;
    x = x > -88.3762626647949f ? x : -88.3762626647949f;
    const float k = std::floor(x * 1.44269504088896341f + 0.5f);
    float r = x - k * 0.693359375f;
    r = r - k * -2.12194440e-4f;
    float y = 1.9875691500e-4f;
    y = y * r + 1.3981999507e-3f;
    y = y * r + 8.3334519073e-3f;
    y = y * r + 4.1665795894e-2f;
    y = y * r + 1.6666665459e-1f;
    y = y * r + 0.5f;
    y = y * (r * r) + r + 1.0f;
    const int32_t bits = (static_cast<int32_t>(k) + 127) * (1 << 23); // 2^k
    float pow2;
    std::memcpy(&pow2, &bits, sizeof pow2);
    return y * pow2;
}

// A neuron's output as the layers compute it: through the vector exponential
// for a neuron of a whole block, through expf for the others.
inline float Sigmoid(float z, bool vector)
{
    return vector ? 1.0f / (CephesExp(0.0f - z) + 1.0f) : 1.0f / (std::exp(-z) + 1.0f);
}

} // namespace nnet::test
