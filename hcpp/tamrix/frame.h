// Internal: what every frame operation shares. The pixel type is chosen once
// per call from the depth argument; the rows run in one OpenMP parallel loop
// with the static schedule; all critical sections share the one unnamed
// OpenMP lock.
//
// Only files built for the baseline instruction set include this header: its
// inline templates must never be instantiated in a file compiled with wider
// instruction sets, or the linker could keep that copy for everyone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

namespace tamrix::detail {

// Full-scale value of a pixel type: the value a saturated pixel holds.
template <class Pixel>
constexpr Pixel kFullScale = std::numeric_limits<Pixel>::max();

// Calls fn(Pixel{}) with Pixel = uint16_t when depth is exactly 2, uint32_t
// otherwise. Every operation dispatches through here, so a depth of 4 (or any
// value other than 2) means 32-bit pixels everywhere.
template <class Fn>
inline void WithPixelType(int depth, Fn&& fn)
{
    if (depth == 2)
        std::forward<Fn>(fn)(uint16_t{});
    else
        std::forward<Fn>(fn)(uint32_t{});
}

// Runs row(r) for r = 0 .. rows - 1 on the OpenMP team with the static
// schedule: each thread takes one contiguous block of rows and walks it
// upwards. Nothing runs when rows < 1.
template <class RowFn>
inline void ParallelRows(int rows, RowFn&& row)
{
#pragma omp parallel for schedule(static)
    for (int r = 0; r < rows; ++r)
        row(r);
}

// Runs fn() under the library's single process-wide lock. Every critical
// section of the library is this unnamed OpenMP critical section, so they all
// exclude each other, across calls and across host threads.
template <class Fn>
inline decltype(auto) UnderLock(Fn&& fn)
{
    if constexpr (std::is_void_v<decltype(fn())>) {
#pragma omp critical
        fn();
    } else {
        decltype(fn()) result;
#pragma omp critical
        result = fn();
        return result;
    }
}

// Double to unsigned integer, truncating toward zero as the numeric
// conventions require. Values the type cannot hold saturate (NaN and negative
// values give 0) instead of being undefined behaviour.
template <class Unsigned>
inline Unsigned TruncToUnsigned(double v)
{
    static_assert(std::is_unsigned_v<Unsigned>);
    constexpr double limit = static_cast<double>(std::numeric_limits<Unsigned>::max());
    if (!(v > 0.0))
        return 0;
    if (v >= limit)
        return std::numeric_limits<Unsigned>::max();
    return static_cast<Unsigned>(v);
}

// Typed view of an untyped frame pointer.
template <class Pixel>
inline Pixel* Pixels(void* frame) { return static_cast<Pixel*>(frame); }
template <class Pixel>
inline const Pixel* Pixels(const void* frame) { return static_cast<const Pixel*>(frame); }

} // namespace tamrix::detail
