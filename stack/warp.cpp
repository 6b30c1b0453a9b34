#include "warp.h"

#include "tamrix.h"

#include <limits>

namespace tamrix::stack {

std::vector<float> WarpOnto(
    const intake::Frame& frame, const Report& registration, int width, int height, std::vector<uint16_t>& coverage)
{
    const Affine& m = registration.transform;
    const bool field = registration.distortion.fitted;
    // The identity (the reference itself) is a copy: Transform would leave
    // the last column and row out, having no pixel beyond them to blend.
    const bool identity = !field && m.a == 1 && m.b == 0 && m.c == 0 && m.d == 0 && m.e == 1 && m.f == 0
        && frame.width == width && frame.height == height;
    intake::Frame warped(field ? 0 : width, field ? 0 : height, frame.mapping);
    if (identity)
        warped = frame;
    else if (!field)
        tamrix::Transform(m.a, m.b, m.c, m.d, m.e, m.f, const_cast<void*>(frame.Data()), frame.width, frame.height,
            frame.Depth(), warped.Data(), width, height);
    const void* source = field ? frame.Data() : warped.Data();
    const int sourceWidth = field ? frame.width : width;
    const auto value = [&](size_t i) -> double {
        return frame.Depth() == 2 ? static_cast<const uint16_t*>(source)[i] : static_cast<const uint32_t*>(source)[i];
    };
    const auto undefined = [&](int x, int y) {
        return !frame.invalid.empty() && frame.invalid[static_cast<size_t>(y) * frame.width + x];
    };
    std::vector<float> out(static_cast<size_t>(width) * static_cast<size_t>(height));
#pragma omp parallel for schedule(static)
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            double sx = 0, sy = 0;
            if (field) {
                MapToFrame(registration, x, y, &sx, &sy);
            } else { // as Transform computes the source position
                sx = (m.a * x + m.b * y) + m.c;
                sy = (m.d * x + m.e * y) + m.f;
            }
            bool defined = identity || (sx >= 0 && sx < frame.width - 1 && sy >= 0 && sy < frame.height - 1);
            const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
            if (identity)
                defined = !undefined(x, y);
            else if (defined)
                defined = !undefined(ix, iy) && !undefined(ix + 1, iy) && !undefined(ix, iy + 1)
                    && !undefined(ix + 1, iy + 1);
            if (!defined) {
                out[i] = std::numeric_limits<float>::quiet_NaN();
                continue;
            }
            double v = 0;
            if (field) {
                const double tx = sx - ix, ty = sy - iy;
                const size_t at = static_cast<size_t>(iy) * sourceWidth + ix;
                v = (value(at) * (1 - tx) + value(at + 1) * tx) * (1 - ty)
                    + (value(at + sourceWidth) * (1 - tx) + value(at + sourceWidth + 1) * tx) * ty;
            } else {
                v = value(i);
            }
            out[i] = static_cast<float>(frame.mapping.Physical(v));
            if (coverage[i] < UINT16_MAX)
                ++coverage[i];
        }
    return out;
}

} // namespace tamrix::stack
