// From frames to pictures: display settings (black and white points, look-up
// table), the library's display bitmaps, marks drawn on them, and PNG files.
#pragma once

#include "fits.h"
#include "starlist.h"

#include <optional>
#include <string>
#include <vector>

namespace tamrix::cli {

enum class Stretch { Linear, Sqrt, Asinh };

// One channel's mapping as the display functions take it.
struct Channel {
    unsigned low = 0, high = 0, shift = 0;
    std::vector<unsigned char> lut;
};

// Black and white points default from the frame's statistics: the mean less
// one standard deviation and the mean plus four, within the frame's range.
Channel MakeChannel(const Frame& frame, std::optional<double> black, std::optional<double> white, Stretch stretch);

struct Picture {
    int width = 0, height = 0;
    bool colour = false;
    std::ptrdiff_t stride = 0;
    std::vector<unsigned char> pixels; // grey bytes, or blue, green, red
};

// Size of the picture of a frame at a zoom step; throws Failure when it would
// be empty or too large.
void PictureSize(int width, int height, int zoom, int& outWidth, int& outHeight);

Picture RenderMono(const Frame& frame, Channel& channel, int zoom);
// Three frames of one size and depth (red, green, blue).
Picture RenderColour(const Frame* frames[3], Channel* channels, int zoom);

// Circles around stars on a colour picture (frame coordinates; the zoom maps
// them onto the picture).
void MarkStars(Picture& picture, const std::vector<Star>& stars, double radius, int zoom);

// Writes the picture whole or not at all, bottom-up: the frame's first row
// (FITS row 1) is the picture's last, as DS9 shows the frame.
void WritePicture(const std::string& path, Picture picture);

} // namespace tamrix::cli
