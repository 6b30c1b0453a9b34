// A light onto the reference's pixel grid, by a registration: the library's
// Transform for the affine map, and the same bilinear sampling at positions
// from the fitted polynomials when the registration has a cubic field.
#pragma once

#include "register.h"

#include "intake/fits.h"

#include <cstdint>
#include <vector>

namespace tamrix::stack {

// The frame sampled on the reference grid (width x height) as physical
// values, NaN where the position falls outside the frame (a pixel needs its
// four neighbours) or onto an undefined pixel; the identity copies the frame.
// Counts the defined pixels into `coverage` (width x height).
std::vector<float> WarpOnto(
    const intake::Frame& frame, const Report& registration, int width, int height, std::vector<uint16_t>& coverage);

} // namespace tamrix::stack
