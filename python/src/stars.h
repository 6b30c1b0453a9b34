// What the star detectors' bindings share: the star record and its numpy
// dtype, the collected reports, and the claim mask as a bool frame.
#pragma once

#include "args.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tamrix::python {

// One reported star, the row of the structured array the detectors return.
struct Star {
    int32_t x;
    int32_t y;
    double cx;
    double cy;
    double flux;
    uint32_t peak;
};

// Registers Star's numpy dtype; called once at module import.
void RegisterStarDtype();

struct StarList {
    std::vector<Star> items;
    bool overflow = false; // a report could not be stored

    // The reports as a structured array (raises MemoryError after an overflow).
    py::array ToArray() const;
};

// The detectors' callback: appends to the StarList given as context. It may
// run on worker threads under the library's lock, so it touches no Python
// object.
void CollectStar(void* context, int x, int y, double cx, double cy, double flux, unsigned peak);

// The claim mask of a frame: one bit per pixel, bit i % 32 of word i / 32 for
// pixel i = y * width + x, seeded from an optional bool array of the frame's
// shape.
// A 2-D C-contiguous bool array of the frame's shape (TypeError or
// ValueError naming `name` otherwise), borrowed from `flags`.
const bool* PixelFlags(py::handle flags, const std::string& name, const Frame& frame);

class ClaimMask {
public:
    ClaimMask(const Frame& frame, py::handle mask);
    void Pack();                      // bool array -> bits (no GIL needed)
    unsigned* Words() { return words_.data(); }
    py::array Unpack() const;         // bits -> new bool array

private:
    int width_, height_;
    const bool* seed_ = nullptr;
    py::object seedArray_;
    std::vector<unsigned> words_;
};

} // namespace tamrix::python
