// The matrix class: checked access, the decomposition's defining properties
// and its bits at every level (the back-substitution is FitSurface's, in
// test_fit.cpp and the soak).
#include "hcpp/tamrix/matrix.h"
#include "isa_levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <vector>

using tamrix::detail::CMatrix;
using tamrix::detail::hypotenuse;

namespace {

// Dense m x n values, row-major, for building and reading matrices.
struct Dense {
    uint32_t m, n;
    std::vector<double> a;
    double& operator()(uint32_t i, uint32_t j) { return a[(i - 1) * n + (j - 1)]; }
};

Dense Read(const CMatrix& matrix)
{
    Dense d { matrix.getDimM(), matrix.getDimN(), {} };
    for (uint32_t i = 1; i <= d.m; ++i)
        for (uint32_t j = 1; j <= d.n; ++j)
            d.a.push_back(matrix.get(i, j));
    return d;
}

struct Decomposed {
    Dense u, w, v;
};

Decomposed Decompose(Dense a)
{
    CMatrix A(a.m, a.n), W(a.n, a.n), V(a.n, a.n);
    for (uint32_t i = 1; i <= a.m; ++i)
        for (uint32_t j = 1; j <= a.n; ++j)
            A.set(i, j, a(i, j));
    A.decompose(&W, &V);
    return { Read(A), Read(W), Read(V) };
}

// ---- The decomposition --------------------------------------------------

// Tall, square and wide matrices, partial blocks of rows, rank deficiency
// (a zero column and a dependent one), enough sweeps to flush the recorded
// rotations more than once.
std::vector<Dense> Shapes()
{
    const uint32_t shapes[][2] = { { 1, 1 }, { 7, 7 }, { 1003, 10 }, { 10, 3 }, { 4, 9 }, { 0, 3 }, { 150, 130 } };
    std::vector<Dense> matrices;
    for (const auto& [m, n] : shapes) {
        std::mt19937_64 rng(1000 + m);
        std::uniform_real_distribution<double> dist(-1.0, 1.0);
        Dense a { m, n, std::vector<double>(static_cast<size_t>(m) * n) };
        for (auto& x : a.a)
            x = dist(rng);
        if (n >= 3 && m != 1003)
            for (uint32_t i = 1; i <= m; ++i)
                a(i, 2) = 0.0, a(i, 3) = 3.0 * a(i, 1);
        matrices.push_back(a);
    }
    return matrices;
}

// What defines the decomposition: W diagonal and not negative, V orthogonal,
// the columns of U orthonormal where their value is not zero, and U W V^T
// giving back A.
TEST(Decomposition, GivesOrthogonalFactorsThatRebuildTheMatrix)
{
    for (Dense a : Shapes()) {
        const uint32_t m = a.m, n = a.n;
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        Decomposed d = Decompose(a);
        for (uint32_t i = 1; i <= n; ++i)
            for (uint32_t j = 1; j <= n; ++j) {
                double vv = 0, uu = 0;
                for (uint32_t k = 1; k <= n; ++k)
                    vv += d.v(k, i) * d.v(k, j);
                for (uint32_t k = 1; k <= m; ++k)
                    uu += d.u(k, i) * d.u(k, j);
                EXPECT_NEAR(vv, i == j, 1e-12) << i << "," << j;
                if (d.w(i, i) > 1e-9 && d.w(j, j) > 1e-9) {
                    EXPECT_NEAR(uu, i == j, 1e-12) << i << "," << j;
                }
                EXPECT_TRUE(i == j ? d.w(i, i) >= 0.0 : d.w(i, j) == 0.0) << i << "," << j;
            }
        for (uint32_t i = 1; i <= m; ++i)
            for (uint32_t j = 1; j <= n; ++j) {
                double sum = 0;
                for (uint32_t k = 1; k <= n; ++k)
                    sum += d.u(i, k) * d.w(k, k) * d.v(j, k);
                ASSERT_NEAR(sum, a(i, j), 1e-12) << i << "," << j;
            }
    }
}

// At every instruction-set level, the row-pass regrouping and the rotations
// of the final pass leave every bit as the baseline loops do.
class Decomposition : public tamrix::test::AtEveryLevel { };

TEST_P(Decomposition, EveryLevelGivesTheBaselineBits)
{
    for (const Dense& a : Shapes()) {
        const Decomposed got = Decompose(a);
        tamrix::test::CapTo baseline(tamrix::isa::Level::Baseline);
        const Decomposed expected = Decompose(a);
        EXPECT_TRUE(got.u.a == expected.u.a && got.w.a == expected.w.a && got.v.a == expected.v.a)
            << a.m << "x" << a.n;
    }
}

TAMRIX_AT_EVERY_LEVEL(Decomposition);

TEST(Decomposition, NoRowsGivesZeroValuesAndIdentityVAndSolvesToZero)
{
    CMatrix U(0, 3), W(3, 3), V(3, 3), x(3, 1), b(0, 1);
    U.decompose(&W, &V);
    EXPECT_EQ(Read(W).a, std::vector<double>(9, 0.0));
    EXPECT_EQ(Read(V).a, (std::vector<double> { 1, 0, 0, 0, 1, 0, 0, 0, 1 }));
    x.set(1, 7.0), x.set(2, 7.0), x.set(3, 7.0);
    U.backSubstitute(&W, &V, &x, &b);
    EXPECT_EQ(x.get(1) + x.get(2) + x.get(3), 0.0);
}

// ---- Construction and the checks ----------------------------------------

TEST(Matrix, OverflowingSizesThrowInsteadOfAllocatingShort)
{
    EXPECT_THROW(CMatrix(65536, 65536), std::bad_alloc); // 2^32 elements: one too many for 32 bits
}

TEST(Hypotenuse, AvoidsOverflowAndHandlesZero)
{
    EXPECT_EQ(hypotenuse(3.0, -4.0), 5.0);
    EXPECT_EQ(hypotenuse(0.0, 0.0), 0.0);
    EXPECT_EQ(hypotenuse(-2.0, 0.0), 2.0);
    EXPECT_DOUBLE_EQ(hypotenuse(3e300, 4e300), 5e300);
}

// The checks hold in release builds and report the checked expression as the
// standard assertion message.
TEST(MatrixDeathTest, ChecksIndicesShapesAndVectors)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CMatrix a(4, 3), good(3, 3), wide(3, 4), small(2, 2), x(3, 1), shortX(2, 1), shortB(3, 1), b(4, 1);
    EXPECT_DEATH(a.get(5, 1), "i <= DimM && j <= DimN");
    EXPECT_DEATH(a.set(1, 4, 0.0), "i <= DimM && j <= DimN");
    EXPECT_DEATH(a.get(0, 1), "i >= 1 && j >= 1");
    EXPECT_DEATH(a.get(0), "i >= 1");
    const char* w = "W->getDimM\\(\\) == W->getDimN\\(\\) && W->getDimM\\(\\) == DimN";
    EXPECT_DEATH(a.decompose(&wide, &good), w);
    EXPECT_DEATH(a.decompose(&small, &good), w);
    EXPECT_DEATH(a.decompose(&good, &small), "V->getDimM\\(\\) == V->getDimN\\(\\) && V->getDimM\\(\\) == DimN");
    good.set(1, 1, 1.0); // a non-zero value, so that b is read
    EXPECT_DEATH(a.backSubstitute(&good, &good, &shortX, &b), "i <= DimM \\|\\| i <= DimN");
    EXPECT_DEATH(a.backSubstitute(&good, &good, &x, &shortB), "i <= DimM \\|\\| i <= DimN");
}

} // namespace
