// The row kernels of the polynomial fills, written once with GCC vector
// types of kLanes doubles. Each instruction-set file includes this inside its
// own namespace (tamrix::opt_<set>) after <cstddef>, <cstdint> and
// polynom_kernels.h, and after defining kLanes and VecSqrt; the helpers are
// local to that file, so no function is shared between files built for
// different sets. Only operators and builtins are used here: no library
// templates, which could be instantiated once for a wider set and linked
// into everyone.
//
// Each lane does exactly what the scalar definition does, in the same order:
// P(u, v) with its terms formed left to right, powers as units
// (c1 u^3, c3 u^2 v = (c3 u^2) v, ...), summed in term order.

namespace {

using detail::PolynomRows;

typedef double Vec __attribute__((vector_size(kLanes * 8)));
typedef int64_t Mask __attribute__((vector_size(kLanes * 8)));
typedef int32_t Int __attribute__((vector_size(kLanes * 4)));
typedef uint32_t UInt __attribute__((vector_size(kLanes * 4)));
typedef uint16_t Short __attribute__((vector_size(kLanes * 2)));

// Columns whose u-factors are computed once for a block of rows; the factor
// rows of two polynomials stay in the first-level cache.
constexpr int kChunk = 256;
static_assert(kChunk % kLanes == 0, "whole vectors per chunk");

inline Vec Load(const double* p)
{
    Vec v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// The factors of one polynomial that depend on u alone, for a run of
// columns (padded to whole vectors; the padding is never stored).
struct ColumnTerms {
    double t1[kChunk]; // c1 u^3
    double f3[kChunk]; // c3 u^2, times v
    double f4[kChunk]; // c4 u, times v^2
    double t5[kChunk]; // c5 u^2
    double f7[kChunk]; // c7 u, times v
    double t8[kChunk]; // c8 u
};

inline void ComputeColumns(ColumnTerms& ct, const double* c, const PolynomRows& task, int x0, int count)
{
    const int padded = (count + kLanes - 1) / kLanes * kLanes;
    for (int i = 0; i < padded; ++i) {
        const double u = static_cast<double>(x0 + i - task.cx) / task.s;
        const double uu = u * u;
        ct.t1[i] = c[0] * (uu * u);
        ct.f3[i] = c[2] * uu;
        ct.f4[i] = c[3] * u;
        ct.t5[i] = c[4] * uu;
        ct.f7[i] = c[6] * u;
        ct.t8[i] = c[7] * u;
    }
}

// The terms of one polynomial that depend on v alone, for one row.
struct RowTerms {
    double v, vv, t2, t6, t9, t10;
};

inline RowTerms ComputeRow(const double* c, const PolynomRows& task, int y)
{
    RowTerms r;
    r.v = static_cast<double>(y - task.cy) / task.s;
    r.vv = r.v * r.v;
    r.t2 = c[1] * (r.vv * r.v);
    r.t6 = c[5] * r.vv;
    r.t9 = c[8] * r.v;
    r.t10 = c[9];
    return r;
}

inline Vec Sum(const ColumnTerms& ct, int i, const RowTerms& r)
{
    Vec p = Load(ct.t1 + i) + r.t2;
    p += Load(ct.f3 + i) * r.v;
    p += Load(ct.f4 + i) * r.vv;
    p += Load(ct.t5 + i);
    p += r.t6;
    p += Load(ct.f7 + i) * r.v;
    p += Load(ct.t8 + i);
    p += r.t9;
    p += r.t10;
    return p;
}

// Pixel conversion: below 0 (and NaN) gives 0, above full scale gives full
// scale, anything else is truncated. Stores the first `lanes` pixels.
inline void Store(uint16_t* out, Vec z, int lanes)
{
    Vec t = z > 0.0 ? z : Vec{};
    t = t < 65535.0 ? t : Vec{} + 65535.0;
    const Short p = __builtin_convertvector(__builtin_convertvector(t, Int), Short);
    if (lanes == kLanes)
        __builtin_memcpy(out, &p, sizeof p);
    else
        for (int j = 0; j < lanes; ++j)
            out[j] = p[j];
}

inline void Store(uint32_t* out, Vec z, int lanes)
{
    Vec t = z > 0.0 ? z : Vec{};
    t = t < 4294967295.0 ? t : Vec{} + 4294967295.0;
    // Truncation to unsigned through the signed conversion: values from 2^31
    // up are converted less 2^31 (exactly) and get the top bit back.
    const Mask high = t >= 2147483648.0;
    const Vec low = high ? t - 2147483648.0 : t;
    const UInt top = __builtin_convertvector(high, UInt) & 0x80000000u;
    const UInt p = (UInt)__builtin_convertvector(low, Int) | top;
    if (lanes == kLanes)
        __builtin_memcpy(out, &p, sizeof p);
    else
        for (int j = 0; j < lanes; ++j)
            out[j] = p[j];
}

template <class Pixel>
void FillRows(const PolynomRows& task, int y0, int y1)
{
    ColumnTerms ct;
    Pixel* frame = static_cast<Pixel*>(task.frame);
    for (int x0 = 0; x0 < task.width; x0 += kChunk) {
        const int count = task.width - x0 < kChunk ? task.width - x0 : kChunk;
        ComputeColumns(ct, task.c, task, x0, count);
        for (int y = y0; y < y1; ++y) {
            const RowTerms r = ComputeRow(task.c, task, y);
            Pixel* out = frame + static_cast<ptrdiff_t>(y) * task.width + x0;
            for (int i = 0; i < count; i += kLanes)
                Store(out + i, Sum(ct, i, r) * task.scale + task.offset, count - i < kLanes ? count - i : kLanes);
        }
    }
}

// Grey 32767 + 100 per pixel of vector length; returns the longest vector.
template <class Pixel>
double FieldRows(const PolynomRows& task, int y0, int y1)
{
    ColumnTerms cx, cy;
    Pixel* frame = static_cast<Pixel*>(task.frame);
    Vec longest = Vec{};
    double tail = 0.0;
    for (int x0 = 0; x0 < task.width; x0 += kChunk) {
        const int count = task.width - x0 < kChunk ? task.width - x0 : kChunk;
        ComputeColumns(cx, task.c, task, x0, count);
        ComputeColumns(cy, task.d, task, x0, count);
        for (int y = y0; y < y1; ++y) {
            const RowTerms rx = ComputeRow(task.c, task, y), ry = ComputeRow(task.d, task, y);
            Pixel* out = frame + static_cast<ptrdiff_t>(y) * task.width + x0;
            for (int i = 0; i < count; i += kLanes) {
                const Vec dx = Sum(cx, i, rx) * task.s;
                const Vec dy = Sum(cy, i, ry) * task.s;
                const Vec m = VecSqrt(dx * dx + dy * dy);
                const int lanes = count - i < kLanes ? count - i : kLanes;
                Store(out + i, m * 100.0 + 32767.0, lanes);
                // NaN lengths fail the comparison and are skipped.
                if (lanes == kLanes)
                    longest = m > longest ? m : longest;
                else
                    for (int j = 0; j < lanes; ++j)
                        tail = m[j] > tail ? m[j] : tail;
            }
        }
    }
    for (int j = 0; j < kLanes; ++j)
        tail = longest[j] > tail ? longest[j] : tail;
    return tail;
}

} // namespace

void FillRows16(const PolynomRows& task, int y0, int y1) { FillRows<uint16_t>(task, y0, y1); }
void FillRows32(const PolynomRows& task, int y0, int y1) { FillRows<uint32_t>(task, y0, y1); }
double FieldRows16(const PolynomRows& task, int y0, int y1) { return FieldRows<uint16_t>(task, y0, y1); }
double FieldRows32(const PolynomRows& task, int y0, int y1) { return FieldRows<uint32_t>(task, y0, y1); }
