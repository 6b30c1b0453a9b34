// The distortion field between two frames as `fit-field` writes it and
// `render-field` reads it: two cubic polynomials over normalised coordinates.
#pragma once

#include <string>

namespace tamrix::cli {

// Coefficients in the library's term order x^3, y^3, x^2 y, x y^2, x^2, y^2,
// x y, x, y, 1, over u = (x - width/2) / s, v = (y - height/2) / s with
// s = max(width, height); dx and dy are in the same normalised units.
struct Field {
    int width = 0, height = 0;
    int pairs = 0; // matched stars the fit used
    double rms = 0; // residual of the fit, pixels
    double dx[10] = {}, dy[10] = {};
};

std::string FieldText(const Field& field);

// Throws Failure naming the file and line.
Field ReadField(const std::string& path);

} // namespace tamrix::cli
