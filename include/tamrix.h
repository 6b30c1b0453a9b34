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

namespace nnet {
class CNetwork; // include/nnet.h; the neural star detector queries one
}

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

// The window message of Median's progress (WM_USER + 101).
constexpr unsigned kMedianProgressMessage = 0x465;

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
// Progress: when window is not null, every finished row sends
// kMedianProgressMessage with wParam = c * 65535 / height (c = rows finished
// so far) and lParam pointing to the text "<c * 100 / height> %", valid
// during the call only; the message is sent from worker threads and waits for
// the window, so call Median from a thread other than the window's.
// Cancellation: when *cancel becomes non-zero, rows not yet started are
// skipped (dst keeps what it held) and the subtraction does not run.
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

// Enlarges a frame by whole factors: dst is (fx * width) x (fy * height)
// pixels of the source's type. Source pixel (i, r) lands on destination
// (fx * i, fy * r); the pixels between two source pixels a and b are
// a + (k * (b - a)) / f, k = 1 .. f - 1, with the difference and product in
// signed 32-bit and the division truncating toward zero (so they lean toward
// a; 32-bit frames are exact while |b - a| * (f - 1) < 2^31). The last fx
// columns and the last fy rows repeat the last source column and row.
// depth is 2 or 4; fx, fy, width and height below 1 write nothing. src and
// dst are distinct buffers.
TAMRIX_API void Resample(int fx, int fy, void* src, void* dst, int width, int height, int depth);

// Translates a frame by (dx, dy) whole pixels plus a fraction given as
// integer weights: destination (x, y) = (w00 * p(sx, sy) + w10 * p(sx + 1, sy)
// + w01 * p(sx, sy + 1) + w11 * p(sx + 1, sy + 1)) / divisor with sx = x + dx,
// sy = y + dy. Products and sum are unsigned 32-bit (wrapping), the division
// truncates, a 16-bit destination keeps the low 16 bits; weights that add up
// to the divisor never overflow 16-bit frames for divisors up to 65536.
// Destination pixels whose 2 x 2 source square is not inside the source keep
// their value (with dx = dy = 0 the last column and row stay as they were).
// divisor != 0; src and dst are distinct buffers of the type depth selects.
TAMRIX_API void SubPixelShift(int dx, int dy, unsigned w00, unsigned w10, unsigned w01, unsigned w11,
                              unsigned divisor, void* src, int srcWidth, int srcHeight, int depth, void* dst,
                              int dstWidth, int dstHeight);

// Affine resampling from destination to source: destination (x, y) samples
// the source at sx = (A * x + B * y) + C, sy = (D * x + E * y) + F (double,
// pixel centres at whole numbers), bilinear with both fractions truncated to
// 1/64 pixel and integer weights that add up to 4096, the sum shifted right
// by 12. Exact for every 16-bit and 32-bit pixel value (the 32-bit sum is
// 64 bits wide). Positions outside 0 <= sx < srcWidth - 1,
// 0 <= sy < srcHeight - 1 leave the destination pixel as it was: fill dst with
// the background first. To move the image by M, pass M's inverse. src and dst
// are distinct buffers of the type depth selects.
TAMRIX_API void Transform(double A, double B, double C, double D, double E, double F, void* src, int srcWidth,
                          int srcHeight, int depth, void* dst, int dstWidth, int dstHeight);

// ---- Statistics and sub-frames -----------------------------------------

// Minimum, maximum, mean and population standard deviation (divided by N,
// not N - 1) of the rectangle of w x h pixels whose upper-left pixel is
// (x, y). The rectangle is fitted into the frame first: a part left of or
// above the frame (negative x or y) is cut off; then a rectangle starting
// right of or below the frame moves onto its last column or row, and one
// reaching past the right or bottom edge is cut there. A null frame, a frame
// without pixels or a rectangle left empty writes none of the four outputs.
// The last bits of the mean and the deviation may depend on the thread count.
TAMRIX_API void CalculateAreaStatistics(void* frame, int width, int height, int depth, int x, int y, int w, int h,
                                        unsigned* minimum, unsigned* maximum, double* mean, double* stdDev);

// Copies the (2 * radius + 1)^2 window centred on pixel (x, y) into vector,
// row by row, scaled by the window's own extremes to -1 .. +1 in single
// precision: (v - min) * (2 / (max - min)) - 1. A flat window gives NaN
// everywhere. Runs on the calling thread. The window must lie inside the
// frame (width is the row stride; height is not used); vector holds
// (2 * radius + 1)^2 floats; a negative radius writes nothing.
TAMRIX_API void SubFrameToVector(void* frame, int width, int height, unsigned depth, int x, int y, int radius,
                                 float* vector);

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

// Neural star detection. Every pixel at least r from each edge has its
// (2r+1)^2 window (SubFrameToVector) put to network, whose input layer must
// have (2r+1)^2 neurons and output layer one; the pixel is a candidate when
// the output is at least level (never for a flat window, whose vector is all
// NaN, whatever output the network's vector code makes of that). Most pixels
// are decided in bulk, on the OpenMP team, from a bound on how far Infer's
// output can lie from the bulk one; the others, and every call of the network
// and of the callback, stay on the calling thread, so the candidates are
// exactly those of Infer at the network's vector level. Each 4-connected group of candidates is one star, reported
// in the raster order of its first pixel with the centroid weighted by raw
// values, the sum of raw values as flux and the largest value as peak; a
// group whose values are all 0 is reported at the plain mean of its pixel
// positions with flux 0. The mask ((width * height + 31) / 32 words) is
// cleared first and on return marks exactly the reported stars' pixels. A
// network that does not fit, a null network, a negative r or a frame smaller
// than 2r + 1 on a side reports nothing. Groups have no size limit. The
// network's buffers are used, so no other thread may use it meanwhile.
TAMRIX_API void FindStarsNN(nnet::CNetwork* network, int r, float level, void* frame, int width, int height,
                            int depth, unsigned* mask, void* context, TStarCallback callback);

} // namespace tamrix
