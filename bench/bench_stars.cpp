// Star detection on a 4096 x 4096 16-bit field with about 2000 stars: the
// parallel scan and the single-thread scan, whose time ratio is the parallel
// speed-up.
//
// The field is the synthetic light frame of support.h (2100 stars), or, to
// compare with another detector on the very same pixels, a raw little-endian
// 16-bit 4096 x 4096 file named by TAMRIX_STAR_FIELD (for example one written
// by a field generator). With TAMRIX_STAR_CSV set, the stars of one
// single-thread run are written there as x,y,flux,peak for scoring.
#include "support.h"
#include "tamrix.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tamrix::bench {
namespace {

constexpr int kHalfSize = 10; // 21 x 21 windows hold stars up to 19 pixels across
constexpr double kFactor = 3.0;
constexpr int kNeighbours = 2;

struct StarField {
    std::vector<uint16_t> pixels;
    unsigned startLevel;
};

// Start level: the sky's median plus three times its spread (half the 16 to
// 84 percentile range of every 61st pixel), as a host would set it.
unsigned StartLevel(const std::vector<uint16_t>& pixels)
{
    std::vector<uint16_t> sample;
    for (size_t i = 0; i < pixels.size(); i += 61)
        sample.push_back(pixels[i]);
    auto at = [&](double fraction) {
        auto it = sample.begin() + static_cast<std::ptrdiff_t>(fraction * (sample.size() - 1));
        std::nth_element(sample.begin(), it, sample.end());
        return static_cast<double>(*it);
    };
    const double median = at(0.5), spread = (at(0.84) - at(0.16)) / 2;
    return static_cast<unsigned>(median + 3 * spread);
}

const StarField& Field()
{
    static const StarField field = [] {
        StarField f{Frame<uint16_t>(Kind::Light), 0};
        if (const char* path = std::getenv("TAMRIX_STAR_FIELD")) {
            std::ifstream in(path, std::ios::binary);
            std::vector<uint16_t> raw(f.pixels.size());
            in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size() * 2));
            if (in.gcount() == static_cast<std::streamsize>(raw.size() * 2))
                f.pixels = std::move(raw); // little-endian host assumed, as x86-64 is
            else
                std::fprintf(stderr, "TAMRIX_STAR_FIELD: %s is not a 4096 x 4096 16-bit raw frame\n", path);
        }
        f.startLevel = StartLevel(f.pixels);
        std::fprintf(stderr, "star field: r %d, k %.1f, q %d, start level %u\n", kHalfSize, kFactor, kNeighbours,
                     f.startLevel);
        return f;
    }();
    return field;
}

void Count(void* context, int, int, double, double, double, unsigned)
{
    ++*static_cast<size_t*>(context);
}

void Write(void* context, int, int, double cx, double cy, double flux, unsigned peak)
{
    std::fprintf(static_cast<std::FILE*>(context), "%.4f,%.4f,%.2f,%u\n", cx, cy, flux, peak);
}

template <decltype(&tamrix::FindStars) Find>
void Detect(benchmark::State& state, unsigned startLevel)
{
    auto pixels = Field().pixels;
    std::vector<unsigned> mask((pixels.size() + 31) / 32);
    size_t stars = 0;
    for (auto _ : state) {
        std::fill(mask.begin(), mask.end(), 0u); // a fresh mask per frame, as a host has
        stars = 0;
        Find(kHalfSize, kFactor, kNeighbours, startLevel, pixels.data(), kSide, kSide, 2, mask.data(), &stars, Count);
    }
    state.counters["stars"] = static_cast<double>(stars);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

template <decltype(&tamrix::FindStars) Find>
void AtStartLevel(benchmark::State& state)
{
    Detect<Find>(state, Field().startLevel);
}

// Every scan position measured: the cost of the window measurement alone.
template <decltype(&tamrix::FindStars) Find>
void EveryPosition(benchmark::State& state)
{
    Detect<Find>(state, 0);
}

void WriteStars()
{
    const char* path = std::getenv("TAMRIX_STAR_CSV");
    if (!path)
        return;
    std::FILE* out = std::fopen(path, "w");
    if (!out)
        return;
    auto pixels = Field().pixels;
    std::vector<unsigned> mask((pixels.size() + 31) / 32);
    std::fprintf(out, "x,y,flux,peak\n");
    tamrix::FindStars1C(kHalfSize, kFactor, kNeighbours, Field().startLevel, pixels.data(), kSide, kSide, 2,
                        mask.data(), out, Write);
    std::fclose(out);
}

// Star detection is bound by the window arithmetic, not by memory, so these
// run without a streaming floor; the reference is the single-thread scan and
// a peer detector run beside on the same field.
void Register()
{
    const size_t pixels = size_t{kSide} * kSide;
    auto add = [pixels](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, [fn, pixels](benchmark::State& state) {
            fn(state);
            SetPixelRate(state, pixels);
        })->UseRealTime()->Unit(benchmark::kMillisecond);
    };
    add("FindStars/u16", &AtStartLevel<tamrix::FindStars>);
    add("FindStars1C/u16", &AtStartLevel<tamrix::FindStars1C>);
    add("FindStars/u16/every-position", &EveryPosition<tamrix::FindStars>);
    add("FindStars1C/u16/every-position", &EveryPosition<tamrix::FindStars1C>);
    if (std::getenv("TAMRIX_STAR_CSV"))
        benchmark::RegisterBenchmark("FindStars1C/u16/write-csv", [](benchmark::State& state) {
            for (auto _ : state)
                WriteStars();
        })->Iterations(1);
}

const int registered = (Register(), 0);

} // namespace
} // namespace tamrix::bench
