// tamrix: frame operations for astronomical image processing.
//
// Frames are caller-owned, row-major buffers of width x height unsigned pixels
// with no row padding: pixel (x, y) is element y * width + x. The depth
// argument selects the pixel type: 2 means 16-bit pixels (full scale 65535),
// any other value 32-bit pixels (full scale 4294967295); callers pass 2 or 4.
//
// The frame functions keep no state, check nothing and report nothing: buffer
// sizes, positive dimensions and non-zero factors are the caller's
// preconditions. A row count below 1 writes nothing. Rows run in parallel on
// all cores through OpenMP; the functions may be called from several threads
// at once.
#pragma once

#include <cstdint>

#include "tamrix_export.h"

// A host window on platforms without Windows messages. Where a frame function
// takes a window handle (void*), Windows passes an HWND; elsewhere the handle
// points to this host-owned struct, and the library delivers the message by
// calling its members. A null member drops the message.
struct THostWindow {
    void* Context;
    intptr_t (*Send)(void* context, unsigned message, uintptr_t wParam, intptr_t lParam); // synchronous
    void (*Post)(void* context, unsigned message, uintptr_t wParam, intptr_t lParam);     // must not block
};

namespace tamrix {

// Lets the OpenMP runtime use fewer threads than processors for all later
// parallel loops of the process (omp_set_dynamic(1)). Never called by the
// library itself.
TAMRIX_API void OMPSetDynamic();

// ---- Binning -----------------------------------------------------------

// Sums each binX x binY block of the source into one 32-bit output pixel
// (outWidth = width / binX, outHeight = height / binY; leftover columns and
// rows are ignored). The output is always 32-bit, whatever the depth; sums
// wrap modulo 2^32. binX, binY >= 1; src and dst are distinct buffers.
TAMRIX_API void Bin(int binX, int binY, void* src, void* dst, int width, int height, int depth);

// ---- Calibration -------------------------------------------------------

// result = raw - dark, 0 where dark > raw; a saturated raw pixel stays at full
// scale. result may be the input buffer.
TAMRIX_API void DiffDark(void* input, void* result, void* dark, int width, int height, int depth);

// result = raw * m / flat (integer, truncated, clamped at full scale), with m
// the reference level rounded to an integer. A level of 0 or below asks for
// the mean of the flat frame, which is computed serially, written back to
// *level and used. Saturated raw pixels stay saturated; a zero flat pixel
// passes the raw pixel unchanged. result may be the input buffer.
TAMRIX_API void Flat(void* input, void* result, void* flat, double* level, int width, int height, int depth);

// ---- Median filter -----------------------------------------------------

// ---- Geometry ----------------------------------------------------------

// ---- Statistics and sub-frames -----------------------------------------

// ---- Display bitmaps ---------------------------------------------------

// ---- Polynomial surfaces -----------------------------------------------

// A cubic polynomial is ten doubles c1 .. c10 in the term order
// x^3, y^3, x^2 y, x y^2, x^2, y^2, x y, x, y, 1. FitSurface writes them in
// that order and the fills take them in that order.

// Least-squares fit of two cubic surfaces: points holds count records of
// four doubles (x, y, x', y'); a1 .. a10 receive the coefficients of the
// surface fitted to x - x', b1 .. b10 those fitted to y - y', both as
// functions of (x, y), which enter unchanged. Terms whose singular value is
// below 1e-6 of the largest are left out (minimum-norm solution), so fewer
// than ten points or degenerate positions still give a result; count = 0
// gives zeros. Runs on the calling thread; count * 10 must stay below 2^32.
// Throws std::bad_alloc only when its scratch cannot be allocated.
TAMRIX_API void FitSurface(double* points, unsigned count, double* a1, double* a2, double* a3, double* a4,
                           double* a5, double* a6, double* a7, double* a8, double* a9, double* a10, double* b1,
                           double* b2, double* b3, double* b4, double* b5, double* b6, double* b7, double* b8,
                           double* b9, double* b10);

// Writes P(u, v) * scale + offset into every pixel (clamped to 0 .. full
// scale, truncated; NaN gives 0), with the normalised coordinates
// u = (x - width / 2) / s, v = (y - height / 2) / s, s = max(width, height)
// (integer halves). The frame's previous contents are not read.
TAMRIX_API void FillFrameWithPolynom(void* frame, int width, int height, int depth, double scale, int offset,
                                     double c1, double c2, double c3, double c4, double c5, double c6, double c7,
                                     double c8, double c9, double c10);

// Renders the vector field (P1, P2) * s pixels (c for the x component, d for
// the y component, normalised coordinates as above) into the frame: every
// pixel gets 32767 + 100 per pixel of vector length (clamped, truncated);
// then, on the calling thread, a square grid of marks drawn with value 0: a
// plus at each grid point, a diagonal cross where its vector ends, and the
// line between them. The grid spacing is at least 24 pixels and twice the
// longest rounded vector; frames narrower than that get no marks, and a mark
// line with an end outside the frame is not drawn.
TAMRIX_API void FillFrameWithPolynoms(void* frame, int width, int height, int depth, double c1, double c2,
                                      double c3, double c4, double c5, double c6, double c7, double c8, double c9,
                                      double c10, double d1, double d2, double d3, double d4, double d5, double d6,
                                      double d7, double d8, double d9, double d10);

// ---- Star detection ----------------------------------------------------

} // namespace tamrix
