#include "support.h"
#include "tamrix.h"

#include <array>
#include <random>

namespace tamrix::bench {
namespace {

// Records in normalised coordinates whose differences follow two cubic
// surfaces plus 1e-4 noise, as a host fitting a distortion field has them.
std::vector<double> Points(int count)
{
    std::mt19937_64 rng(4 + count);
    std::uniform_real_distribution<double> unit(-0.5, 0.5);
    std::normal_distribution<double> noise(0.0, 1e-4);
    const std::array<double, 10> a = {1e-3, -2e-3, 5e-4, 3e-4, 2e-3, -1e-3, 4e-3, 1e-2, -3e-3, 0.5};
    const std::array<double, 10> b = {-5e-4, 1e-3, 2e-4, -3e-4, 1e-3, 2e-3, -2e-3, 2e-3, 1.1e-2, -0.25};
    auto cubic = [](const std::array<double, 10>& c, double x, double y) {
        return c[0] * x * x * x + c[1] * y * y * y + c[2] * x * x * y + c[3] * x * y * y + c[4] * x * x
            + c[5] * y * y + c[6] * x * y + c[7] * x + c[8] * y + c[9];
    };
    std::vector<double> points;
    for (int k = 0; k < count; ++k) {
        const double x = unit(rng), y = unit(rng);
        points.insert(points.end(), {x, y, x - cubic(a, x, y) - noise(rng), y - cubic(b, x, y) - noise(rng)});
    }
    return points;
}

void FitBench(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    auto points = Points(count);
    std::array<double, 20> out{};
    for (auto _ : state) {
        double* o = out.data();
        tamrix::FitSurface(points.data(), count, o, o + 1, o + 2, o + 3, o + 4, o + 5, o + 6, o + 7, o + 8, o + 9,
                           o + 10, o + 11, o + 12, o + 13, o + 14, o + 15, o + 16, o + 17, o + 18, o + 19);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns/point"] = benchmark::Counter(1e-9 * count, benchmark::Counter::kIsIterationInvariantRate
                                                                   | benchmark::Counter::kInvert);
}

// A mild distortion field: a few pixels at the corners of a 4096 frame.
constexpr double kFieldX[10] = {1e-4, -2e-4, 5e-5, 3e-5, 2e-4, -1e-4, 4e-4, 1e-3, -3e-4, 2e-4};
constexpr double kFieldY[10] = {-5e-5, 1e-4, 2e-5, -3e-5, 1e-4, 2e-4, -2e-4, 2e-4, 1.1e-3, -1e-4};

template <class Pixel>
void PolynomBench(benchmark::State& state)
{
    std::vector<Pixel> frame(size_t{kSide} * kSide);
    const double* c = kFieldX;
    for (auto _ : state) {
        tamrix::FillFrameWithPolynom(frame.data(), kSide, kSide, Depth<Pixel>(), 1000.0, 1000, c[0], c[1], c[2],
                                     c[3], c[4], c[5], c[6], c[7], c[8], c[9]);
        benchmark::DoNotOptimize(frame.data());
    }
}

template <class Pixel>
void PolynomsBench(benchmark::State& state)
{
    std::vector<Pixel> frame(size_t{kSide} * kSide);
    const double *c = kFieldX, *d = kFieldY;
    for (auto _ : state) {
        tamrix::FillFrameWithPolynoms(frame.data(), kSide, kSide, Depth<Pixel>(), c[0], c[1], c[2], c[3], c[4], c[5],
                                      c[6], c[7], c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8],
                                      d[9]);
        benchmark::DoNotOptimize(frame.data());
    }
}

template <class Pixel>
void Register()
{
    const size_t pixels = size_t{kSide} * kSide, bytes = pixels * sizeof(Pixel);
    RegisterWithFloor(std::string("FillFrameWithPolynom/") + DepthName<Pixel>(), pixels, 0, bytes,
                      &PolynomBench<Pixel>);
    RegisterWithFloor(std::string("FillFrameWithPolynoms/") + DepthName<Pixel>(), pixels, 0, bytes,
                      &PolynomsBench<Pixel>);
}

const int registered = (Register<uint16_t>(), Register<uint32_t>(),
                        benchmark::RegisterBenchmark("FitSurface", &FitBench)
                            ->Arg(1000)
                            ->Arg(100000)
                            ->UseRealTime()
                            ->Unit(benchmark::kMillisecond),
                        0);

} // namespace
} // namespace tamrix::bench
