// The row kernels of the polynomial fills: every instruction set this
// processor runs gives the baseline's pixels and longest vector.
#include "hcpp/tamrix/polynom_kernels.h"
#include "hcpp/tamrix/cpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace tamrix::detail;

struct Variant {
    const char* name;
    bool supported;
    void (*fill16)(const PolynomRows&, int, int);
    void (*fill32)(const PolynomRows&, int, int);
    double (*field16)(const PolynomRows&, int, int);
    double (*field32)(const PolynomRows&, int, int);
};

std::vector<Variant> Variants()
{
    return {
        {"baseline", true, opt_baseline::FillRows16, opt_baseline::FillRows32, opt_baseline::FieldRows16,
         opt_baseline::FieldRows32},
        {"avx2", FrameIsa() >= Isa::Avx2, opt_avx2::FillRows16,
         opt_avx2::FillRows32, opt_avx2::FieldRows16, opt_avx2::FieldRows32},
        {"avx512", FrameIsa() >= Isa::Avx512, opt_avx512::FillRows16, opt_avx512::FillRows32, opt_avx512::FieldRows16, opt_avx512::FieldRows32},
    };
}

struct Result {
    std::vector<uint16_t> fill16, field16;
    std::vector<uint32_t> fill32, field32;
    double longest16, longest32;
};

Result RunKernels(const Variant& v, PolynomRows task)
{
    const size_t size = static_cast<size_t>(task.width) * task.height;
    Result r{std::vector<uint16_t>(size), std::vector<uint16_t>(size), std::vector<uint32_t>(size),
             std::vector<uint32_t>(size), 0, 0};
    task.frame = r.fill16.data();
    v.fill16(task, 0, task.height);
    task.frame = r.fill32.data();
    v.fill32(task, 0, task.height);
    task.frame = r.field16.data();
    r.longest16 = v.field16(task, 0, task.height);
    task.frame = r.field32.data();
    r.longest32 = v.field32(task, 0, task.height);
    return r;
}

// A width that leaves a partial chunk and partial vectors; pixel values
// across 0, 2^16, 2^31 and 2^32; with and without a NaN term.
TEST(PolynomKernels, AllInstructionSetsGiveTheSameBits)
{
    const int w = 517, h = 5;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> dist(-3.0, 3.0);
    double c[10], d[10];
    for (int t = 0; t < 10; ++t)
        c[t] = dist(rng), d[t] = dist(rng);
    const auto variants = Variants();
    for (double scale : {30000.0, 3e9})
        for (double term : {0.5, std::nan("")}) {
            c[4] = term;
            const PolynomRows task{nullptr, w, h, w / 2, h / 2, double(w), c, d, scale, 2e9};
            const Result expected = RunKernels(variants[0], task);
            for (const Variant& v : variants) {
                if (!v.supported)
                    continue;
                const Result got = RunKernels(v, task);
                EXPECT_EQ(got.fill16, expected.fill16) << v.name;
                EXPECT_EQ(got.fill32, expected.fill32) << v.name;
                EXPECT_EQ(got.field16, expected.field16) << v.name;
                EXPECT_EQ(got.field32, expected.field32) << v.name;
                EXPECT_EQ(got.longest16, expected.longest16) << v.name;
                EXPECT_EQ(got.longest32, expected.longest32) << v.name;
            }
        }
}

} // namespace
