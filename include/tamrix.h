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

// Filters src into dst (distinct buffers, same size and depth) with the
// (2r + 1) x (2r + 1) window clipped at the frame edges. With n pixels in a
// window and h = n / 2 the result is one above the h-th smallest pixel (not
// the textbook median): nine equal values v give v + 1, the values 1 .. 9 give
// 5; r = 0 gives 0. 32-bit frames are binned over the range low .. high (read
// as unsigned, low <= high): bins of 2^shift values, shift the least that
// leaves at most 262144 bins, the result low + ((bin + 1) << shift); pixels
// outside the range count in the first or last bin. A result above full scale
// (a saturated window) is stored as full scale. 0 <= r < width (other radii
// are clamped into that range).
//
// Progress: when window is not null, every finished row sends message 0x465
// with wParam = c * 65535 / height (c = rows finished so far) and lParam
// pointing to the text "<c * 100 / height> %", valid during the call only;
// the message is sent from worker threads and waits for the window, so call
// Median from a thread other than the window's. Cancellation: when *cancel
// becomes non-zero, rows not yet started are skipped (dst keeps what it held)
// and the subtraction does not run.
//
// When subtract is non-zero, dst finally holds src + max(offset, 0) -
// filtered * k / 1000 (k clamped to 1 .. 1000), clamped at 0 and full scale.
// The last parameter is not used. Per call, each thread gets a histogram of
// up to 1 MiB and a copy of its window rows (at most 16 MiB; none for r = 0
// or for r <= 2 on 16-bit frames); when that allocation fails,
// std::bad_alloc is thrown before anything is written.
TAMRIX_API void Median(void* window, unsigned char* cancel, void* src, void* dst, int width, int height, int depth,
                       int low, int high, int r, int offset, int k, unsigned char subtract, unsigned char unused);

// ---- Geometry ----------------------------------------------------------

// ---- Statistics and sub-frames -----------------------------------------

// ---- Display bitmaps ---------------------------------------------------

// ---- Polynomial surfaces -----------------------------------------------

// ---- Star detection ----------------------------------------------------

} // namespace tamrix
