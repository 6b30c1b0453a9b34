// How each operation carries the value mapping from its inputs to its output,
// in one place for every front-end. Geometry that only moves values
// (resample, shift, transform) and the median filter keep the input's mapping;
// the rest is here.
#pragma once

#include "fits.h"

#include <functional>
#include <optional>
#include <vector>

namespace tamrix::intake {

// Subtracts a dark frame that shares the light's mapping: the result keeps
// the light's mapping (a pedestal of -offset / scale frame steps keeps
// negative differences where the mapping reaches below 0), so
// physical result = light - dark, clamped at the bottom of the mapping's
// range (0 for unsigned data) and kept at full scale where the light is
// saturated. Undefined pixels of either frame are undefined in the result.
void SubtractDark(Frame& light, const Frame& dark);

// Divides by a flat field read with ReadDivisor: result = light * level /
// flat, the level in the flat's physical units (its mean when not given).
// The division needs light values measured from 0: a light whose mapping
// starts below 0 is moved onto offset 0 first, values below 0 clipped to 0
// (counted in `warnings`). Returns the level used.
double DivideFlat(Frame& light, const Frame& flat, std::optional<double> level, Warnings& warnings);

// Moves the frame's values down by the lowest of them (or `keep`, a frame
// value that must stay representable, when that is lower), and the offset
// up by as much: exact, and for operations whose integer arithmetic is
// bounded (block sums, sub-pixel weights), which signed 32-bit data, stored
// around 2^31, would overflow. Returns the frame steps moved.
uint32_t MoveLowestToZero(Frame& frame, uint32_t keep = UINT32_MAX);

// Block sums of bx x by pixels: 32-bit frames whose offset is bx * by times
// the input's. Throws Error when a sum of the frame's values could pass
// 2^32 - 1 (where the library's sums wrap).
Mapping BinnedMapping(const Frame& input, int bx, int by);

// The pixels of a resampled output (dstWidth x dstHeight) that no source
// pixel reaches: `sample` runs the operation from a 16-bit source frame of
// srcWidth x srcHeight pixels into a 16-bit destination, which it leaves
// untouched where nothing reaches.
std::vector<bool> Unreached(int srcWidth, int srcHeight, int dstWidth, int dstHeight,
    const std::function<void(void* source, void* destination)>& sample);

// The median filter's background subtraction, result = value + pedestal -
// (scale / 1000) * median: the frame steps of a physical pedestal, and the
// mapping of the result.
int PedestalSteps(const Mapping& input, double pedestal);
Mapping BackgroundSubtractedMapping(const Mapping& input, int scale);

// A star's flux in physical units: `pixels` is 0 for background-subtracted
// fluxes (the classic detector's), the star's pixel count for sums of raw
// values (the network detector's), whose offsets add up.
double PhysicalFlux(const Mapping& mapping, double flux, size_t pixels);

// The level a star's peak is saturated at, in frame values: `given`
// (physical), else the header's SATURATE when the frame's range reaches above
// it; a level above the range is its top. None when neither says (the
// detector then finds the level the data clip at). Throws Usage for a given
// level below the range.
std::optional<uint32_t> SaturationLevel(const Frame& frame, std::optional<double> given);

// Pixel counts of the 4-connected groups of set bits in a claim mask (one bit
// per pixel, bit i % 32 of word i / 32), in the raster order of each group's
// first pixel: the order in which the network detector reports its stars.
std::vector<size_t> MaskGroupSizes(const unsigned* mask, int width, int height);

} // namespace tamrix::intake
