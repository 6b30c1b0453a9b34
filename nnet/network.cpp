// The network object: construction, processor detection, building and
// tearing down the layers, inference.
#include "nnet.h"
#include "nnet/internal.h"

#include <cstring>
#include <new>

#if defined(__GNUC__)
#    include <cpuid.h>
#endif

namespace nnet {

namespace detail {

TSIMDlevel LevelFromCpuid(uint32_t maxLeaf, uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0)
{
    constexpr uint32_t kSse3 = 1u << 0, kOsXsave = 1u << 27, kAvx = 1u << 28; // leaf 1, ECX
    constexpr uint32_t kAvx2 = 1u << 5; // leaf 7, EBX
    constexpr uint64_t kXmmYmmState = 0x6; // XCR0 bits 1 and 2
    const bool osSavesYmm = maxLeaf >= 1 && (leaf1Ecx & kOsXsave) != 0 && (xcr0 & kXmmYmmState) == kXmmYmmState;
    if (maxLeaf >= 7 && (leaf7Ebx & kAvx2) != 0 && osSavesYmm)
        return SIMD_AVX2;
    if (maxLeaf >= 1) {
        if ((leaf1Ecx & kAvx) != 0 && osSavesYmm)
            return SIMD_AVX;
        if ((leaf1Ecx & kSse3) != 0)
            return SIMD_SSE;
    }
    return SIMD_NONE;
}

} // namespace detail

namespace {

CLayer* NewLayer(CNetwork* net, CLayer* prev, int neurons)
{
    switch (net->SIMDlevel) {
    case SIMD_SSE:
        return new CLayerSSE(net, prev, neurons);
    case SIMD_AVX:
        return new CLayerAVX(net, prev, neurons);
    case SIMD_AVX2:
        return new CLayerAVX2(net, prev, neurons);
    default:
        return new CLayer(net, prev, neurons);
    }
}

} // namespace

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
    SIMDlevel = SIMD_NONE;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    const uint32_t maxLeaf = __get_cpuid_max(0, nullptr);
    uint32_t a = 0, b = 0, c = 0, d = 0, leaf1Ecx = 0, leaf7Ebx = 0;
    if (maxLeaf >= 1) {
        __cpuid(1, a, b, c, d);
        leaf1Ecx = c;
    }
    if (maxLeaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        leaf7Ebx = b;
    }
    uint64_t xcr0 = 0;
    if ((leaf1Ecx & (1u << 27)) != 0) { // XGETBV exists only with OSXSAVE
        uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = (uint64_t { hi } << 32) | lo;
    }
    SIMDlevel = detail::LevelFromCpuid(maxLeaf, leaf1Ecx, leaf7Ebx, xcr0);
#endif
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
            Layers[i] = NewLayer(this, i > 0 ? Layers[i - 1] : nullptr, neurons[i]);
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
