// Star detection with settings taken from the frame, for the tamrix program
// and the Python module alike: the sky's level and noise, the start level as
// a number of noise deviations above the sky, the window from the stars' own
// width, and per-star measures to filter on. The library's FindStars does the
// finding; this layer chooses its arguments, runs it over a copy whose
// background map (a mesh) is flattened to the sky's level and which is padded
// with sky noise (so that stars at the frame's edges are found too), runs it again with the
// largest window and then on a 2 x 2 binned copy for the stars the first
// windows could not hold, measures every star (its position a windowed
// centroid, on which pieces of one star meet and are merged) and drops cosmic
// rays and hot pixels by their shape, and blends much wider than the stars. All values are frame values (the front-ends map
// them to physical units); positions are 0-based, pixel centres at whole
// numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace nnet {
class CNetwork;
}

namespace tamrix::detect {

// The sky of a frame: level and noise (one standard deviation) of its
// background.
struct Sky {
    double level = 0, noise = 0;
};

// The sky from a mesh of boxes of about 64 x 64 pixels, each measured by
// iterated 3-sigma clipping about its median: the median of the boxes'
// levels and of their deviations, the deviation at least 1 / sqrt(12) (the
// rounding of whole values). depth 2 is 16-bit, 4 is 32-bit.
Sky MeasureSky(const void* frame, int width, int height, int depth);

// The level a star's peak counts as saturated at when Options::saturation is
// not given: the frame's highest value if at least three pixels hold it 50
// noise deviations or more above the sky (data clipped below the type's
// range), else full scale.
uint32_t SaturationLevel(const void* frame, int width, int height, int depth);

// Star flags, bits of Star::flags.
enum StarFlag : unsigned {
    kEdge = 1, // the star's pixels reach the frame's border: cut, its centroid biased inward
    kSaturated = 2, // its peak is at the saturation level
    kBlended = 4, // another star lies within the sum of their radii plus 2 pixels, or raised its windows' background
    kTooLarge = 8, // its wings reach the largest window's edge: found on a 2 x 2 binned copy, or measured so
};

struct Options {
    // Window half-size (2 .. 25); from the measured width when not given:
    // 1.5 FWHM + 2, at least 3.
    std::optional<int> radius;
    double k = 4; // the detector's own threshold, in clipped deviations of each window
    int neighbours = 2; // bright neighbours a star pixel needs
    // Positions are examined from sky + startSigma * noise up, or from
    // startLevel (a frame value) when given.
    double startSigma = 4;
    std::optional<uint32_t> startLevel;
    double minSnr = 5; // stars below are dropped
    double maxFwhm = std::numeric_limits<double>::infinity(); // stars wider are dropped
    // Saturation level (frame value); SaturationLevel when not given.
    std::optional<uint32_t> saturation;
    // Pixels without data (NaN or BLANK in a file; width x height, or
    // null): read as sky noise, a star that reaches them flagged kEdge. A
    // frame's lowest value filling part of it far below the sky (the corners
    // a registration left uncovered) is taken as such too.
    const std::vector<bool>* undefined = nullptr;
    bool rejectSharp = true; // drop cosmic rays and hot pixels by their shape
    bool parallel = true; // FindStars on all cores; false: FindStars1C, the same list every run
    // Also look for stars too large for the first window (passes of the
    // largest window, and of a binned copy); false: stars of about the
    // measured width, which is what registering frames needs, at half the time.
    bool largeStars = true;
    // With a network ((2 networkRadius + 1)^2 inputs, one output), the stars
    // are the pixel groups FindStarsNN rates at least `level` on the frame
    // itself, instead of the classic passes; each is measured on the
    // flattened copy over its pixels k noise deviations above the median of
    // a ring around it (a lone bright pixel, or a bump on a brighter star's
    // wings, is none), and filtered like the classic passes' stars.
    nnet::CNetwork* network = nullptr;
    int networkRadius = 5;
    float level = 0.95f;
};

struct Star {
    int x = 0, y = 0; // centroid rounded (cx + 0.5 truncated)
    double cx = 0, cy = 0; // centroid, weighted by a Gaussian of the frame's FWHM about itself
    double flux = 0; // sum over the star's pixels of value - local background
    uint32_t peak = 0; // largest pixel value
    size_t pixels = 0; // pixels of the star (above the window's threshold)
    double fwhm = 0; // 2 sqrt(A / pi), A the area at or above half the peak over the background, pixels
    double elongation = 1; // ratio of the axes of the second moments over the star's pixels
    double snr = 0; // flux / (noise * sqrt(pixels)): background noise only, the sky's or more where the mesh's is
    double sharpness = 0; // (peak - mean of its 8 neighbours) / (peak - background)
    unsigned flags = 0; // StarFlag bits
};

struct Result {
    std::vector<Star> stars; // sorted by row, then column
    Sky sky;
    double fwhm = 0; // the stars' typical FWHM, from the highest isolated peaks; 0 when there is none
    int radius = 0; // window half-size of the first pass
    uint32_t startLevel = 0;
    uint32_t saturation = 0; // the level a star's peak is saturated at
    double sharpLimit = 0; // sharpness above which a star was dropped (0: no limit applied)
    size_t rejectedSharp = 0, rejectedBlend = 0, rejectedSnr = 0, rejectedFwhm = 0;
};

// The window half-size r a star network rates: (2r + 1)^2 inputs and one
// output; -1 when it fits no window.
int NetworkRadius(const nnet::CNetwork& network);

// Finds the stars of a frame (depth 2: uint16_t pixels, 4: uint32_t).
// `mask`, when given, excludes pixels beforehand (one bit per pixel, bit
// i % 32 of word i / 32 for pixel i = y * width + x): a star touching one is
// not reported. The caller checks the options' ranges.
Result FindStars(
    const void* frame, int width, int height, int depth, const Options& options, const unsigned* mask = nullptr);

} // namespace tamrix::detect
