#include "mapping.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tamrix::intake {
namespace {

// The largest physical magnitude a mapping covers: far beyond any data, and
// far enough from the largest double that the ends of a grid over it, and
// of a grid over those, stay finite.
constexpr double kLargest = 1e300;

// The finest grid: a normal number, whose inverse, which scales every
// sample, is finite. Data of smaller values get fewer levels.
constexpr double kLeastStep = std::numeric_limits<double>::min();

// Levels below full scale that floating-point data get: about 2^24 in 32-bit
// frames (256 times headroom for sums), 2^15 in 16-bit ones.
int LevelBits(int depth)
{
    return depth == 2 ? 15 : 24;
}

// Stored range of an integer sample type.
std::pair<double, double> StoredRange(Sample s)
{
    switch (s) {
    case Sample::U8:
        return { 0, 255 };
    case Sample::I8:
        return { -128, 127 };
    case Sample::U16:
        return { 0, 65535 };
    case Sample::I16:
        return { -32768, 32767 };
    case Sample::U32:
        return { 0, 4294967295.0 };
    case Sample::I32:
        return { -2147483648.0, 2147483647.0 };
    case Sample::U64:
        return { 0, 18446744073709551615.0 };
    default:
        return { -9223372036854775808.0, 9223372036854775807.0 };
    }
}

bool Is64(Sample s)
{
    return s == Sample::U64 || s == Sample::I64;
}

std::string Num(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

// The smallest power of two at or above x (x > 0).
double PowerOfTwoAtLeast(double x)
{
    int e = 0;
    const double m = std::frexp(x, &e); // x = m 2^e, 0.5 <= m < 1
    return m == 0.5 ? std::ldexp(1.0, e - 1) : std::ldexp(1.0, e);
}

// Physical range of an integer input: DATAMIN/DATAMAX, --range for 64-bit
// data, or what its type holds.
std::pair<double, double> IntegerRange(const Format& f, const MappingOptions& o)
{
    if (Is64(f.sample)) {
        std::optional<std::pair<double, double>> r = o.range;
        if (!r && f.dataMin && f.dataMax)
            r = std::make_pair(*f.dataMin, *f.dataMax);
        if (r) {
            // Whole stored values, so that the offset lies on the data's step.
            const double a = std::floor((r->first - f.bzero) / f.bscale),
                         b = std::ceil((r->second - f.bzero) / f.bscale);
            const double p = f.bzero + f.bscale * a, q = f.bzero + f.bscale * b;
            return { std::min(p, q), std::max(p, q) };
        }
        throw Error(Fault::Unsupported,
            f.name + ": 64-bit integer pixels need their range: give " + o.rangeName
                + " (or DATAMIN and DATAMAX in the header) spanning at most 2^32 values");
    }
    const auto [lo, hi] = StoredRange(f.sample);
    const double a = f.bzero + f.bscale * lo, b = f.bzero + f.bscale * hi;
    return { std::min(a, b), std::max(a, b) };
}

// Physical range an input contributes to a floating-point grid: what its
// header declares, or what a narrow integer type holds; nothing when only its
// data can tell.
std::optional<std::pair<double, double>> GridRange(const Format& f)
{
    if (f.dataMin && f.dataMax && *f.dataMin <= *f.dataMax)
        return std::make_pair(*f.dataMin, *f.dataMax);
    if (IsFloat(f.sample) || SampleBytes(f.sample) >= 4)
        return std::nullopt;
    return IntegerRange(f, MappingOptions {});
}

template <typename T>
void Sweep(
    const T* s, size_t n, const Format& f, const Mapping& m, void* frame, std::vector<bool>& invalid, Census& census)
{
    const double full = m.FullScale();
    auto put = [&](size_t i, double v) {
        if (!(v >= 0)) {
            v = 0;
            ++census.below;
        } else if (v > full) {
            v = full;
            ++census.above;
        }
        if (m.depth == 2)
            static_cast<uint16_t*>(frame)[i] = static_cast<uint16_t>(v);
        else
            static_cast<uint32_t*>(frame)[i] = static_cast<uint32_t>(v);
    };
    auto mark = [&](size_t i) {
        invalid[i] = true;
        ++census.invalid;
        if (m.depth == 2)
            static_cast<uint16_t*>(frame)[i] = 0;
        else
            static_cast<uint32_t*>(frame)[i] = 0;
    };
    // frame = stored * (bscale / scale) + (bzero - offset) / scale
    const double a = f.bscale / m.scale, b = (f.bzero - m.offset) / m.scale;
    if constexpr (std::is_integral_v<T>) {
        const bool wholeSteps = m.exact && std::abs(a) == 1 && std::abs(b) < 9.2e18;
        if (wholeSteps) {
            // Integers on their own step: exact in 128 bits, whatever the width.
            const __int128 sign = a < 0 ? -1 : 1, shift = static_cast<__int128>(std::nearbyint(b));
            for (size_t i = 0; i < n; ++i) {
                if (f.blank && static_cast<int64_t>(s[i]) == *f.blank) {
                    mark(i);
                    continue;
                }
                const __int128 v = sign * static_cast<__int128>(s[i]) + shift;
                put(i, v < 0 ? -1.0 : v > static_cast<__int128>(full) ? full + 1 : static_cast<double>(v));
            }
            return;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const T raw = s[i];
        if constexpr (std::is_floating_point_v<T>) {
            if (!std::isfinite(raw)) {
                mark(i);
                continue;
            }
        } else if (f.blank && static_cast<int64_t>(raw) == *f.blank) {
            mark(i);
            continue;
        }
        put(i, std::nearbyint(static_cast<double>(raw) * a + b));
    }
}

} // namespace

bool IsFloat(Sample s)
{
    return s == Sample::F32 || s == Sample::F64;
}

int SampleBytes(Sample s)
{
    switch (s) {
    case Sample::U8:
    case Sample::I8:
        return 1;
    case Sample::U16:
    case Sample::I16:
        return 2;
    case Sample::U32:
    case Sample::I32:
    case Sample::F32:
        return 4;
    default:
        return 8;
    }
}

std::string SampleText(Sample s)
{
    switch (s) {
    case Sample::U8:
        return "8-bit unsigned integers";
    case Sample::I8:
        return "8-bit signed integers";
    case Sample::U16:
        return "16-bit unsigned integers";
    case Sample::I16:
        return "16-bit signed integers";
    case Sample::U32:
        return "32-bit unsigned integers";
    case Sample::I32:
        return "32-bit signed integers";
    case Sample::U64:
        return "64-bit unsigned integers";
    case Sample::I64:
        return "64-bit signed integers";
    case Sample::F32:
        return "32-bit floating point";
    default:
        return "64-bit floating point";
    }
}

uint32_t Mapping::FrameValue(double physical, const std::string& what) const
{
    const double v = (physical - offset) / scale;
    if (!std::isfinite(physical) || !(v > -0.5 && v < FullScale() + 0.5))
        throw Error(Fault::Usage,
            what + " " + Num(physical) + " is outside the frame's range " + Num(Lowest()) + " .. " + Num(Highest()));
    return static_cast<uint32_t>(std::nearbyint(std::clamp(v, 0.0, FullScale())));
}

bool NeedsDataRange(const std::vector<Format>& inputs, const MappingOptions& options)
{
    if (options.range)
        return false;
    const bool anyFloat = std::any_of(inputs.begin(), inputs.end(), [](const Format& f) { return IsFloat(f.sample); });
    return anyFloat && std::any_of(inputs.begin(), inputs.end(), [](const Format& f) { return !GridRange(f); });
}

Mapping ChooseMapping(const std::vector<Format>& inputs, const MappingOptions& options,
    std::optional<std::pair<double, double>> dataRange)
{
    if (inputs.empty())
        throw Error(Fault::Usage, "no input to map");
    if (options.range && !(options.range->first < options.range->second))
        throw Error(Fault::Usage,
            "the range " + Num(options.range->first) + " .. " + Num(options.range->second) + " is empty: give "
                + options.rangeName + " with LO < HI");
    for (const Format& f : inputs)
        if (!std::isfinite(f.bscale) || f.bscale == 0 || !std::isfinite(f.bzero))
            throw Error(Fault::Unsupported,
                f.name + ": BSCALE " + Num(f.bscale) + " and BZERO " + Num(f.bzero)
                    + " do not scale pixel values (BSCALE must be a non-zero finite number)");

    // A grid for floating-point data, and for narrower integers when a range
    // is asked for: values spanning a whole 32-bit type leave no headroom
    // for sums and weights, a grid over the range does.
    const bool grid = std::any_of(inputs.begin(), inputs.end(),
        [&](const Format& f) { return IsFloat(f.sample) || (options.range && !Is64(f.sample)); });
    Mapping m;
    if (!grid) {
        // Exact: one step, offsets on that step, the depth that holds all.
        const double step = std::abs(inputs[0].bscale);
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (const Format& f : inputs) {
            if (std::abs(f.bscale) != step)
                throw Error(Fault::Mismatch,
                    f.name + ": BSCALE " + Num(f.bscale) + " differs from " + inputs[0].name + "'s "
                        + Num(inputs[0].bscale) + "; one exact mapping cannot hold both: give " + options.rangeName
                        + " to quantise them onto one grid");
            const auto [a, b] = IntegerRange(f, options);
            lo = std::min(lo, a);
            hi = std::max(hi, b);
        }
        m.scale = step;
        m.offset = lo;
        for (const Format& f : inputs) {
            const double shift = (f.bzero - lo) / step;
            if (std::abs(shift - std::nearbyint(shift)) > 1e-9 * std::max(1.0, std::abs(shift)))
                throw Error(Fault::Mismatch,
                    f.name + ": BZERO " + Num(f.bzero) + " is not a whole number of steps (" + Num(step)
                        + ") from the other inputs' values; one exact mapping cannot hold them all: give "
                        + options.rangeName + " to quantise them onto one grid");
        }
        if (std::max(-lo, hi) > kLargest)
            throw Error(Fault::Unsupported,
                (inputs.size() == 1 ? inputs[0].name + ": values " : "values ") + Num(lo) + " .. " + Num(hi)
                    + " lie beyond what frames map (magnitudes up to " + Num(kLargest) + ")");
        const double span = std::nearbyint((hi - lo) / step);
        if (span > 4294967295.0 || std::abs(lo) > 9007199254740992.0 * step)
            throw Error(inputs.size() == 1 ? Fault::Unsupported : Fault::Mismatch,
                inputs.size() == 1 ? inputs[0].name + ": the range " + Num(lo) + " .. " + Num(hi)
                        + " spans more than 2^32 values: give a narrower " + options.rangeName
                                   : "the inputs' values span " + Num(lo) + " .. " + Num(hi)
                        + ", more than one 32-bit frame holds exactly: give " + options.rangeName
                        + " to quantise them onto one grid");
        m.depth = span <= 65535 ? 2 : 4;
        m.exact = true;
        return m;
    }

    // A power-of-two grid over everything the inputs may hold.
    if (options.floatBits != 16 && options.floatBits != 32)
        throw Error(Fault::Usage, "frame bits must be 16 or 32, not " + std::to_string(options.floatBits));
    m.depth = options.floatBits == 16 ? 2 : 4;
    m.exact = false;
    double lo = 0, hi = 0; // 0 always on the grid: zero stays zero
    auto take = [&](std::pair<double, double> r) {
        lo = std::min(lo, r.first);
        hi = std::max(hi, r.second);
    };
    if (options.range)
        take(*options.range);
    else {
        for (const Format& f : inputs) {
            if (auto r = GridRange(f))
                take(*r);
            else if (dataRange)
                take(*dataRange);
            else
                throw Error(
                    Fault::Failure, f.name + ": floating-point data without a declared range: measure it first");
        }
    }
    if (!std::isfinite(lo) || !std::isfinite(hi))
        throw Error(
            Fault::Usage, "the range " + Num(lo) + " .. " + Num(hi) + " is not finite: give " + options.rangeName);
    if (std::max(-lo, hi) > kLargest)
        throw Error(Fault::Usage,
            "the range " + Num(lo) + " .. " + Num(hi) + " lies beyond what frames map (magnitudes up to "
                + Num(kLargest) + "): give " + options.rangeName);
    const double levels = std::ldexp(1.0, LevelBits(m.depth));
    const double span = hi - lo;
    m.scale = span > 0 ? std::max(PowerOfTwoAtLeast(span / levels), kLeastStep) : 1.0;
    if (!std::isfinite(m.scale) || m.scale == 0)
        throw Error(Fault::Usage,
            "the range " + Num(lo) + " .. " + Num(hi) + " cannot be quantised: give " + options.rangeName);
    m.offset = std::floor(lo / m.scale) * m.scale;
    return m;
}

Mapping DivisorMapping(const Format& f, int depth, std::pair<double, double> dataRange)
{
    Mapping m;
    m.depth = depth;
    m.offset = 0;
    if (!std::isfinite(f.bscale) || f.bscale == 0 || !std::isfinite(f.bzero))
        throw Error(Fault::Unsupported,
            f.name + ": BSCALE " + Num(f.bscale) + " and BZERO " + Num(f.bzero)
                + " do not scale pixel values (BSCALE must be a non-zero finite number)");
    const double top = dataRange.second;
    if (!(top > 0) || !std::isfinite(top))
        throw Error(
            Fault::Unsupported, f.name + ": a flat field needs pixels above 0 (its largest is " + Num(top) + ")");
    if (!IsFloat(f.sample)) {
        const double step = std::abs(f.bscale), shift = f.bzero / step;
        if (std::abs(shift - std::nearbyint(shift)) <= 1e-9 * std::max(1.0, std::abs(shift))
            && top / step <= m.FullScale()) {
            m.scale = step;
            return m;
        }
    }
    // Proportional levels below the largest pixel; the division only sees
    // ratios. 16-bit frames keep the level within 65535, as the library's
    // 16-bit division needs.
    m.scale = std::max(top / (depth == 2 ? 65535.0 : std::ldexp(1.0, 24)), kLeastStep);
    m.exact = false;
    return m;
}

void ToFrame(const void* samples, size_t count, const Format& f, const Mapping& m, void* frame,
    std::vector<bool>& invalid, Census& census)
{
    invalid.assign(count, false);
    switch (f.sample) {
    case Sample::U8:
        return Sweep(static_cast<const uint8_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::I8:
        return Sweep(static_cast<const int8_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::U16:
        return Sweep(static_cast<const uint16_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::I16:
        return Sweep(static_cast<const int16_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::U32:
        return Sweep(static_cast<const uint32_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::I32:
        return Sweep(static_cast<const int32_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::U64:
        return Sweep(static_cast<const uint64_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::I64:
        return Sweep(static_cast<const int64_t*>(samples), count, f, m, frame, invalid, census);
    case Sample::F32:
        return Sweep(static_cast<const float*>(samples), count, f, m, frame, invalid, census);
    case Sample::F64:
        return Sweep(static_cast<const double*>(samples), count, f, m, frame, invalid, census);
    }
}

static uint32_t MedianOfValid(const void* frame, int depth, size_t count, const std::vector<bool>& invalid)
{
    std::vector<uint32_t> v;
    v.reserve(count);
    for (size_t i = 0; i < count; ++i)
        if (invalid.empty() || !invalid[i])
            v.push_back(depth == 2 ? static_cast<const uint16_t*>(frame)[i] : static_cast<const uint32_t*>(frame)[i]);
    if (v.empty())
        return 0;
    auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

static void FillInvalid(void* frame, int depth, size_t count, const std::vector<bool>& invalid, uint32_t value)
{
    for (size_t i = 0; i < count && i < invalid.size(); ++i)
        if (invalid[i]) {
            if (depth == 2)
                static_cast<uint16_t*>(frame)[i] = static_cast<uint16_t>(value);
            else
                static_cast<uint32_t*>(frame)[i] = value;
        }
}

void ToPhysical(
    const void* frame, int depth, size_t count, const Mapping& m, double* out, const std::vector<bool>* invalid)
{
    for (size_t i = 0; i < count; ++i) {
        const double v = depth == 2 ? static_cast<const uint16_t*>(frame)[i] : static_cast<const uint32_t*>(frame)[i];
        out[i]
            = invalid && !invalid->empty() && (*invalid)[i] ? std::numeric_limits<double>::quiet_NaN() : m.Physical(v);
    }
}

IntegerLayout StoredLayout(const Mapping& m)
{
    IntegerLayout l;
    l.bitpix = m.depth == 2 ? 16 : 32;
    // stored = frame - 2^(bitpix-1): physical = bzero + bscale * stored.
    l.bscale = m.scale;
    l.bzero = m.offset + (m.depth == 2 ? 32768.0 : 2147483648.0) * m.scale;
    return l;
}

std::string CensusText(
    const std::string& name, const Census& c, const Mapping& m, const std::string& fate, const std::string& rangeName)
{
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (c.invalid)
        add(std::to_string(c.invalid) + " pixel" + (c.invalid == 1 ? " is" : "s are") + " NaN, infinite or BLANK"
            + (fate.empty() ? "" : " (" + fate + ")"));
    if (c.below || c.above)
        add(std::to_string(c.below + c.above) + " pixel" + (c.below + c.above == 1 ? " lies" : "s lie")
            + " outside the range " + Num(m.Lowest()) + " .. " + Num(m.Highest()) + " and were clipped to it (give "
            + rangeName + " to widen it)");
    return text.empty() ? text : name + ": " + text;
}

namespace {

template <typename T> void Extend(const T* s, size_t n, const Format& f, double& lo, double& hi)
{
    for (size_t i = 0; i < n; ++i) {
        if constexpr (std::is_integral_v<T>) {
            if (f.blank && static_cast<int64_t>(s[i]) == *f.blank)
                continue;
        }
        const double v = f.bzero + f.bscale * static_cast<double>(s[i]);
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
}

} // namespace

std::pair<double, double> FiniteRange(const void* samples, size_t n, const Format& f)
{
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    switch (f.sample) {
    case Sample::U8:
        Extend(static_cast<const uint8_t*>(samples), n, f, lo, hi);
        break;
    case Sample::I8:
        Extend(static_cast<const int8_t*>(samples), n, f, lo, hi);
        break;
    case Sample::U16:
        Extend(static_cast<const uint16_t*>(samples), n, f, lo, hi);
        break;
    case Sample::I16:
        Extend(static_cast<const int16_t*>(samples), n, f, lo, hi);
        break;
    case Sample::U32:
        Extend(static_cast<const uint32_t*>(samples), n, f, lo, hi);
        break;
    case Sample::I32:
        Extend(static_cast<const int32_t*>(samples), n, f, lo, hi);
        break;
    case Sample::U64:
        Extend(static_cast<const uint64_t*>(samples), n, f, lo, hi);
        break;
    case Sample::I64:
        Extend(static_cast<const int64_t*>(samples), n, f, lo, hi);
        break;
    case Sample::F32:
        Extend(static_cast<const float*>(samples), n, f, lo, hi);
        break;
    case Sample::F64:
        Extend(static_cast<const double*>(samples), n, f, lo, hi);
        break;
    }
    return lo <= hi ? std::make_pair(lo, hi) : std::make_pair(0.0, 0.0);
}

Mapping MappingOf(const void* samples, size_t count, const Format& format, const MappingOptions& options)
{
    std::optional<std::pair<double, double>> range;
    if (NeedsDataRange({ format }, options))
        range = FiniteRange(samples, count, format);
    return ChooseMapping({ format }, options, range);
}

std::string MapOnto(const void* samples, size_t count, const Format& format, const Mapping& m, void* frame,
    std::vector<bool>& invalid, bool keepInvalid, const std::string& rangeName)
{
    Census census;
    ToFrame(samples, count, format, m, frame, invalid, census);
    std::string fate;
    if (census.invalid) {
        const uint32_t median = MedianOfValid(frame, m.depth, count, invalid);
        FillInvalid(frame, m.depth, count, invalid, median);
        char text[64];
        std::snprintf(text, sizeof text, "%.10g", m.Physical(median));
        fate = keepInvalid ? "they stay undefined in the output"
                           : std::string("read as the median of the others, ") + text;
    } else {
        invalid.clear();
    }
    return CensusText(format.name, census, m, fate, rangeName);
}

} // namespace tamrix::intake
