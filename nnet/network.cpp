// The network object: construction, its level from the processor's (the
// seam of hcpp/tamrix/isa.h) with the table of what each level chooses,
// building and tearing down the layers, inference.
#include "nnet.h"
#include "nnet/internal.h"

#include "hcpp/tamrix/isa.h"

#include <cstring>
#include <new>

namespace nnet {
namespace {

template <class Layer>
CLayer* NewLayer(CNetwork* network, CLayer* prev, int neurons)
{
    return new Layer(network, prev, neurons);
}

// The network's level at each level of the processor.
constexpr TSIMDlevel kLevelOf[tamrix::isa::kLevelCount] = {
    SIMD_NONE, SIMD_SSE, SIMD_AVX, SIMD_AVX2, SIMD_AVX2, SIMD_AVX2};

// What each network level chooses, by TSIMDlevel.
constexpr detail::LevelChoices kChoices[] = {
    {0, &NewLayer<CLayer>, &opt_baseline::OutputDeltas, &opt_baseline::GradientRows, &opt_baseline::AccumulateChunk},
    {16, &NewLayer<CLayerSSE>, &opt_sse3::OutputDeltas, &opt_sse3::GradientRows, &opt_baseline::AccumulateChunk},
    {32, &NewLayer<CLayerAVX>, &opt_sse3::OutputDeltas, &opt_avx::GradientRows, &opt_avx::AccumulateChunk},
    {32, &NewLayer<CLayerAVX2>, &opt_sse3::OutputDeltas, &opt_avx::GradientRows, &opt_avx::AccumulateChunk},
};
static_assert(sizeof kChoices / sizeof kChoices[0] == SIMD_AVX2 + 1, "one row per level");

} // namespace

namespace detail {

const LevelChoices& ChoicesOf(TSIMDlevel level)
{
    return kChoices[level >= SIMD_NONE && level <= SIMD_AVX2 ? level : SIMD_NONE];
}

} // namespace detail

CNetwork::CNetwork()
    : SIMDlevel(SIMD_NONE)
    , NumLayers(0)
    , Layers(nullptr)
{
    InitSIMDlevel();
}

CNetwork::CNetwork(int numLayers, const int* neurons)
    : SIMDlevel(SIMD_NONE)
    , NumLayers(0)
    , Layers(nullptr)
{
    InitSIMDlevel();
    Init(numLayers, neurons);
}

CNetwork::~CNetwork()
{
    Done();
}

CNetwork& CNetwork::operator=(const CNetwork&) = default;

void CNetwork::InitSIMDlevel()
{
    SIMDlevel = tamrix::isa::Pick(kLevelOf);
}

TSIMDlevel CNetwork::GetSIMDlevel() const
{
    return SIMDlevel;
}

void CNetwork::Init(int numLayers, const int* neurons)
{
    Done();
    if (numLayers < 1 || neurons == nullptr)
        return;
    for (int i = 0; i < numLayers; ++i)
        if (neurons[i] < 1)
            return;
    Layers = new CLayer*[static_cast<size_t>(numLayers)]();
    NumLayers = numLayers;
    try {
        for (int i = 0; i < numLayers; ++i)
            Layers[i] = detail::ChoicesOf(SIMDlevel).newLayer(this, i > 0 ? Layers[i - 1] : nullptr, neurons[i]);
    } catch (...) {
        Done(); // no half-built network: the caller sees an empty one
        throw;
    }
}

void CNetwork::Done()
{
    if (Layers == nullptr)
        return;
    for (int i = 0; i < NumLayers; ++i)
        delete Layers[i];
    delete[] Layers;
    Layers = nullptr;
    NumLayers = 0;
}

bool CNetwork::Infer(int nIn, const float* input, int nOut, float* output)
{
    if (NumLayers < 1 || Layers == nullptr)
        return false;
    CLayer* first = Layers[0];
    CLayer* last = Layers[NumLayers - 1];
    if (nIn != first->NumNeurons || nOut != last->NumNeurons)
        return false;
    std::memcpy(first->Outputs, input, static_cast<size_t>(nIn) * sizeof(float));
    for (int l = 1; l < NumLayers; ++l)
        Layers[l]->Evaluate();
    std::memcpy(output, last->Outputs, static_cast<size_t>(nOut) * sizeof(float));
    return true;
}

} // namespace nnet
