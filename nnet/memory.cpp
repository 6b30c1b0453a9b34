// The network's allocation rule, with the alignment its level chooses (plain
// heap blocks at level 0, 16-byte aligned blocks at SIMD_SSE, 32-byte
// aligned blocks at SIMD_AVX and SIMD_AVX2), and the helpers that allocate a
// layer's buffers by it.
#include "nnet.h"
#include "nnet/internal.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include <malloc.h> // _aligned_malloc on Windows, malloc_usable_size elsewhere

namespace nnet {
namespace {

// The one place that knows the system's aligned-allocation family.
#if defined(_WIN32)

void* Allocate(size_t bytes, size_t alignment)
{
    return alignment != 0 ? _aligned_malloc(bytes, alignment) : std::malloc(bytes);
}

void* Reallocate(void* block, size_t bytes, size_t alignment)
{
    return alignment != 0 ? _aligned_realloc(block, bytes, alignment) : std::realloc(block, bytes);
}

void Release(void* block, size_t alignment)
{
    if (alignment != 0)
        _aligned_free(block);
    else
        std::free(block);
}

#else

void* Allocate(size_t bytes, size_t alignment)
{
    if (alignment == 0)
        return std::malloc(bytes);
    void* block = nullptr;
    return posix_memalign(&block, alignment, bytes) == 0 ? block : nullptr;
}

// There is no aligned realloc here: allocate, copy what the old block holds,
// release. glibc knows each block's usable size, which covers the size it
// was asked for.
void* Reallocate(void* block, size_t bytes, size_t alignment)
{
    if (alignment == 0)
        return std::realloc(block, bytes);
    if (block == nullptr)
        return Allocate(bytes, alignment);
    void* moved = Allocate(bytes, alignment);
    if (moved == nullptr)
        return nullptr;
    const size_t held = malloc_usable_size(block);
    std::memcpy(moved, block, held < bytes ? held : bytes);
    std::free(block);
    return moved;
}

void Release(void* block, size_t /*alignment*/)
{
    std::free(block); // posix_memalign blocks are ordinary heap blocks
}

#endif

} // namespace

void* CNetwork::Alloc(unsigned int size)
{
    return Allocate(size, detail::ChoicesOf(SIMDlevel).alignment);
}

void* CNetwork::ReAlloc(void* block, unsigned int size)
{
    if (size == 0) { // realloc(p, 0) differs between C libraries; release, as Windows does
        Free(block);
        return nullptr;
    }
    return Reallocate(block, size, detail::ChoicesOf(SIMDlevel).alignment);
}

void CNetwork::Free(void* block)
{
    if (block != nullptr)
        Release(block, detail::ChoicesOf(SIMDlevel).alignment);
}

namespace detail {

float* AllocFloats(CNetwork& net, int count)
{
    if (count < 0 || static_cast<unsigned>(count) > UINT_MAX / sizeof(float))
        return nullptr; // the byte count would not fit Alloc's 32 bits
    return static_cast<float*>(net.Alloc(static_cast<unsigned>(count) * sizeof(float)));
}

void FreeFloats(CNetwork& net, float*& block)
{
    net.Free(block);
    block = nullptr;
}

float** AllocRows(CNetwork& net, int rows, int columns, bool zero)
{
    if (rows < 0)
        return nullptr;
    auto** array = new (std::nothrow) float*[static_cast<size_t>(rows)]();
    if (array == nullptr)
        return nullptr;
    for (int i = 0; i < rows; ++i) {
        array[i] = AllocFloats(net, columns);
        if (array[i] == nullptr) {
            FreeRows(net, array, i);
            return nullptr;
        }
        if (zero)
            std::memset(array[i], 0, static_cast<size_t>(columns) * sizeof(float));
    }
    return array;
}

void FreeRows(CNetwork& net, float**& rows, int count)
{
    if (rows == nullptr)
        return;
    for (int i = 0; i < count; ++i)
        net.Free(rows[i]);
    delete[] rows;
    rows = nullptr;
}

} // namespace detail
} // namespace nnet
