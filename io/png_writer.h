// PNG output of display bitmaps, outside the library core: used by the tests
// and the command-line tool, built on libpng.
#pragma once

#include <cstddef>
#include <string>

namespace tamrix::io {

// Pixel layouts of the display bitmaps: one grey byte per pixel
// (tamrix::CreateMonoDIB), or blue, green, red bytes (tamrix::CreateColorDIB).
enum class BitmapFormat { Grey8, Bgr24 };

// The row stride of those bitmaps: width x bytes per pixel rounded up to a
// multiple of 4 bytes.
std::ptrdiff_t BitmapStride(BitmapFormat format, int width);

// Writes width x height pixels, rows stride bytes apart (padding ignored), to
// an 8-bit grey or 24-bit RGB PNG file; the first row in memory becomes the
// top row of the picture. Throws std::invalid_argument naming the parameter
// for sizes that do not fit (non-positive width or height, a stride below
// the row's bytes, a null pixel pointer), and std::runtime_error naming the
// file when it cannot be written; a file that fails part-way is removed.
void WritePng(const std::string& path, BitmapFormat format, const void* pixels, int width, int height,
              std::ptrdiff_t stride);

} // namespace tamrix::io
