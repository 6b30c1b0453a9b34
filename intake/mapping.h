// Value mapping: how the pixels of users' files and arrays (signed, unsigned,
// 8 to 64-bit integers, floating point, scaled by BZERO/BSCALE, with blank or
// NaN pixels) become the library's unsigned 16- or 32-bit frames, and back.
//
//     physical value = frame value * scale + offset
//
// The mapping is chosen from what the headers (or dtypes) say, never from the
// data alone, and one mapping serves every input of a command, so that frames
// read together (a light and its dark) can be combined value by value.
// Integers map exactly; floating-point data are quantised on a grid of about
// 2^24 levels whose step is a power of two, so that grid values are exact in
// float and double and a round trip errs by at most half a step.
#pragma once

#include "error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamrix::intake {

// Element types as stored (FITS BITPIX, numpy dtype).
enum class Sample { U8, I8, U16, I16, U32, I32, U64, I64, F32, F64 };

bool IsFloat(Sample s);
int SampleBytes(Sample s);
// "16-bit signed integers", for messages.
std::string SampleText(Sample s);

// What a header or a dtype says about one input. Physical values are
// bzero + bscale * stored.
struct Format {
    std::string name; // the file or parameter, for messages
    Sample sample = Sample::U16;
    double bzero = 0, bscale = 1;
    std::optional<int64_t> blank; // integer null value, in stored units
    std::optional<double> dataMin, dataMax; // physical range the header declares
};

struct Mapping {
    double offset = 0, scale = 1;
    int depth = 2; // bytes per frame pixel: 2 or 4
    // Integer data with their own step: values off the grid cannot occur.
    bool exact = true;

    double FullScale() const { return depth == 2 ? 65535.0 : 4294967295.0; }
    double Physical(double frameValue) const { return frameValue * scale + offset; }
    // The frame value of a physical value, rounded to the grid; throws
    // Error naming `what` when it lies outside the frame's range or is
    // not a finite number.
    uint32_t FrameValue(double physical, const std::string& what) const;
    // Physical values covered by frame values 0 .. full scale.
    double Lowest() const { return offset; }
    double Highest() const { return Physical(FullScale()); }

    // Frame values that are the physical values (offset 0, scale 1).
    static Mapping Identity(int depth) { return Mapping { 0, 1, depth == 2 ? 2 : 4, true }; }
};

struct MappingOptions {
    // Frame bits for floating-point data: 32 (about 2^24 levels) or 16 (about
    // 2^15 levels, when asked). Integer data choose their own width.
    int floatBits = 32;
    // Physical range for floating-point and 64-bit integer data (--range);
    // given for 8- to 32-bit integers, it quantises them like floating-point
    // data.
    std::optional<std::pair<double, double>> range;
    // How messages name that option.
    std::string rangeName = "--range LO,HI";
};

// True when floating-point inputs need their data's range (no --range, no
// DATAMIN/DATAMAX): the caller then measures it once and passes it to
// ChooseMapping.
bool NeedsDataRange(const std::vector<Format>& inputs, const MappingOptions& options);

// One mapping for all inputs:
// - integers only: the common step is their BSCALE (refused when they
//   differ), the offset the lowest value any type can hold, the depth the
//   least that holds every type's range (16-bit integers stay 16-bit, signed
//   ones shifted by 2^15; 32-bit ones take 32-bit frames); 64-bit integers
//   need a declared range (DATAMIN/DATAMAX or --range) that fits 32 bits.
// - any floating-point input: a grid of step 2^k over the union of the
//   declared, requested or measured ranges (and of integer types' ranges),
//   from min(0, lowest) so that 0 stays 0 and differences keep their sign,
//   with about 2^24 levels (2^15 for 16-bit frames) below full scale; the
//   headroom keeps the top of the range from reading as saturated and lets
//   block sums grow.
// `dataRange` is the finite minimum and maximum of the floating-point inputs'
// data, when NeedsDataRange says it is needed.
Mapping ChooseMapping(const std::vector<Format>& inputs, const MappingOptions& options,
    std::optional<std::pair<double, double>> dataRange = std::nullopt);

// The mapping of a divisor frame (a flat field) at the light's depth: offset
// 0, so that frame values are proportional to physical ones. Integers keep
// their step when their BZERO is a whole number of steps and their largest
// pixel fits; otherwise the largest pixel (dataRange.second, measured by the
// caller) gets 65535 levels in 16-bit frames, 2^24 in 32-bit ones. Pixels at
// or below 0 map to 0, which the library's division passes unchanged.
Mapping DivisorMapping(const Format& format, int depth, std::pair<double, double> dataRange);

// What a conversion met, for the warning line.
struct Census {
    size_t invalid = 0; // NaN, infinite or BLANK
    size_t below = 0, above = 0; // clipped to the frame's range
    bool Clean() const { return invalid == 0 && below == 0 && above == 0; }
};

// The warning line of what a conversion met ("" when all was clean):
// "name: 3 pixels are NaN, infinite or BLANK (fate); ...".
std::string CensusText(const std::string& name, const Census& census, const Mapping& mapping, const std::string& fate,
    const std::string& rangeName);

// Converts `count` stored samples of `format` (native byte order) into frame
// values of `mapping` (uint16_t or uint32_t by its depth). Invalid samples
// are written as 0 and marked in `invalid` (one bool per pixel, resized),
// out-of-range ones clipped; both counted in `census`.
void ToFrame(const void* samples, size_t count, const Format& format, const Mapping& mapping, void* frame,
    std::vector<bool>& invalid, Census& census);

// Physical values of frame pixels, NaN where `invalid` is set (when given).
void ToPhysical(const void* frame, int depth, size_t count, const Mapping& mapping, double* out,
    const std::vector<bool>* invalid = nullptr);

// The stored form of an integer output: BITPIX 16 or 32 by the depth, with
// BZERO and BSCALE making its physical values those of the mapping.
struct IntegerLayout {
    int bitpix = 16;
    double bzero = 32768, bscale = 1;
};
IntegerLayout StoredLayout(const Mapping& mapping);

// The extremes of the finite physical values of `count` samples (BLANK ones
// left out); (0, 0) when there is none.
std::pair<double, double> FiniteRange(const void* samples, size_t count, const Format& format);

// The mapping of one input, its data's range measured when needed.
Mapping MappingOf(const void* samples, size_t count, const Format& format, const MappingOptions& options);

// ToFrame, then the undefined pixels set to the median of the others, the
// neutral value for operations that read neighbours (`invalid` is left
// empty when there are none). Returns the warning line ("" when all was
// clean); `keepInvalid` says undefined pixels stay undefined in the output.
std::string MapOnto(const void* samples, size_t count, const Format& format, const Mapping& mapping, void* frame,
    std::vector<bool>& invalid, bool keepInvalid, const std::string& rangeName = "--range LO,HI");

} // namespace tamrix::intake
