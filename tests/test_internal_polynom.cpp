// The polynomial fills at every instruction-set level this processor runs
// give the baseline's pixels and grid of marks.
#include "isa_levels.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using tamrix::test::CapTo;

struct Result {
    std::vector<uint16_t> fill16, field16;
    std::vector<uint32_t> fill32, field32;
};

Result Render(int w, int h, const double* c, const double* d, double scale)
{
    const size_t size = static_cast<size_t>(w) * h;
    Result r{std::vector<uint16_t>(size), std::vector<uint16_t>(size), std::vector<uint32_t>(size),
             std::vector<uint32_t>(size)};
    tamrix::FillFrameWithPolynom(r.fill16.data(), w, h, 2, scale, 2000000000, c[0], c[1], c[2], c[3], c[4], c[5],
                                 c[6], c[7], c[8], c[9]);
    tamrix::FillFrameWithPolynom(r.fill32.data(), w, h, 4, scale, 2000000000, c[0], c[1], c[2], c[3], c[4], c[5],
                                 c[6], c[7], c[8], c[9]);
    auto field = [&](void* frame, int depth) {
        tamrix::FillFrameWithPolynoms(frame, w, h, depth, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9],
                                      d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    };
    field(r.field16.data(), 2);
    field(r.field32.data(), 4);
    return r;
}

class PolynomKernels : public tamrix::test::AtEveryLevel {};

// A width that leaves a partial chunk and partial vectors; pixel values
// across 0, 2^16, 2^31 and 2^32; with and without a NaN term.
TEST_P(PolynomKernels, GiveTheBaselinesBits)
{
    const int w = 517, h = 5;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> dist(-3.0, 3.0);
    double c[10], d[10];
    for (int t = 0; t < 10; ++t)
        c[t] = dist(rng), d[t] = dist(rng) * 0.01;
    for (double scale : {30000.0, 3e9})
        for (double term : {0.5, std::nan("")}) {
            c[4] = term;
            Result expected;
            {
                CapTo baseline(tamrix::isa::Level::Baseline);
                expected = Render(w, h, c, d, scale);
            }
            const Result got = Render(w, h, c, d, scale);
            EXPECT_EQ(got.fill16, expected.fill16) << scale << ", " << term;
            EXPECT_EQ(got.fill32, expected.fill32) << scale << ", " << term;
            EXPECT_EQ(got.field16, expected.field16) << scale << ", " << term;
            EXPECT_EQ(got.field32, expected.field32) << scale << ", " << term;
        }
}

TAMRIX_AT_EVERY_LEVEL(PolynomKernels);

} // namespace
