// Dense matrix, singular value decomposition and back-substitution.
//
// The decomposition is the Golub-Reinsch variant whose textbook loops fix the
// signs of U, W and V, leave the singular values unsorted and give up on a
// value after 30 passes. Its arithmetic, down to the order of every sum, is
// that of those loops. Only the order in which independent elements are
// visited differs: the textbook walks U column by column, which on a tall
// row-major matrix (the surface fit decomposes count x 10) reads the whole
// matrix once per column operation. Here the column operations are regrouped
// into passes over whole rows:
// - Householder reduction: per column, one pass for the dot products of the
//   column reflector with the other columns, and one that applies it, applies
//   the row reflector of the same step and gathers the next column;
// - accumulation of the left-hand transformations: the update of step i and
//   the dot products of step i - 1 share one pass;
// - the QR sweeps never read U, so their rotations of U are recorded and
//   applied row by row in the final pass of the accumulation.
// Every element still sees the same operations in the same order, so U, W
// and V are bit-identical to the textbook loops' (the white-box test holds a
// literal rendition).
#include "hcpp/tamrix/matrix.h"
#include "hcpp/tamrix/isa.h"
#include "hcpp/tamrix/matrix_kernels.h"
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>
#include <vector>

// The index and shape checks are contracts that stay active in release
// builds: assert is enabled for this file whatever the build type says.
#undef NDEBUG
#include <cassert>

namespace tamrix::opt_baseline {
#include "hcpp/tamrix/matrix.simd.h"
} // namespace tamrix::opt_baseline

namespace tamrix::detail {

double hypotenuse(double a, double b)
{
    const double p = std::fabs(a), q = std::fabs(b);
    if (p > q) {
        const double r = q / p;
        return p * std::sqrt(1.0 + r * r);
    }
    if (q == 0.0)
        return 0.0;
    const double r = p / q;
    return q * std::sqrt(1.0 + r * r);
}

namespace {

// |a| with the sign of b (b = -0.0 counts as positive).
double Sign(double a, double b)
{
    return b >= 0.0 ? std::fabs(a) : -std::fabs(a);
}

// The row kernels below run over the columns l .. n - 1 of a row. Widths up
// to 15 are compile-time constants, so that the short loops unroll and
// their sums and factors stay in registers; wider matrices take the same
// code with a run-time width and memory operands.
template <uint32_t W>
struct FixedWidth {
    static constexpr bool kFixed = true;
    constexpr uint32_t operator()() const { return W; }
};
struct AnyWidth {
    static constexpr bool kFixed = false;
    uint32_t w;
    uint32_t operator()() const { return w; }
};
constexpr uint32_t kFixedWidths = 16;

template <class Fn, uint32_t... W>
void WithWidthOf(uint32_t w, Fn& fn, std::integer_sequence<uint32_t, W...>)
{
    const bool fixed = ((w == W ? (fn(FixedWidth<W>{}), true) : false) || ...);
    if (!fixed)
        fn(AnyWidth{w});
}

template <class Fn>
void WithWidth(uint32_t w, Fn&& fn)
{
    WithWidthOf(w, fn, std::make_integer_sequence<uint32_t, kFixedWidths>{});
}

// w values of a row kernel: for fixed widths a local array (kept in
// registers), loaded from memory when asked; otherwise the memory itself.
template <class Width>
struct Lanes {
    Lanes(Width width, const double* memory, bool load) : p(Width::kFixed ? local : const_cast<double*>(memory))
    {
        if (Width::kFixed && load)
            for (uint32_t j = 0; j < width(); ++j)
                local[j] = memory[j];
    }
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;
    double& operator[](uint32_t j) { return p[j]; }

    double local[Width::kFixed ? kFixedWidths : 1] = {};
    double* p;
};

// dots[j] = sum over rows k = i .. m - 1 of col[k] * A(k, l + j), in row
// order.
template <class Width>
void ColumnDots(Width width, const double* a, uint32_t n, uint32_t i, uint32_t m, uint32_t l, const double* col,
                double* dots)
{
    const uint32_t w = width();
    Lanes acc(width, dots, false);
    for (uint32_t j = 0; j < w; ++j)
        acc[j] = 0.0;
    for (uint32_t k = i; k < m; ++k) {
        const double* r = a + static_cast<size_t>(k) * n + l;
        const double ak = col[k];
        for (uint32_t j = 0; j < w; ++j)
            acc[j] += ak * r[j];
    }
    for (uint32_t j = 0; j < w; ++j)
        dots[j] = acc[j];
}

// Rows k = l .. m - 1 of reduction step i: the column reflector (factors f,
// column col, scale back by columnScale), then the row reflector (row i's
// values ri and multipliers e over columns l..), then the next column
// gathered into col. Returns the sum of its magnitudes in row order.
template <class Width>
double ReductionRows(Width width, double* a, uint32_t n, uint32_t i, uint32_t m, uint32_t l, bool columnReflector,
                     const double* factors, double columnScale, double* col, bool rowReflector, const double* ri,
                     const double* e)
{
    const uint32_t w = width();
    Lanes f(width, factors, columnReflector), rr(width, ri, rowReflector), ee(width, e, rowReflector);
    const bool gather = w > 0;
    double sum = 0.0;
    for (uint32_t k = l; k < m; ++k) {
        double* __restrict row = a + static_cast<size_t>(k) * n;
        double* __restrict r = row + l;
        if (columnReflector) {
            const double ak = col[k];
            for (uint32_t j = 0; j < w; ++j)
                r[j] += f[j] * ak;
            row[i] = ak * columnScale;
        }
        if (rowReflector) {
            double d = 0.0;
            for (uint32_t j = 0; j < w; ++j)
                d += r[j] * rr[j];
            for (uint32_t j = 0; j < w; ++j)
                r[j] += d * ee[j];
        }
        if (gather) {
            col[k] = r[0];
            sum += std::fabs(r[0]);
        }
    }
    return sum;
}

// A step p of the left-hand accumulation, for one row: the columns
// p + 1 .. n - 1 (width w) take factor * A(k, p), then A(k, p) is scaled by
// g, or zeroed when the singular value was 0; the diagonal gets its 1.
struct LeftStep {
    uint32_t p;
    bool nonzero;
    double g;
    const double* factors; // of columns p + 1 ..
};

template <class Width, class Factors>
inline void ApplyLeftStep(Width width, const LeftStep& step, Factors& f, double* __restrict row, uint32_t k)
{
    const uint32_t w = width();
    const uint32_t p = step.p;
    if (step.nonzero) {
        const double ap = row[p];
        double* __restrict r = row + p + 1;
        for (uint32_t j = 0; j < w; ++j)
            r[j] += f[j] * ap;
        row[p] = ap * step.g;
    } else {
        row[p] = 0.0;
    }
    if (k == p)
        row[p] += 1.0;
}

// Rows k = i + 1 .. m - 1 of the left-hand accumulation: the pending step
// i + 1 (if any, width w - 1), then the dot products of step i,
// dots[j] = sum over k of A(k, i) * A(k, i + 1 + j), in row order.
template <class Width>
void LeftRows(Width width, double* a, uint32_t n, uint32_t i, uint32_t m, const LeftStep* pending, bool wantDots,
              double* dots)
{
    const uint32_t w = width();
    const uint32_t l = i + 1;
    Lanes acc(width, dots, false);
    for (uint32_t j = 0; j < w; ++j)
        acc[j] = 0.0;
    auto run = [&](auto pendingWidth) {
        Lanes f(pendingWidth, pending ? pending->factors : nullptr, pending && pending->nonzero);
        for (uint32_t k = l; k < m; ++k) {
            double* __restrict row = a + static_cast<size_t>(k) * n;
            if (pending)
                ApplyLeftStep(pendingWidth, *pending, f, row, k);
            if (wantDots) {
                const double ak = row[i];
                const double* __restrict r = row + l;
                for (uint32_t j = 0; j < w; ++j)
                    acc[j] += ak * r[j];
            }
        }
    };
    if constexpr (Width::kFixed) {
        if constexpr (Width{}() > 0)
            run(FixedWidth<Width{}() - 1>{});
        else
            run(FixedWidth<0>{});
    } else {
        run(AnyWidth{w > 0 ? w - 1 : 0});
    }
    for (uint32_t j = 0; j < w; ++j)
        dots[j] = acc[j];
}

// The rotation kernel of each level; they all give the same bits.
using RotateFn = void (*)(double*, const Rotation*, size_t);
constexpr RotateFn kRotateLanes[isa::kLevelCount] = {&opt_baseline::RotateLanes, &opt_baseline::RotateLanes,
                                                     &opt_baseline::RotateLanes, &opt_avx2::RotateLanes,
                                                     &opt_avx512::RotateLanes,   &opt_avx512::RotateLanes};

// One decomposition of the m x n row-major matrix a into U (in place), the
// diagonal of w and v, both n x n row-major. Indices are 0-based here; the
// shapes were checked by the caller, so every index below is in range by
// construction and the storage is addressed directly.
class Decomposition {
public:
    Decomposition(double* a, uint32_t m, uint32_t n, double* w, double* v)
        : a_(a), m_(m), n_(n), w_(w), v_(v), e_(n, 0.0), column_(m), dots_(n), factors_(n),
          block_(static_cast<size_t>(n) * kBlock, 0.0), rotate_(isa::Pick(kRotateLanes))
    {
        rotations_.reserve(std::min<size_t>(kMaxRotations, 64 * static_cast<size_t>(n) + 64));
    }

    void Run()
    {
        std::fill(w_, w_ + static_cast<size_t>(n_) * n_, 0.0);
        std::fill(v_, v_ + static_cast<size_t>(n_) * n_, 0.0);
        Bidiagonalise();
        AccumulateRight();
        AccumulateLeft();
        Diagonalise();
        FinishRows();
    }

private:
    // Rows of U rotated together in the final pass, as columns of a small
    // transposed block, so that the recorded rotations run over contiguous
    // lanes instead of one long dependency chain per row.
    static constexpr uint32_t kBlock = kRotationLanes;
    // Rotations recorded before they are applied; more are flushed in extra
    // passes, which keeps the memory bounded for large n.
    static constexpr size_t kMaxRotations = 8192;

    double* Row(uint32_t k) { return a_ + static_cast<size_t>(k) * n_; }
    double& Wd(uint32_t i) { return w_[static_cast<size_t>(i) * n_ + i]; }
    double& V(uint32_t i, uint32_t j) { return v_[static_cast<size_t>(i) * n_ + j]; }

    void Bidiagonalise();
    void AccumulateRight();
    void AccumulateLeft();
    void Diagonalise();
    void Record(uint32_t p, uint32_t q, double c, double s);
    void FinishRows();
    void RotateBlock(double* rows, uint32_t count);

    double* a_;
    uint32_t m_, n_;
    double* w_;
    double* v_;
    double anorm_ = 0.0;
    std::vector<double> e_;       // superdiagonal of the bidiagonal form
    std::vector<double> column_;  // the column being reflected, contiguous
    std::vector<double> dots_;    // dot products of one pass, per column
    std::vector<double> factors_; // multipliers of a reflector, per column
    std::vector<double> block_;   // n x kBlock transposed rows
    std::vector<Rotation> rotations_;
    RotateFn rotate_;

    // A step of the left-hand accumulation still to be applied to rows
    // p .. m - 1.
    bool pending_ = false;
    LeftStep pendingStep_{};
};

// Householder reduction to bidiagonal form: for each i, a column reflector
// zeroes A(i+1.., i), then a row reflector zeroes A(i, i+2..).
void Decomposition::Bidiagonalise()
{
    const uint32_t m = m_, n = n_;
    double g = 0.0, scale = 0.0, s = 0.0;
    // The sum of |A(k, i)| over k >= i for the coming column, in row order.
    double columnSum = 0.0;
    for (uint32_t k = 0; k < m && n > 0; ++k) {
        column_[k] = Row(k)[0];
        columnSum += std::fabs(column_[k]);
    }
    double* col = column_.data();
    double* dots = dots_.data();
    double* factors = factors_.data();
    double* e = e_.data();

    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t l = i + 1;
        e[i] = scale * g;
        g = s = scale = 0.0;

        // Column reflector: form it on the gathered column, then the dot
        // products with columns l.. over rows i..m-1 in one pass.
        bool columnReflector = false;
        double columnScale = 0.0;
        if (i < m) {
            scale = columnSum;
            if (scale != 0.0) {
                for (uint32_t k = i; k < m; ++k) {
                    col[k] /= scale;
                    s += col[k] * col[k];
                }
                const double f = col[i];
                g = -Sign(std::sqrt(s), f);
                const double h = f * g - s;
                col[i] = f - g;
                WithWidth(n - l, [&](auto width) { ColumnDots(width, a_, n, i, m, l, col, dots + l); });
                for (uint32_t j = l; j < n; ++j)
                    factors[j] = dots[j] / h;
                columnReflector = true;
                columnScale = scale;
            }
        }

        // Row i takes the column reflector first: the row reflector is
        // formed from the result.
        double* ri = i < m ? Row(i) : nullptr;
        if (columnReflector) {
            const double ak = col[i];
            for (uint32_t j = l; j < n; ++j)
                ri[j] += factors[j] * ak;
            ri[i] = ak * columnScale;
        }
        Wd(i) = scale * g;
        g = s = scale = 0.0;

        bool rowReflector = false;
        if (i < m && i != n - 1) {
            for (uint32_t k = l; k < n; ++k)
                scale += std::fabs(ri[k]);
            if (scale != 0.0) {
                for (uint32_t k = l; k < n; ++k) {
                    ri[k] /= scale;
                    s += ri[k] * ri[k];
                }
                const double f = ri[l];
                g = -Sign(std::sqrt(s), f);
                const double h = f * g - s;
                ri[l] = f - g;
                for (uint32_t k = l; k < n; ++k)
                    e[k] = ri[k] / h;
                rowReflector = true;
            }
        }

        // Rows below: column reflector, row reflector (which reads row i as
        // it stands before its final scaling), and the next column with
        // its sum.
        columnSum = 0.0;
        if (l < m)
            WithWidth(n - l, [&](auto width) {
                columnSum = ReductionRows(width, a_, n, i, m, l, columnReflector, factors + l, columnScale, col,
                                          rowReflector, ri + l, e + l);
            });
        if (rowReflector)
            for (uint32_t k = l; k < n; ++k)
                ri[k] *= scale;

        const double norm = std::fabs(Wd(i)) + std::fabs(e[i]);
        if (norm > anorm_)
            anorm_ = norm;
    }
}

// Accumulation of the right-hand transformations into V (n x n, reads only
// the first rows of A).
void Decomposition::AccumulateRight()
{
    const uint32_t n = n_;
    double g = 0.0;
    uint32_t l = n;
    for (uint32_t i = n; i-- > 0;) {
        if (i + 1 < n) {
            // g = e(i + 1) is non-zero only where a row reflector was formed,
            // that is for a row i that exists.
            if (g != 0.0) {
                const double* ri = Row(i);
                for (uint32_t j = l; j < n; ++j)
                    V(j, i) = (ri[j] / ri[l]) / g;
                for (uint32_t j = l; j < n; ++j) {
                    double s = 0.0;
                    for (uint32_t k = l; k < n; ++k)
                        s += ri[k] * V(k, j);
                    for (uint32_t k = l; k < n; ++k)
                        V(k, j) += s * V(k, i);
                }
            }
            for (uint32_t j = l; j < n; ++j)
                V(i, j) = V(j, i) = 0.0;
        }
        V(i, i) = 1.0;
        g = e_[i];
        l = i;
    }
}

// Accumulation of the left-hand transformations into A, from the last step
// to the first. Step i reads its dot products in the pass that applies
// step i + 1; the update of step 0 is left for the final pass.
void Decomposition::AccumulateLeft()
{
    const uint32_t m = m_, n = n_;
    const uint32_t mn = std::min(m, n);
    double* dots = dots_.data();
    for (uint32_t i = mn; i-- > 0;) {
        const uint32_t l = i + 1;
        double* ri = Row(i);
        std::fill(ri + l, ri + n, 0.0);
        double g = Wd(i);
        const bool nonzero = g != 0.0;
        if (nonzero)
            g = 1.0 / g;
        WithWidth(n - l, [&](auto width) {
            LeftRows(width, a_, n, i, m, pending_ ? &pendingStep_ : nullptr, nonzero, dots + l);
        });
        if (nonzero)
            for (uint32_t j = l; j < n; ++j)
                factors_[j] = (dots[j] / ri[i]) * g;
        pending_ = true;
        pendingStep_ = {i, nonzero, g, factors_.data() + l};
    }
}

void Decomposition::Record(uint32_t p, uint32_t q, double c, double s)
{
    if (m_ == 0)
        return;
    if (rotations_.size() == kMaxRotations)
        FinishRows();
    rotations_.push_back({p, q, c, s});
}

// Diagonalisation of the bidiagonal form by implicitly shifted QR sweeps.
void Decomposition::Diagonalise()
{
    const uint32_t n = n_;
    double* e = e_.data();
    const double anorm = anorm_;
    for (uint32_t k = n; k-- > 0;) {
        for (int pass = 1;; ++pass) {
            // Split test. e(0) is 0 after the reduction, so the search ends
            // at l = 0 at the latest; stopping there explicitly also keeps a
            // NaN anorm from reaching below the first element.
            bool cancel = true;
            uint32_t l = k;
            for (;; --l) {
                if (l == 0 || std::fabs(e[l]) + anorm == anorm) {
                    cancel = false;
                    break;
                }
                if (std::fabs(Wd(l - 1)) + anorm == anorm)
                    break;
            }
            if (cancel) {
                const uint32_t nm = l - 1;
                double c = 0.0, s = 1.0;
                for (uint32_t i = l; i <= k; ++i) {
                    const double f = s * e[i];
                    e[i] = c * e[i];
                    if (std::fabs(f) + anorm == anorm)
                        break;
                    const double g = Wd(i);
                    double h = hypotenuse(f, g);
                    Wd(i) = h;
                    h = 1.0 / h;
                    c = g * h;
                    s = -f * h;
                    Record(nm, i, c, s);
                }
            }
            double z = Wd(k);
            if (l == k) {
                if (z < 0.0) {
                    Wd(k) = -z;
                    for (uint32_t j = 0; j < n; ++j)
                        V(j, k) = -V(j, k);
                }
                break;
            }
            // Not converged after 29 sweeps: the value stays as it is,
            // possibly negative, and nothing is reported.
            if (pass == 30)
                break;

            // Shift from the bottom 2 x 2 minor.
            double x = Wd(l);
            const uint32_t nm = k - 1;
            double y = Wd(nm);
            double g = e[nm];
            double h = e[k];
            double f = ((y - z) * (y + z) + (g - h) * (h + g)) / (2.0 * h * y);
            g = hypotenuse(f, 1.0);
            f = ((x - z) * (x + z) + h * ((y / (f + Sign(g, f))) - h)) / x;

            // QR sweep.
            double c = 1.0, s = 1.0;
            for (uint32_t j = l; j <= nm; ++j) {
                const uint32_t i = j + 1;
                g = e[i];
                y = Wd(i);
                h = s * g;
                g = c * g;
                z = hypotenuse(f, h);
                e[j] = z;
                c = f / z;
                s = h / z;
                f = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y = y * c;
                for (uint32_t jj = 0; jj < n; ++jj) {
                    const double vx = V(jj, j), vz = V(jj, i);
                    V(jj, j) = vx * c + vz * s;
                    V(jj, i) = vz * c - vx * s;
                }
                z = hypotenuse(f, h);
                Wd(j) = z;
                if (z != 0.0) {
                    z = 1.0 / z;
                    c = f * z;
                    s = h * z;
                }
                f = c * g + s * y;
                x = c * y - s * g;
                Record(j, i, c, s);
            }
            e[l] = 0.0;
            e[k] = f;
            Wd(k) = x;
        }
    }
}

// One pass over all rows: the pending left-hand step, then the recorded
// rotations in the order they were made.
void Decomposition::FinishRows()
{
    if (!pending_ && rotations_.empty())
        return;
    for (uint32_t k0 = 0; k0 < m_; k0 += kBlock) {
        const uint32_t count = std::min(kBlock, m_ - k0);
        if (pending_)
            WithWidth(n_ - pendingStep_.p - 1, [&](auto width) {
                Lanes f(width, pendingStep_.factors, pendingStep_.nonzero);
                for (uint32_t k = std::max(k0, pendingStep_.p); k < k0 + count; ++k)
                    ApplyLeftStep(width, pendingStep_, f, Row(k), k);
            });
        if (!rotations_.empty())
            RotateBlock(Row(k0), count);
    }
    pending_ = false;
    rotations_.clear();
}

void Decomposition::RotateBlock(double* rows, uint32_t count)
{
    const uint32_t n = n_;
    double* t = block_.data();
    for (uint32_t b = 0; b < count; ++b)
        for (uint32_t j = 0; j < n; ++j)
            t[j * kBlock + b] = rows[static_cast<size_t>(b) * n + j];
    rotate_(t, rotations_.data(), rotations_.size());
    for (uint32_t b = 0; b < count; ++b)
        for (uint32_t j = 0; j < n; ++j)
            rows[static_cast<size_t>(b) * n + j] = t[j * kBlock + b];
}

} // namespace

CMatrix::CMatrix(uint32_t rows, uint32_t columns) : DimM(rows), DimN(columns), Count(0), Data(nullptr)
{
    // Positions are formed in 32 bits, so the element count must fit them;
    // a count or byte size that does not fit is an allocation failure, never
    // a short array.
    const uint64_t count = uint64_t{rows} * columns;
    if (count > std::numeric_limits<uint32_t>::max() || count > std::numeric_limits<size_t>::max() / sizeof(double))
        platform::ThrowOutOfMemory();
    Count = static_cast<uint32_t>(count);
    Data = new double[static_cast<size_t>(count)];
}

CMatrix::~CMatrix()
{
    delete[] Data;
}

void CMatrix::ElementCheckFailed(uint32_t i, uint32_t j) const
{
    assert(i <= DimM && j <= DimN);
    assert(i >= 1 && j >= 1);
    std::abort();
}

void CMatrix::IndexCheckFailed(uint32_t i) const
{
    assert(i <= DimM || i <= DimN);
    assert(i >= 1 && i <= Count);
    std::abort();
}

void CMatrix::decompose(CMatrix* W, CMatrix* V)
{
    assert(W->getDimM() == W->getDimN() && W->getDimM() == DimN);
    assert(V->getDimM() == V->getDimN() && V->getDimM() == DimN);
    Decomposition(Data, DimM, DimN, W->Data, V->Data).Run();
}

void CMatrix::backSubstitute(CMatrix* W, CMatrix* V, CMatrix* x, CMatrix* b)
{
    const uint32_t m = DimM, n = DimN;
    std::vector<double> w(n), t(n, 0.0), sums(n, 0.0);
    bool anyNonzero = false;
    for (uint32_t j = 1; j <= n; ++j) {
        w[j - 1] = W->get(j, j);
        anyNonzero = anyNonzero || w[j - 1] != 0.0;
    }
    // t(j) = (U(., j) . b) / w(j), every sum in row order, for all j in one
    // pass over U.
    if (anyNonzero) {
        double* __restrict acc = sums.data();
        for (uint32_t i = 1; i <= m; ++i) {
            const double bi = b->get(i);
            const double* __restrict r = Data + static_cast<size_t>(i - 1) * n;
            for (uint32_t j = 0; j < n; ++j)
                acc[j] += r[j] * bi;
        }
        for (uint32_t j = 0; j < n; ++j)
            t[j] = w[j] != 0.0 ? sums[j] / w[j] : 0.0;
    }
    for (uint32_t j = 1; j <= n; ++j) {
        double s = 0.0;
        for (uint32_t jj = 1; jj <= n; ++jj)
            s += V->get(j, jj) * t[jj - 1];
        x->set(j, s);
    }
}

} // namespace tamrix::detail
