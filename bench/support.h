// Shared pieces of the benchmarks: deterministic synthetic sky frames, the
// memory-bandwidth floor, and the naming that pairs an operation with its
// floor in the summary.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tamrix::bench {

constexpr int kSide = 4096;

enum class Kind { Light, Dark, Flat };

// A 4096 x 4096 frame: sky background with a gradient, Gaussian noise and
// stars (light), a dark with hot pixels, or a vignetted flat. The same seed
// gives the same frame on every run; 32-bit frames hold the 16-bit values.
template <class Pixel>
const std::vector<Pixel>& Frame(Kind kind);

// Reads readBytes and writes writeBytes as plain streams over rows with the
// same parallel loop as the operations. Its time is the floor an operation
// moving those bytes cannot beat.
void StreamFloor(benchmark::State& state, size_t readBytes, size_t writeBytes);

// Registers "name" and "name/floor": the operation, and the streaming floor
// for the same byte counts. pixels sets the Mpx/s counter.
void RegisterWithFloor(const std::string& name, size_t pixels, size_t readBytes, size_t writeBytes,
                       void (*op)(benchmark::State&));

void SetPixelRate(benchmark::State& state, size_t pixels);

template <class Pixel>
constexpr int Depth() { return sizeof(Pixel) == 2 ? 2 : 4; }

template <class Pixel>
const char* DepthName() { return sizeof(Pixel) == 2 ? "u16" : "u32"; }

} // namespace tamrix::bench
