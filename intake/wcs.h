// World coordinates through geometry: the header cards of a frame made by
// binning, resampling, shifting or transforming another, with its world
// coordinate system (WCS) moved onto the new pixel grid, or removed with the
// reason when it cannot be carried exactly.
#pragma once

#include <string>
#include <vector>

namespace tamrix::intake {

// Where an operation's output pixels come from: output pixel (x', y'), 0-based,
// was computed from the input position (x, y) = m (x', y') + t, in input pixels.
struct PixelMap {
    double m[2][2] = { { 1, 0 }, { 0, 1 } };
    double t[2] = { 0, 0 };
};

// tamrix::Bin by bx x by: output pixel i sums the block centred on input bx i + (bx - 1) / 2.
PixelMap BinMap(int bx, int by);
// tamrix::Resample by fx x fy: output pixel j interpolates the input at j / f
// (the last f - 1 columns and rows repeat the last input pixel instead).
PixelMap ResampleMap(int fx, int fy);
// tamrix::SubPixelShift by whole pixels (dx, dy) with the bilinear weights
// (s - ax)(s - ay), ax (s - ay), (s - ax) ay, ax ay over s^2: output pixel
// (x, y) is input (x + dx + ax / s, y + dy + ay / s), the position the integer
// weights realise.
PixelMap ShiftMap(int dx, int dy, unsigned ax, unsigned ay, unsigned s);
// tamrix::Transform with the coefficients A, B, C, D, E, F: output pixel
// (x, y) is input (A x + B y + C, D x + E y + F), truncated to 1/64 pixel.
PixelMap TransformMap(const double coefficients[6]);

struct MappedCards {
    std::vector<std::string> cards; // 80 characters each
    // One line for the output's history when the world coordinates had to be
    // removed ("world coordinates removed: ..."); empty otherwise.
    std::string dropped;
};

// The cards (80 characters each, as a header holds them) of a width x height
// output made through `map` from the frame whose cards are given. Every
// coordinate description (primary and alternates A-Z) gets its reference pixel
// and its CD, PC + CDELT or CROTA matrix moved onto the new grid, SIP
// distortion polynomials (A, B, AP, BP) are composed with the map, TPV
// distortion is kept, and the IRAF physical-coordinate cards (LTV, LTM)
// follow. The result is confirmed with wcslib against the input's world
// coordinates over the output frame. A WCS that cannot be carried exactly
// (DSS plate solutions, IRAF TNX/ZPX, lookup tables and other distortions,
// tabular axes, a degenerate map, a header wcslib cannot read) is removed
// whole, with the reason in `dropped`. Cards without WCS or physical
// coordinates come back unchanged.
MappedCards MapWcs(const std::vector<std::string>& cards, const PixelMap& map, int width, int height);

} // namespace tamrix::intake
