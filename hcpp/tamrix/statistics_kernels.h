// Internal: the row kernels of the area statistics for each instruction set;
// statistics.cpp keeps their table.
//
// Plain declarations only: this header is included by files built for
// different instruction sets and must not carry inline code.
#pragma once

#include <cstdint>

namespace tamrix::stats {

// Minimum, maximum and exact integer sum of a run of pixels.
struct Extremes {
    uint32_t min, max;
    uint64_t sum;
};

// The squared deviations of a row are summed in kLanes running sums, pixel i
// of the row going to sum i % kLanes in row order; the sums are then added
// pairwise in a fixed order (statistics.cpp). Several running sums keep the
// vector units busy; like the per-thread partial sums, the grouping moves
// only the last bits of the deviation. Every variant keeps exactly this
// order, so all give the same bits.
constexpr int kLanes = 32;

} // namespace tamrix::stats

// The kernels of a level. Extremes folds the leading pixels of the run into
// *e and returns how many it took; DeviationLanes sums the leading whole
// blocks of kLanes pixels into lanes[0 .. kLanes - 1] (which it sets) and
// returns how many pixels that was. The per-pixel loops of statistics.cpp
// finish the run.
namespace tamrix::opt_baseline {
int Extremes(const uint16_t* p, int n, stats::Extremes* e);
int Extremes(const uint32_t* p, int n, stats::Extremes* e);
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes);
int DeviationLanes(const uint32_t* p, int n, double mean, double* lanes);
} // namespace tamrix::opt_baseline

namespace tamrix::opt_avx2 {
int Extremes(const uint16_t* p, int n, stats::Extremes* e);
int Extremes(const uint32_t* p, int n, stats::Extremes* e);
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes);
int DeviationLanes(const uint32_t* p, int n, double mean, double* lanes);
} // namespace tamrix::opt_avx2

namespace tamrix::opt_avx512 {
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes);
int DeviationLanes(const uint32_t* p, int n, double mean, double* lanes);
} // namespace tamrix::opt_avx512
