// The training loop: mini-batch gradient descent over shuffled samples, with
// one progress message per epoch.
//
// Per sample it runs the forward pass and the deltas of the backpropagation
// variant the level picks. Rather than writing each sample's gradient rows
// and adding them to the batch sums, it keeps the deltas and layer inputs of
// a few samples and adds their products to the sums in one pass: the same
// products and the same additions in the same order, so weights, sums and
// gradients come out bit for bit as from per-sample rows, with a fraction of
// the memory traffic. The last sample's gradient rows are written at the end.
#include "hostlib.h"
#include "nnet.h"
#include "nnet/internal.h"
#include "platform/platform.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace nnet {
namespace {

constexpr int kChunk = detail::kChunkSamples;

// The gradient members of a layer that does not have them yet, zero-filled.
// Members already there are kept, so later calls reuse them.
bool AllocateGradients(CNetwork& net, CLayer& layer)
{
    const int n = layer.NumNeurons, m = layer.Prev->NumNeurons;
    auto zeroFloats = [&](float*& member) {
        if (member == nullptr && (member = detail::AllocFloats(net, n)) != nullptr)
            std::memset(member, 0, static_cast<size_t>(n) * sizeof(float));
        return member != nullptr;
    };
    auto zeroRows = [&](float**& member) {
        if (member == nullptr)
            member = detail::AllocRows(net, n, m, true);
        return member != nullptr;
    };
    return zeroRows(layer.WeightGradSum) && zeroFloats(layer.BiasGradSum) && zeroRows(layer.WeightGrad)
        && zeroFloats(layer.BiasGrad);
}

// Deltas and layer inputs of up to kChunk samples, per non-input layer. The
// first layer's inputs are the caller's sample vectors themselves; deeper
// layers' inputs are copies of the outputs below them.
class ChunkStore {
public:
    bool Allocate(const CNetwork& net)
    {
        layers_ = net.NumLayers;
        size_t floats = 0;
        for (int l = 1; l < layers_; ++l)
            floats
                += kChunk * (size_t(net.Layers[l]->NumNeurons) + (l > 1 ? size_t(net.Layers[l - 1]->NumNeurons) : 0));
        data_.reset(new (std::nothrow) float[floats]);
        deltas_.reset(new (std::nothrow) float*[layers_]);
        copies_.reset(new (std::nothrow) float*[layers_]);
        inputs_.reset(new (std::nothrow) const float*[size_t(layers_) * kChunk]);
        if (!data_ || !deltas_ || !copies_ || !inputs_)
            return false;
        float* next = data_.get();
        for (int l = 1; l < layers_; ++l) {
            deltas_[l] = next;
            next += kChunk * size_t(net.Layers[l]->NumNeurons);
            copies_[l] = l > 1 ? next : nullptr;
            next += l > 1 ? kChunk * size_t(net.Layers[l - 1]->NumNeurons) : 0;
        }
        return true;
    }

    // Keeps sample k's deltas (left in BiasGrad) and layer inputs.
    void Keep(const CNetwork& net, int k, const float* input)
    {
        for (int l = 1; l < layers_; ++l) {
            const CLayer& layer = *net.Layers[l];
            std::memcpy(
                deltas_[l] + size_t(k) * layer.NumNeurons, layer.BiasGrad, size_t(layer.NumNeurons) * sizeof(float));
            const float* in = input;
            if (l > 1) {
                const int m = layer.Prev->NumNeurons;
                float* copy = copies_[l] + size_t(k) * m;
                std::memcpy(copy, layer.Prev->Outputs, size_t(m) * sizeof(float));
                in = copy;
            }
            inputs_[size_t(l) * kChunk + k] = in;
        }
    }

    const float* Deltas(int l) const { return deltas_[l]; }
    const float* const* Inputs(int l) const { return inputs_.get() + size_t(l) * kChunk; }

private:
    int layers_ = 0;
    std::unique_ptr<float[]> data_;
    std::unique_ptr<float*[]> deltas_, copies_;
    std::unique_ptr<const float*[]> inputs_;
};

} // namespace

namespace opt_baseline {

void AccumulateChunk(
    CLayer& layer, const float* deltas, const float* const* inputs, int count, bool first, bool last, float step)
{
    const int n = layer.NumNeurons, m = layer.Prev->NumNeurons;
    for (int i = 0; i < n; ++i) {
        float* sum = layer.WeightGradSum[i];
        if (first)
            std::memset(sum, 0, size_t(m) * sizeof(float));
        float bias = first ? 0.0f : layer.BiasGradSum[i];
        for (int k = 0; k < count; ++k) {
            const float d = deltas[k * n + i];
            const float* x = inputs[k];
            for (int j = 0; j < m; ++j)
                sum[j] = sum[j] + d * x[j];
            bias = bias + d;
        }
        layer.BiasGradSum[i] = bias;
        if (last) {
            float* w = layer.Weights[i];
            for (int j = 0; j < m; ++j)
                w[j] = w[j] - step * sum[j];
            layer.Biases[i] = layer.Biases[i] - step * bias;
        }
    }
}

} // namespace opt_baseline

bool CNetwork::Learn(int numSamples, int nIn, float** inputs, int nOut, float** targets, int batchSize, float rate,
    float /*unused*/, int epochs, void* window)
{
    // A batch size below 1 would never advance the batch loop.
    if (batchSize < 1 || numSamples < 0 || NumLayers < 2 || Layers == nullptr)
        return false;
    // Backpropagation refuses wrong lengths; training on would add stale
    // gradients, so the whole call is refused instead.
    if (nIn != Layers[0]->NumNeurons || nOut != Layers[NumLayers - 1]->NumNeurons)
        return false;

    int widest = 0;
    for (int l = 1; l < NumLayers; ++l) {
        if (!AllocateGradients(*this, *Layers[l]))
            return false;
        if (Layers[l]->NumNeurons > widest)
            widest = Layers[l]->NumNeurons;
    }
    float* deltaA = detail::AllocFloats(*this, widest);
    float* deltaB = detail::AllocFloats(*this, widest);
    std::unique_ptr<int[]> order(new (std::nothrow) int[static_cast<size_t>(numSamples)]);
    ChunkStore chunk;
    const bool ready = deltaA != nullptr && deltaB != nullptr && order != nullptr && chunk.Allocate(*this);
    if (!ready) {
        detail::FreeFloats(*this, deltaA);
        detail::FreeFloats(*this, deltaB);
        return false;
    }

    const detail::LevelChoices& kernels = detail::ChoicesOf(SIMDlevel);
    const float step = rate / static_cast<float>(batchSize);
    bool trained = false;
    for (int epoch = 0; epoch < epochs; ++epoch) {
        const uint32_t start = window != nullptr ? tamrix::platform::GetTickCount() : 0;

        // Every position swaps with one drawn from the whole array.
        for (int k = 0; k < numSamples; ++k)
            order[k] = k;
        for (int k = 0; k < numSamples; ++k)
            std::swap(order[k], order[Lib::RANDOM(static_cast<unsigned>(numSamples))]);

        // While s < N - B: the samples from the last batch start on sit out
        // this epoch (9 batches for N = 100, B = 10).
        for (int s = 0; s < numSamples - batchSize; s += batchSize) {
            for (int c = 0; c < batchSize; c += kChunk) {
                const int count = batchSize - c < kChunk ? batchSize - c : kChunk;
                for (int k = 0; k < count; ++k) {
                    const int i = order[s + c + k];
                    detail::ForwardAndDeltas(*this, inputs[i], targets[i], deltaA, deltaB, kernels.outputDeltas);
                    chunk.Keep(*this, k, inputs[i]);
                }
                for (int l = 1; l < NumLayers; ++l)
                    kernels.accumulate(
                        *Layers[l], chunk.Deltas(l), chunk.Inputs(l), count, c == 0, c + count == batchSize, step);
            }
            trained = true;
        }

        if (window != nullptr) {
            const uint32_t elapsed = tamrix::platform::GetTickCount() - start; // wraps like the counter
            tamrix::platform::PostMessageA(
                window, kLearnEpochMessage, static_cast<uintptr_t>(epoch), static_cast<intptr_t>(elapsed));
        }
    }

    // The last sample's gradient rows, as its backpropagation leaves them: the
    // forward state and BiasGrad still describe that sample.
    if (trained)
        for (int l = 1; l < NumLayers; ++l)
            kernels.gradientRows(*Layers[l]);

    detail::FreeFloats(*this, deltaA);
    detail::FreeFloats(*this, deltaB);
    return true;
}

} // namespace nnet
