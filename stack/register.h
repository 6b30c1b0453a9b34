// Registration of a frame onto a reference from their star lists: stars are
// matched by the shapes of the triangles they form with their nearest
// neighbours (two ratios of sorted side lengths, which a shift, a rotation, a
// mirror and a change of scale all leave alone), a consensus of triangle
// correspondences picks the transform, and a least-squares affine fit over
// every star matched under it, repeated a few rounds, refines it. A cubic
// distortion field on the fit's residuals is optional.
//
// Direction: every transform here maps REFERENCE positions to FRAME
// positions, x_frame = a x + b y + c, y_frame = d x + e y + f with (x, y) on
// the reference. That is the direction the library's Transform takes: it
// walks the destination (reference) grid and samples the source (frame), so
// Transform(a, b, c, d, e, f, frame, ..., out, ...) puts the frame onto the
// reference grid. Positions are 0-based, pixel centres at whole numbers.
#pragma once

#include "detect/stars.h"

#include <array>
#include <string>
#include <vector>

namespace tamrix::stack {

// A star of a list: position and a brightness to rank it by.
struct Point {
    double x = 0, y = 0, flux = 0;
};

// x' = a x + b y + c, y' = d x + e y + f.
struct Affine {
    double a = 1, b = 0, c = 0, d = 0, e = 1, f = 0;
};

// A cubic field added to the affine map: frame position = affine(x, y) +
// (P_a(u, v), P_b(u, v)) with u = (x - cx) / scale, v = (y - cy) / scale
// (normalised so that the cubic terms stay well conditioned); coefficients in
// the term order of the library's FitSurface: u^3, v^3, u^2 v, u v^2, u^2,
// v^2, u v, u, v, 1.
struct Distortion {
    bool fitted = false;
    double cx = 0, cy = 0, scale = 1;
    std::array<double, 10> a {}, b {};
};

struct Options {
    int brightest = 50; // stars of each list that form triangles (three times as many when those do not agree)
    int neighbours = 4; // nearest neighbours each of them forms triangles with
    double invariantRadius = 0.1; // triangle shapes this close in (L2/L1, L1/L0) correspond
    double tolerance = 2; // px: a transformed star this close to one of the other list matches it
    double maxScaleChange = 0.1; // |scale - 1| above this (or axes unequal by more) is not a candidate
    int rounds = 4; // re-match and refit rounds after the consensus
    int minMatches = 6; // fewer matched stars: the frame does not register
    double maxRms = 1.0; // px: a larger rms residual: the frame does not register
    bool distortion = false; // fit the cubic field on the residuals too
    int minDistortionMatches = 30; // pairs the cubic field needs (it is not fitted with fewer)
};

enum class Status { kRegistered, kTooFewStars, kNoMatch, kTooFewMatches, kRmsTooHigh };

// What registering one frame found. `transform` and `distortion` are to be
// used only when status is kRegistered; otherwise `reason` says why not, in
// one line, and `transform` is left at the identity.
struct Report {
    Status status = Status::kNoMatch;
    std::string reason;
    size_t frameStars = 0, referenceStars = 0, matched = 0;
    double rms = 0; // px, of the matched pairs' residuals, in frame pixels (after the cubic field when fitted)
    double affineRms = 0; // px, the same for the affine map alone
    Affine transform; // reference -> frame, what Transform takes
    Distortion distortion;
    bool Registered() const { return status == Status::kRegistered; }
};

// Registers `frame` onto `reference`. Stars without a finite position are
// left out (and not counted).
Report Register(const std::vector<Point>& reference, const std::vector<Point>& frame, const Options& options = {});

// The detect layer's stars as points (centroid and flux), saturated stars
// and stars cut by the frame's edge left out: their centroids are biased.
std::vector<Point> Points(const std::vector<detect::Star>& stars);

// The frame position of reference position (x, y) under a registration
// (the affine map plus the cubic field when fitted).
void MapToFrame(const Report& report, double x, double y, double* fx, double* fy);

} // namespace tamrix::stack
