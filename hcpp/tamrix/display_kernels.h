// Internal: the display mapping as the row kernels see it, and the vector
// kernels, each built for its instruction set in its own file. Declarations
// and plain data only: nothing inline may be shared across those files.
#pragma once

#include <cstdint>

namespace tamrix::display {

// One channel's mapping, brought into the range of the frame's pixel type by
// the calling thread: a pixel v gives 0 if v <= low, 255 if v > top, and
// table[(v - low) >> shift] otherwise. low and top are clamped to the largest
// pixel value, top >= low, and shift is already taken modulo 64. The lookups
// of pixels between low and top read lut[0 .. span]; when top == low the
// table is never read and lut may point anywhere.
struct LaneMapping {
    uint32_t low;
    uint32_t top;
    uint32_t shift;
    uint32_t span;       // (top - low) >> shift: the largest index a lookup reads
    const uint8_t* lut;  // the caller's table
    // lut[0 .. span] followed by zeros, when span < 256: the register-resident
    // table of the AVX-512 VBMI kernels, and the padded gather source of the
    // AVX2 kernels (a dword gather at index 255 reads up to byte 258).
    alignas(64) uint8_t small[256 + 4];
    bool smallValid;
};

} // namespace tamrix::display

// Gathers from the caller's table (or from small), any span below 2^31.
namespace tamrix::opt_avx2 {
void Map16(const uint16_t* src, int n, uint8_t* dst, const display::LaneMapping& m);
void Map32(const uint32_t* src, int n, uint8_t* dst, const display::LaneMapping& m);
// dst[x] = the truncated mean of the f x f bytes rows[0 .. f-1][f x .. f x + f - 1]
// for x < count, with f = 2 or 4.
void MeanOf2x2(const uint8_t* const* rows, int count, uint8_t* dst);
void MeanOf4x4(const uint8_t* const* rows, int count, uint8_t* dst);
} // namespace tamrix::opt_avx2

// Table lookups in registers (vpermi2b): only when m.smallValid, and only at
// the level isa::Level::Avx512Vbmi (the file is built for AVX-512 VBMI).
namespace tamrix::opt_avx512 {
void Map16(const uint16_t* src, int n, uint8_t* dst, const display::LaneMapping& m);
void Map32(const uint32_t* src, int n, uint8_t* dst, const display::LaneMapping& m);
// bgr[3i] = b[i], bgr[3i + 1] = g[i], bgr[3i + 2] = r[i] for i < n.
void InterleaveBgr(const uint8_t* b, const uint8_t* g, const uint8_t* r, int n, uint8_t* bgr);
} // namespace tamrix::opt_avx512
