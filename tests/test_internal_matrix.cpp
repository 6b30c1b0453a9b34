// The matrix class: checked access, the decomposition against a literal
// rendition of the textbook loops, and the back-substitution.
#include "hcpp/tamrix/matrix.h"
#include "isa_levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

Dense Random(uint32_t m, uint32_t n, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    Dense d{m, n, std::vector<double>(static_cast<size_t>(m) * n)};
    for (auto& x : d.a)
        x = dist(rng);
    return d;
}

void Load(CMatrix& matrix, Dense& d)
{
    for (uint32_t i = 1; i <= d.m; ++i)
        for (uint32_t j = 1; j <= d.n; ++j)
            matrix.set(i, j, d(i, j));
}

Dense Read(const CMatrix& matrix)
{
    Dense d{matrix.getDimM(), matrix.getDimN(), {}};
    for (uint32_t i = 1; i <= d.m; ++i)
        for (uint32_t j = 1; j <= d.n; ++j)
            d.a.push_back(matrix.get(i, j));
    return d;
}

double Sign(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }

// The textbook Golub-Reinsch loops, column by column, exactly as the library
// must reproduce them (1-based, as written down).
void LiteralDecompose(Dense& A, Dense& W, Dense& V)
{
    const uint32_t m = A.m, n = A.n;
    std::vector<double> e(n + 1, 0.0);
    std::fill(W.a.begin(), W.a.end(), 0.0);
    std::fill(V.a.begin(), V.a.end(), 0.0);
    double g = 0, scale = 0, anorm = 0, s, f, h, c, x, y, z;
    uint32_t l = 0, nm = 0;
    for (uint32_t i = 1; i <= n; i++) {
        l = i + 1;
        e[i] = scale * g;
        g = s = scale = 0.0;
        if (i <= m) {
            for (uint32_t k = i; k <= m; k++) scale += std::fabs(A(k, i));
            if (scale != 0.0) {
                for (uint32_t k = i; k <= m; k++) { A(k, i) /= scale; s += A(k, i) * A(k, i); }
                f = A(i, i); g = -Sign(std::sqrt(s), f); h = f * g - s; A(i, i) = f - g;
                for (uint32_t j = l; j <= n; j++) {
                    s = 0.0;
                    for (uint32_t k = i; k <= m; k++) s += A(k, i) * A(k, j);
                    f = s / h;
                    for (uint32_t k = i; k <= m; k++) A(k, j) += f * A(k, i);
                }
                for (uint32_t k = i; k <= m; k++) A(k, i) *= scale;
            }
        }
        W(i, i) = scale * g;
        g = s = scale = 0.0;
        if (i <= m && i != n) {
            for (uint32_t k = l; k <= n; k++) scale += std::fabs(A(i, k));
            if (scale != 0.0) {
                for (uint32_t k = l; k <= n; k++) { A(i, k) /= scale; s += A(i, k) * A(i, k); }
                f = A(i, l); g = -Sign(std::sqrt(s), f); h = f * g - s; A(i, l) = f - g;
                for (uint32_t k = l; k <= n; k++) e[k] = A(i, k) / h;
                for (uint32_t j = l; j <= m; j++) {
                    s = 0.0;
                    for (uint32_t k = l; k <= n; k++) s += A(j, k) * A(i, k);
                    for (uint32_t k = l; k <= n; k++) A(j, k) += s * e[k];
                }
                for (uint32_t k = l; k <= n; k++) A(i, k) *= scale;
            }
        }
        anorm = std::max(anorm, std::fabs(W(i, i)) + std::fabs(e[i]));
    }
    for (uint32_t i = n; i >= 1; i--) {
        if (i < n) {
            if (g != 0.0) {
                for (uint32_t j = l; j <= n; j++) V(j, i) = (A(i, j) / A(i, l)) / g;
                for (uint32_t j = l; j <= n; j++) {
                    s = 0.0;
                    for (uint32_t k = l; k <= n; k++) s += A(i, k) * V(k, j);
                    for (uint32_t k = l; k <= n; k++) V(k, j) += s * V(k, i);
                }
            }
            for (uint32_t j = l; j <= n; j++) V(i, j) = V(j, i) = 0.0;
        }
        V(i, i) = 1.0; g = e[i]; l = i;
    }
    for (uint32_t i = std::min(m, n); i >= 1; i--) {
        l = i + 1; g = W(i, i);
        for (uint32_t j = l; j <= n; j++) A(i, j) = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            for (uint32_t j = l; j <= n; j++) {
                s = 0.0;
                for (uint32_t k = l; k <= m; k++) s += A(k, i) * A(k, j);
                f = (s / A(i, i)) * g;
                for (uint32_t k = i; k <= m; k++) A(k, j) += f * A(k, i);
            }
            for (uint32_t j = i; j <= m; j++) A(j, i) *= g;
        } else {
            for (uint32_t j = i; j <= m; j++) A(j, i) = 0.0;
        }
        A(i, i) += 1.0;
    }
    for (uint32_t k = n; k >= 1; k--) {
        for (int its = 1; its <= 30; its++) {
            bool flag = true;
            for (l = k; l >= 1; l--) {
                nm = l - 1;
                if (std::fabs(e[l]) + anorm == anorm) { flag = false; break; }
                if (std::fabs(W(nm, nm)) + anorm == anorm) break;
            }
            if (flag) {
                c = 0.0; s = 1.0;
                for (uint32_t i = l; i <= k; i++) {
                    f = s * e[i]; e[i] = c * e[i];
                    if (std::fabs(f) + anorm == anorm) break;
                    g = W(i, i); h = hypotenuse(f, g); W(i, i) = h; h = 1.0 / h; c = g * h; s = -f * h;
                    for (uint32_t j = 1; j <= m; j++) {
                        y = A(j, nm); z = A(j, i); A(j, nm) = y * c + z * s; A(j, i) = z * c - y * s;
                    }
                }
            }
            z = W(k, k);
            if (l == k) {
                if (z < 0.0) { W(k, k) = -z; for (uint32_t j = 1; j <= n; j++) V(j, k) = -V(j, k); }
                break;
            }
            if (its == 30) break;
            x = W(l, l); nm = k - 1; y = W(nm, nm); g = e[nm]; h = e[k];
            f = ((y - z) * (y + z) + (g - h) * (h + g)) / (2.0 * h * y);
            g = hypotenuse(f, 1.0);
            f = ((x - z) * (x + z) + h * ((y / (f + Sign(g, f))) - h)) / x;
            c = s = 1.0;
            for (uint32_t j = l; j <= nm; j++) {
                const uint32_t i = j + 1;
                g = e[i]; y = W(i, i); h = s * g; g = c * g;
                z = hypotenuse(f, h); e[j] = z; c = f / z; s = h / z;
                f = x * c + g * s; g = g * c - x * s; h = y * s; y *= c;
                for (uint32_t jj = 1; jj <= n; jj++) {
                    x = V(jj, j); z = V(jj, i); V(jj, j) = x * c + z * s; V(jj, i) = z * c - x * s;
                }
                z = hypotenuse(f, h); W(j, j) = z;
                if (z != 0.0) { z = 1.0 / z; c = f * z; s = h * z; }
                f = c * g + s * y; x = c * y - s * g;
                for (uint32_t jj = 1; jj <= m; jj++) {
                    y = A(jj, j); z = A(jj, i); A(jj, j) = y * c + z * s; A(jj, i) = z * c - y * s;
                }
            }
            e[l] = 0.0; e[k] = f; W(k, k) = x;
        }
    }
}

struct Decomposed {
    Dense u, w, v;
};

Decomposed Decompose(Dense a)
{
    CMatrix A(a.m, a.n), W(a.n, a.n), V(a.n, a.n);
    Load(A, a);
    A.decompose(&W, &V);
    return {Read(A), Read(W), Read(V)};
}

bool BitIdentical(const Dense& x, const Dense& y)
{
    return x.a.size() == y.a.size()
        && (x.a.empty() || std::memcmp(x.a.data(), y.a.data(), x.a.size() * sizeof(double)) == 0);
}

// ---- The decomposition --------------------------------------------------

struct Shape {
    uint32_t m, n;
};

void PrintTo(const Shape& shape, std::ostream* os) { *os << shape.m << "x" << shape.n; }

class DecompositionShapes : public testing::TestWithParam<Shape> {};

// The row-pass regrouping must leave every bit as the textbook loops do,
// on tall, square and wide matrices, on row counts that leave partial
// blocks, and with rank deficiency.
TEST_P(DecompositionShapes, MatchesTheLiteralLoopsBitForBit)
{
    const Shape shape = GetParam();
    for (uint32_t seed : {1u, 2u}) {
        Dense a = Random(shape.m, shape.n, seed * 1000 + shape.m);
        if (seed == 2 && shape.n >= 3)
            for (uint32_t i = 1; i <= shape.m; ++i) {
                a(i, 2) = 0.0;          // a zero column
                a(i, 3) = 3.0 * a(i, 1); // and a dependent one
            }
        const Decomposed got = Decompose(a);
        Dense W{shape.n, shape.n, std::vector<double>(shape.n * shape.n)}, V = W;
        LiteralDecompose(a, W, V);
        EXPECT_TRUE(BitIdentical(got.u, a)) << "U, seed " << seed;
        EXPECT_TRUE(BitIdentical(got.w, W)) << "W, seed " << seed;
        EXPECT_TRUE(BitIdentical(got.v, V)) << "V, seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, DecompositionShapes,
                         testing::Values(Shape{1, 1}, Shape{2, 2}, Shape{7, 7}, Shape{40, 10}, Shape{1003, 10},
                                         Shape{10, 3}, Shape{4, 9}, Shape{1, 5}, Shape{0, 3},
                                         // enough sweeps to flush the recorded rotations more than once
                                         Shape{150, 130}),
                         [](const testing::TestParamInfo<Shape>& info) {
                             return std::to_string(info.param.m) + "x" + std::to_string(info.param.n);
                         });

TEST(Decomposition, OneByOneGivesNegativeUAndV)
{
    Dense a{1, 1, {2.5}};
    const Decomposed d = Decompose(a);
    EXPECT_EQ(d.u.a, std::vector<double>{-1.0});
    EXPECT_EQ(d.w.a, std::vector<double>{2.5});
    EXPECT_EQ(d.v.a, std::vector<double>{-1.0});
}

TEST(Decomposition, NoRowsGivesZeroValuesAndIdentityV)
{
    const Decomposed d = Decompose(Dense{0, 3, {}});
    EXPECT_EQ(d.w.a, std::vector<double>(9, 0.0));
    EXPECT_EQ(d.v.a, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));

    CMatrix U(0, 3), W(3, 3), V(3, 3), x(3, 1), b(0, 1);
    U.decompose(&W, &V);
    x.set(1, 7.0), x.set(2, 7.0), x.set(3, 7.0);
    U.backSubstitute(&W, &V, &x, &b);
    EXPECT_EQ(x.get(1), 0.0);
    EXPECT_EQ(x.get(2), 0.0);
    EXPECT_EQ(x.get(3), 0.0);
}

// U diag(w) V^T gives A back to rounding, the values are not negative, and
// a wide matrix has at least n - m values at rounding level.
TEST(Decomposition, ReproducesTheMatrix)
{
    for (const Shape shape : {Shape{10, 10}, Shape{60, 10}, Shape{25, 7}, Shape{3, 8}}) {
        Dense a = Random(shape.m, shape.n, 7);
        const Decomposed d = Decompose(a);
        Dense u = d.u, w = d.w, v = d.v;
        int tiny = 0;
        for (uint32_t j = 1; j <= shape.n; ++j) {
            EXPECT_GE(w(j, j), 0.0);
            tiny += w(j, j) < 1e-13;
        }
        if (shape.m < shape.n) {
            EXPECT_GE(tiny, static_cast<int>(shape.n - shape.m));
        }
        double worst = 0.0;
        for (uint32_t i = 1; i <= shape.m; ++i)
            for (uint32_t j = 1; j <= shape.n; ++j) {
                double sum = 0.0;
                for (uint32_t k = 1; k <= shape.n; ++k)
                    sum += u(i, k) * w(k, k) * v(j, k);
                worst = std::max(worst, std::fabs(sum - a(i, j)));
            }
        EXPECT_LT(worst, 4e-15) << shape.m << "x" << shape.n;
    }
}

// The rotations of the final pass at every instruction-set level this
// processor runs: many of them, over full and partial blocks of rows.
class RotationKernels : public tamrix::test::AtEveryLevel {};

TEST_P(RotationKernels, TheDecompositionMatchesTheLiteralLoopsBitForBit)
{
    Dense a = Random(1003, 10, 11);
    const Decomposed got = Decompose(a);
    Dense W{10, 10, std::vector<double>(100)}, V = W;
    LiteralDecompose(a, W, V);
    EXPECT_TRUE(BitIdentical(got.u, a));
    EXPECT_TRUE(BitIdentical(got.w, W));
    EXPECT_TRUE(BitIdentical(got.v, V));
}

TAMRIX_AT_EVERY_LEVEL(RotationKernels);

// ---- Back-substitution ----------------------------------------------------

TEST(BackSubstitution, SolvesASquareSystem)
{
    Dense a{3, 3, {2, 1, 0, 1, 3, 1, 0, 1, 4}};
    CMatrix A(3, 3), W(3, 3), V(3, 3), x(3, 1), b(3, 1);
    Load(A, a);
    A.decompose(&W, &V);
    // A (1, -2, 3)^T = (0, -2, 10)^T
    b.set(1, 0.0), b.set(2, -2.0), b.set(3, 10.0);
    A.backSubstitute(&W, &V, &x, &b);
    EXPECT_NEAR(x.get(1), 1.0, 1e-14);
    EXPECT_NEAR(x.get(2), -2.0, 1e-14);
    EXPECT_NEAR(x.get(3), 3.0, 1e-14);
}

// With the small singular value zeroed, the duplicated column shares the
// coefficient equally: the minimum-norm solution.
TEST(BackSubstitution, ZeroedValueGivesTheMinimumNormSolution)
{
    Dense a{4, 2, {1, 1, 2, 2, -1, -1, 3, 3}};
    CMatrix A(4, 2), W(2, 2), V(2, 2), x(2, 1), b(4, 1);
    Load(A, a);
    A.decompose(&W, &V);
    for (uint32_t j = 1; j <= 2; ++j)
        if (W.get(j, j) < 1e-10)
            W.set(j, j, 0.0);
    for (uint32_t i = 1; i <= 4; ++i)
        b.set(i, 4.0 * a(i, 1));
    A.backSubstitute(&W, &V, &x, &b);
    EXPECT_NEAR(x.get(1), 2.0, 1e-14);
    EXPECT_NEAR(x.get(2), 2.0, 1e-14);
}

// ---- Construction and the checks ----------------------------------------

TEST(Matrix, OverflowingSizesThrowInsteadOfAllocatingShort)
{
    EXPECT_THROW(CMatrix(65536, 65536), std::bad_alloc);
    EXPECT_THROW(CMatrix(0x80000000u, 2), std::bad_alloc);
    EXPECT_THROW(CMatrix(429496730u, 10), std::bad_alloc);
}

TEST(Matrix, OneIndexAccessServesRowsAndColumns)
{
    CMatrix column(5, 1), wide(3, 4);
    column.set(5, 1.5);
    EXPECT_EQ(column.get(5, 1), 1.5);
    wide.set(4, 2.5);
    EXPECT_EQ(wide.get(1, 4), 2.5);
}

TEST(Hypotenuse, AvoidsOverflowAndHandlesZero)
{
    EXPECT_EQ(hypotenuse(3.0, -4.0), 5.0);
    EXPECT_EQ(hypotenuse(0.0, 0.0), 0.0);
    EXPECT_EQ(hypotenuse(-2.0, 0.0), 2.0);
    EXPECT_DOUBLE_EQ(hypotenuse(3e300, 4e300), 5e300);
    EXPECT_DOUBLE_EQ(hypotenuse(3e-300, 4e-300), 5e-300);
}

class MatrixDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The checks hold in release builds and report the checked expression as the
// standard assertion message.
TEST_F(MatrixDeathTest, ElementCheck)
{
    CMatrix a(3, 4);
    EXPECT_DEATH(a.get(4, 1), "i <= DimM && j <= DimN");
    EXPECT_DEATH(a.set(1, 5, 0.0), "i <= DimM && j <= DimN");
}

TEST_F(MatrixDeathTest, OneIndexCheck)
{
    CMatrix column(5, 1), wide(3, 4);
    EXPECT_DEATH(column.get(6), "i <= DimM \\|\\| i <= DimN");
    EXPECT_DEATH(wide.set(5, 0.0), "i <= DimM \\|\\| i <= DimN");
}

TEST_F(MatrixDeathTest, IndexZeroIsRejected)
{
    CMatrix a(3, 4);
    EXPECT_DEATH(a.get(0, 1), "i >= 1 && j >= 1");
    EXPECT_DEATH(a.get(0), "i >= 1");
}

TEST_F(MatrixDeathTest, ShapeChecksOfWThenV)
{
    CMatrix a(4, 3), good(3, 3), wide(3, 4), small(2, 2);
    EXPECT_DEATH(a.decompose(&wide, &good), "W->getDimM\\(\\) == W->getDimN\\(\\) && W->getDimM\\(\\) == DimN");
    EXPECT_DEATH(a.decompose(&small, &good), "W->getDimM\\(\\) == W->getDimN\\(\\) && W->getDimM\\(\\) == DimN");
    EXPECT_DEATH(a.decompose(&good, &small), "V->getDimM\\(\\) == V->getDimN\\(\\) && V->getDimM\\(\\) == DimN");
}

TEST_F(MatrixDeathTest, BackSubstitutionChecksItsVectors)
{
    CMatrix a(4, 3), w(3, 3), v(3, 3), x(3, 1), shortX(2, 1), shortB(3, 1), b(4, 1);
    for (uint32_t i = 1; i <= 4; ++i)
        for (uint32_t j = 1; j <= 3; ++j)
            a.set(i, j, i == j ? 1.0 : 0.0);
    a.decompose(&w, &v);
    EXPECT_DEATH(a.backSubstitute(&w, &v, &shortX, &b), "i <= DimM \\|\\| i <= DimN");
    EXPECT_DEATH(a.backSubstitute(&w, &v, &x, &shortB), "i <= DimM \\|\\| i <= DimN");
}

} // namespace
