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
//
// Both functions write the pixel array of a device-independent bitmap (the
// header and palette are the host's). A pixel value v becomes a byte through
// one channel's settings: 0 if v <= low, else 255 if v >= high, else
// lut[(v - low) >> (shift % 64)], the difference taken in 64 bits. The table
// needs ((high - 1 - low) >> shift) + 1 entries when high > low + 1 and is
// never read otherwise (then the mapping is a threshold at low).
//
// zoom > 0 enlarges by n = zoom + 1 (each frame pixel becomes an n x n
// square), zoom 0 keeps the size, zoom < 0 reduces by f = 1 - zoom (each
// bitmap pixel is the truncated mean of the mapped bytes of an f x f block;
// the frame's last width % f columns and height % f rows are not shown).
// Bitmap rows are in frame order (the first row in memory shows frame row 0).
// The depth (2 or 4) is also the byte size of a frame pixel: frame row y
// starts at frame + y * width * depth bytes.

// 8-bit bitmap, one byte per pixel; row stride = outWidth rounded up to a
// multiple of 4 bytes. bitmap holds at least stride * outHeight bytes; the
// padding bytes at the end of each row are not defined.
TAMRIX_API void CreateMonoDIB(int zoom, void* bitmap, int width, int height, int depth, void* frame,
                              unsigned low, unsigned high, unsigned shift, unsigned char* lut);

// 24-bit bitmap from three frames of equal size, given in the order red,
// green, blue, each with its own settings. Each pixel is 3 bytes in the order
// blue, green, red; row stride = 3 * outWidth rounded up to a multiple of 4
// bytes. Reduction averages each channel on its own.
TAMRIX_API void CreateColorDIB(int zoom, void* bitmap, int width, int height, int depth,
                               void* red, unsigned redLow, unsigned redHigh, unsigned redShift, unsigned char* redLut,
                               void* green, unsigned greenLow, unsigned greenHigh, unsigned greenShift,
                               unsigned char* greenLut,
                               void* blue, unsigned blueLow, unsigned blueHigh, unsigned blueShift,
                               unsigned char* blueLut);

// ---- Polynomial surfaces -----------------------------------------------

// ---- Star detection ----------------------------------------------------

} // namespace tamrix
