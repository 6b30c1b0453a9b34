// Internal: the row kernels of the sub-pixel shift and the affine transform
// for each instruction set; warp.cpp keeps their table.
//
// Plain declarations only: this header is included by files built for
// different instruction sets and must not carry inline code.
#pragma once

#include <cstdint>

namespace tamrix::warp {

// What an affine row kernel needs for destination row y: the per-pixel
// positions are sx = (a * x + by) + c, sy = (d * x + ey) + f with by = B * y
// and ey = E * y computed once for the row (the same products every pixel
// would form), and a position is inside when 0 <= sx < maxX and
// 0 <= sy < maxY (maxX = srcWidth - 1, maxY = srcHeight - 1).
struct AffineRow {
    double a, by, c;
    double d, ey, f;
    double maxX, maxY;
    int srcWidth;
    int width; // destination columns
};

// What a shift row kernel needs: the run of columns i = begin .. end - 1 of
// a destination row whose squares are all inside the source. The kernels
// get pointers offset so that top[i], top[i + 1], bottom[i], bottom[i + 1]
// are the square of column i and dst[i] is its destination pixel.
struct ShiftRow {
    uint32_t w00, w10, w01, w11;
    int shift; // divisor = 1 << shift; -1 when the divisor is no power of two
    int begin, end;
};

} // namespace tamrix::warp

// The kernels of a level: each handles a leading part of the row and returns
// the column where the per-pixel loop of warp.cpp takes over. The shift
// kernels take only rows whose divisor is a power of two (shift >= 0).
namespace tamrix::opt_baseline {
int TransformRow(const warp::AffineRow& row, const uint16_t* src, uint16_t* dst);
int TransformRow(const warp::AffineRow& row, const uint32_t* src, uint32_t* dst);
int ShiftRow(const warp::ShiftRow& row, const uint16_t* top, const uint16_t* bottom, uint16_t* dst);
int ShiftRow(const warp::ShiftRow& row, const uint32_t* top, const uint32_t* bottom, uint32_t* dst);
} // namespace tamrix::opt_baseline

namespace tamrix::opt_avx2 {
int TransformRow(const warp::AffineRow& row, const uint16_t* src, uint16_t* dst);
int TransformRow(const warp::AffineRow& row, const uint32_t* src, uint32_t* dst);
int ShiftRow(const warp::ShiftRow& row, const uint16_t* top, const uint16_t* bottom, uint16_t* dst);
int ShiftRow(const warp::ShiftRow& row, const uint32_t* top, const uint32_t* bottom, uint32_t* dst);
} // namespace tamrix::opt_avx2

namespace tamrix::opt_avx512 {
int TransformRow(const warp::AffineRow& row, const uint16_t* src, uint16_t* dst);
int TransformRow(const warp::AffineRow& row, const uint32_t* src, uint32_t* dst);
} // namespace tamrix::opt_avx512
