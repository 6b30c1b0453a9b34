#include "io/png_writer.h"

#include <png.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace tamrix::io {
namespace {

int BytesPerPixel(BitmapFormat format)
{
    return format == BitmapFormat::Bgr24 ? 3 : 1;
}

} // namespace

std::ptrdiff_t BitmapStride(BitmapFormat format, int width)
{
    return (static_cast<std::ptrdiff_t>(width) * BytesPerPixel(format) + 3) & ~std::ptrdiff_t{3};
}

void WritePng(const std::string& path, BitmapFormat format, const void* pixels, int width, int height,
              std::ptrdiff_t stride)
{
    if (width < 1)
        throw std::invalid_argument("WritePng: width must be positive, not " + std::to_string(width));
    if (height < 1)
        throw std::invalid_argument("WritePng: height must be positive, not " + std::to_string(height));
    const std::ptrdiff_t rowBytes = static_cast<std::ptrdiff_t>(width) * BytesPerPixel(format);
    // libpng takes the stride as a signed 32-bit count of 8-bit components,
    // that is of bytes here.
    if (stride < rowBytes || stride > std::numeric_limits<png_int_32>::max())
        throw std::invalid_argument("WritePng: stride " + std::to_string(stride) + " does not fit rows of " +
                                    std::to_string(rowBytes) + " bytes");
    if (pixels == nullptr)
        throw std::invalid_argument("WritePng: pixels is null");

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    // libpng swaps blue and red itself: the file stores RGB.
    image.format = format == BitmapFormat::Bgr24 ? PNG_FORMAT_BGR : PNG_FORMAT_GRAY;
    if (!png_image_write_to_file(&image, path.c_str(), 0, pixels, static_cast<png_int_32>(stride), nullptr)) {
        const std::string reason = image.message[0] != '\0' ? image.message : "unknown libpng error";
        png_image_free(&image);
        throw std::runtime_error("cannot write PNG file \"" + path + "\": " + reason);
    }
    png_image_free(&image);
}

} // namespace tamrix::io
