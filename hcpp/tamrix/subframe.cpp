// Sub-frame extraction: a square window scaled to -1 .. +1 for the network.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"

namespace tamrix {
namespace {

template <class Pixel>
void WindowToVector(const Pixel* frame, int width, int x, int y, int radius, float* vector)
{
    const int64_t n = 2 * int64_t{radius} + 1;
    const Pixel* corner = frame + (int64_t{y} - radius) * width + (int64_t{x} - radius);
    uint32_t min = 0xFFFFFFFFu, max = 0;
    for (int64_t j = 0; j < n; ++j)
        for (int64_t i = 0; i < n; ++i) {
            const uint32_t v = corner[j * width + i];
            min = v < min ? v : min;
            max = v > max ? v : max;
        }
    // Single precision throughout: the difference is converted to float and
    // 2 divided by it; a flat window divides by zero, giving +infinity and
    // then 0 * infinity = NaN for every element, which callers rely on.
    const float scale = 2.0f / static_cast<float>(max - min);
    for (int64_t j = 0; j < n; ++j)
        for (int64_t i = 0; i < n; ++i) {
            // Two roundings, never fused: the product, then the subtraction.
            const float scaled = static_cast<float>(static_cast<uint32_t>(corner[j * width + i]) - min) * scale;
            vector[j * n + i] = scaled - 1.0f;
        }
}

} // namespace

void SubFrameToVector(void* frame, int width, int /*height*/, unsigned depth, int x, int y, int radius, float* vector)
{
    if (radius < 0)
        return;
    // Only depth 2 selects 16-bit pixels; the unsigned depth of this function
    // compares the same way.
    detail::WithPixelType(depth == 2u ? 2 : 4, [&](auto pixel) {
        using Pixel = decltype(pixel);
        WindowToVector(detail::Pixels<Pixel>(frame), width, x, y, radius, vector);
    });
}

} // namespace tamrix
