// The network with two data sets, and the reader of MNIST-style IDX image
// and label files.
#include "hostlib.h"
#include "nnet.h"
#include "nnet/open_file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace nnet {
namespace {

constexpr uint32_t kImageMagic = 2051;
constexpr uint32_t kLabelMagic = 2049;
constexpr int kClasses = 10;

// The most pixels per image: the float vector's byte count must fit Alloc's
// 32 bits.
constexpr uint64_t kMaxPixels = 0x3fffffff;

using detail::OpenFile;

// Opens a named file; the handle has failed for a bad name too.
FIO::THandle Open(int bound, const char* name)
{
    if (bound < 1 || Str::LengthA(bound, name) < 1)
        return reinterpret_cast<FIO::THandle>(FIO::kFailedHandle);
    return FIO::OpenReadA(bound, name, 1);
}

uint32_t BigEndian(const unsigned char* p)
{
    return uint32_t { p[0] } << 24 | uint32_t { p[1] } << 16 | uint32_t { p[2] } << 8 | uint32_t { p[3] };
}

struct FreeBlock {
    void operator()(void* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<unsigned char, FreeBlock>;

// A zero-filled plain array of count pointers; never null for a count of 0,
// so that an empty set differs from a set that was never read.
float** NewPointerArray(uint32_t count)
{
    return static_cast<float**>(std::calloc(count > 0 ? count : 1, sizeof(float*)));
}

} // namespace

CMNIST::CMNIST()
    : CNetwork()
{
}

CMNIST::CMNIST(int numLayers, const int* neurons)
    : CNetwork(numLayers, neurons)
{
}

CMNIST::~CMNIST()
{
    FreeSet(TrainCount, TrainInputs);
    FreeSet(TrainCount, TrainOutputs);
    FreeSet(TestCount, TestInputs);
    FreeSet(TestCount, TestOutputs);
    // ~CNetwork releases the layers.
}

// The vectors of one pointer array of a set (null entries skipped), then the
// array.
void CMNIST::FreeSet(int count, float**& vectors)
{
    if (vectors == nullptr)
        return;
    for (int k = 0; k < count; ++k)
        Free(vectors[k]);
    std::free(vectors);
    vectors = nullptr;
}

CMNIST& CMNIST::operator=(const CMNIST&) = default;

bool CMNIST::LoadMNIST(int imageNameBound, const char* imageName, int labelNameBound, const char* labelName,
    int* count, int* inputSize, float*** inputs, int* outputSize, float*** targets)
{
    if (count == nullptr || inputSize == nullptr || inputs == nullptr || outputSize == nullptr || targets == nullptr)
        return false;

    uint32_t samples = 0;
    {
        const OpenFile file(Open(imageNameBound, imageName));
        if (file.Failed())
            return false;
        unsigned char header[16];
        if (FIO::RdBin(file.Get(), 16, header, 16) != 16 || BigEndian(header) != kImageMagic)
            return false;
        samples = BigEndian(header + 4);
        const uint64_t pixels = uint64_t { BigEndian(header + 8) } * BigEndian(header + 12);
        // The header must describe what the file holds before anything is
        // allocated for it: a few bytes claiming 2^31 images of 2^30 pixels
        // must not start allocating. Images of no pixels are refused, since
        // any count of them would fit.
        const int64_t fileSize = FIO::Size(file.Get());
        if (samples > INT32_MAX || pixels > kMaxPixels || (samples > 0 && pixels == 0) || fileSize < 16
            || samples * pixels > static_cast<uint64_t>(fileSize - 16))
            return false;

        *inputSize = static_cast<int>(pixels);
        *count = static_cast<int>(samples);
        float** vectors = NewPointerArray(samples);
        if (vectors == nullptr)
            return false;
        *inputs = vectors;
        const int n = static_cast<int>(pixels);
        const Bytes bytes(static_cast<unsigned char*>(std::malloc(pixels > 0 ? pixels : 1)));
        if (!bytes)
            return false;
        for (uint32_t k = 0; k < samples; ++k) {
            float* v = static_cast<float*>(Alloc(static_cast<unsigned>(pixels * sizeof(float))));
            if (v == nullptr)
                return false;
            vectors[k] = v;
            if (FIO::RdBin(file.Get(), n, bytes.get(), n) != n)
                return false;
            // 1/128 is exact: 0 gives -1, 128 gives 0, 255 gives 0.9921875.
            for (int i = 0; i < n; ++i)
                v[i] = static_cast<float>(bytes.get()[i]) * 0.0078125f - 1.0f;
        }
    }

    const OpenFile file(Open(labelNameBound, labelName));
    if (file.Failed())
        return false;
    unsigned char header[8];
    if (FIO::RdBin(file.Get(), 8, header, 8) != 8 || BigEndian(header) != kLabelMagic
        || BigEndian(header + 4) != samples)
        return false;
    const int64_t fileSize = FIO::Size(file.Get());
    if (fileSize < 8 || samples > static_cast<uint64_t>(fileSize - 8))
        return false;
    const int n = static_cast<int>(samples);
    const Bytes labels(static_cast<unsigned char*>(std::malloc(samples > 0 ? samples : 1)));
    if (!labels || FIO::RdBin(file.Get(), n, labels.get(), n) != n)
        return false;

    *outputSize = kClasses;
    float** vectors = NewPointerArray(samples);
    if (vectors == nullptr)
        return false;
    *targets = vectors;
    for (int k = 0; k < n; ++k) {
        float* t = static_cast<float*>(Alloc(kClasses * sizeof(float)));
        if (t == nullptr)
            return false;
        std::memset(t, 0, kClasses * sizeof(float));
        vectors[k] = t;
        const unsigned label = labels.get()[k];
        if (label >= static_cast<unsigned>(kClasses))
            return false;
        t[label] = 1.0f;
    }
    return true;
}

} // namespace nnet
