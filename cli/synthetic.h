// A synthetic night for the demo: two light frames of the same star field, the
// second moved by a small shift, rotation and radial distortion, with the dark
// and flat frames that calibrate them, and more lights of the field to stack.
// Deterministic for a given seed.
#pragma once

#include "fits.h"

#include <cstdint>
#include <vector>

namespace tamrix::cli {

struct TrueStar {
    double x, y; // in the first light frame, pixel centres at whole numbers
    double x2, y2; // the same star in the second light frame
    double flux; // total counts above the sky
};

struct SyntheticNight {
    Frame dark, flat;
    Frame lights[2];
    std::vector<TrueStar> stars;
    std::vector<double> vignette, darkLevel; // per pixel: what the flat and the dark measure
};

// Where a position of the first frame lands in the second one.
void SecondFramePosition(int width, int height, double x, double y, double& x2, double& y2);

SyntheticNight MakeNight(int width, int height, int starCount, uint32_t seed);

// `count` more lights of the first light's field, each moved by its own
// rotation about the centre (up to 0.4 degrees) and shift (up to 4 pixels
// each way), with its own noise; the dark and flat of the night calibrate
// them.
std::vector<Frame> MakeMoreLights(const SyntheticNight& night, int count, uint32_t seed);

} // namespace tamrix::cli
