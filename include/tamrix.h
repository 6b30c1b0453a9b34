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

// ---- Star detection ----------------------------------------------------

// Receives one detected star: the caller's context, the centroid rounded
// (cx + 0.5 and cy + 0.5 truncated), the centroid in pixel coordinates (pixel
// centres at whole numbers, the first pixel at (0, 0)), the flux and the
// largest raw value among the star's pixels. The classic detectors give the
// flux above the local background, the neural detector the sum of raw values.
typedef void (*TStarCallback)(void* context, int x, int y, double cx, double cy, double flux, unsigned peak);

// The claim mask has one bit per pixel: bit (i % 32) of word i / 32 for
// i = y * width + x, at least (width * height + 31) / 32 words. A set bit is a
// pixel of a reported star or one the caller excluded.

// Classic star detection. Scans every second row and column; a position whose
// pixel is at least startLevel and whose mask bit is clear has its window of
// (2r+1)^2 pixels measured: 3-sigma clipped background statistics, threshold
// k clipped standard deviations above the clipped mean, star pixels above the
// threshold with at least q of their 8 neighbours above it too (q = 0 counts
// as 1), and the 4-connected star of the first star pixel in raster order,
// dropped when it touches the window's border. A star none of whose pixels is
// set in the mask has them set and is reported through callback with its
// background-subtracted centroid and flux. The mask is read and added to,
// never cleared. r outside 2 .. 25, q outside 0 .. 8 or a frame smaller than
// 2r + 4 on a side report nothing. A star whose centroid would lie outside its
// window (only when a bright isolated pixel lifts the background mean above
// some of its pixels, so that their weights turn negative) is not reported.
//
// The grid rows run in parallel: the callback is called on worker threads,
// one call at a time, in no fixed order, while the library's lock is held (it
// must not call a library operation that takes the lock). When two threads
// measure the same star the first to claim it wins, so values may differ
// slightly from run to run.
TAMRIX_API void FindStars(int r, double k, int q, unsigned startLevel, void* frame, int width, int height, int depth,
                          unsigned* mask, void* context, TStarCallback callback);

// FindStars on the calling thread alone, without the lock: reports come in
// scan order (rows from the top, left to right) and are the same on every run.
TAMRIX_API void FindStars1C(int r, double k, int q, unsigned startLevel, void* frame, int width, int height,
                            int depth, unsigned* mask, void* context, TStarCallback callback);

} // namespace tamrix
