// Star lists on disk: the CSV that `tamrix stars` writes and `fit-field`
// reads, and DS9 region files for viewing them over the frame.
#pragma once

#include <string>
#include <vector>

namespace tamrix::cli {

struct Star {
    int x = 0, y = 0; // centroid rounded as the detectors report it
    double cx = 0, cy = 0; // centroid, pixel centres at whole numbers, first pixel (0, 0)
    double flux = 0; // in the frame's physical units
    double peak = 0;
    // Measures of the classic detector's defaults (see README): FWHM in
    // pixels, axis ratio, background-limited SNR, sharpness, flag bits.
    double fwhm = 0, elongation = 0, snr = 0, sharpness = 0;
    unsigned flags = 0;
};

// "x,y,cx,cy,flux,peak" and one line per star; with `measures`,
// ",fwhm,elongation,snr,sharpness,flags" appended to each.
std::string StarCsv(const std::vector<Star>& stars, bool measures = false);

// DS9 image coordinates count from 1 at the first pixel's centre.
std::string StarRegions(const std::vector<Star>& stars, double radius);

// Reads a CSV with at least the columns cx and cy, or else x and y (any
// order, named in the first line); other columns are kept when they are the known ones. Throws
// Failure naming the file and line.
std::vector<Star> ReadStarCsv(const std::string& path);

// Pairs each star of `a` with its nearest neighbour in `b` when each is the
// other's nearest and they lie within maxDistance pixels.
std::vector<std::pair<Star, Star>> MatchStars(
    const std::vector<Star>& a, const std::vector<Star>& b, double maxDistance);

} // namespace tamrix::cli
