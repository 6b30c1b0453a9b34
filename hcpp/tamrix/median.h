// Internal: the median filter with its scratch limit as a parameter, so that
// tests can force the path that reads the window's columns straight from the
// frame (taken when a thread's copy of the window rows would exceed the
// limit).
#pragma once

#include <cstddef>

namespace tamrix::detail {

// Bytes of window rows a thread may copy before the filter reads columns from
// the frame instead: enough for r = 100 on 32-bit frames 10000 pixels wide
// (r = 200 on 16-bit ones).
constexpr size_t kMedianStripLimit = size_t{16} << 20;

void MedianWithStripLimit(size_t stripLimit, void* window, unsigned char* cancel, void* src, void* dst, int width,
                          int height, int depth, int low, int high, int r, int offset, int k, unsigned char subtract);

} // namespace tamrix::detail
