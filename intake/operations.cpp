#include "operations.h"

#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tamrix::intake {
namespace {

// Frame steps from the mapping's offset down to physical 0 (negative when
// the mapping starts above 0), to the nearest step.
int64_t StepsToZero(const Mapping& m)
{
    return static_cast<int64_t>(std::nearbyint(-m.offset / m.scale));
}

void MergeInvalid(Frame& into, const Frame& from)
{
    if (from.invalid.empty())
        return;
    if (into.invalid.empty())
        into.invalid.assign(into.Pixels(), false);
    for (size_t i = 0; i < into.Pixels(); ++i)
        if (from.invalid[i])
            into.invalid[i] = true;
}

std::string Text(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

} // namespace

void SubtractDark(Frame& light, const Frame& dark)
{
    CheckSameSize(light, dark);
    const int64_t pedestal = StepsToZero(light.mapping);
    const double full = light.FullScale();
    // dark' = dark - pedestal; where that is negative the light takes the
    // difference instead, so the library's subtraction sees only values it
    // can hold and gives light + pedestal - dark, clamped at 0 and kept at
    // full scale where the light is saturated.
    Frame shifted(dark.width, dark.height, dark.mapping);
    for (size_t i = 0; i < light.Pixels(); ++i) {
        const int64_t d = static_cast<int64_t>(dark.At(i)) - pedestal;
        if (d >= 0) {
            shifted.Set(i, static_cast<uint32_t>(std::min<double>(double(d), full)));
        } else {
            shifted.Set(i, 0);
            const double raised = std::min(double(light.At(i)) - double(d), full);
            light.Set(i, static_cast<uint32_t>(raised));
        }
    }
    tamrix::DiffDark(light.Data(), light.Data(), shifted.Data(), light.width, light.height, light.Depth());
    light.mapping.offset = -static_cast<double>(pedestal) * light.mapping.scale;
    MergeInvalid(light, dark);
}

double DivideFlat(Frame& light, const Frame& flat, std::optional<double> level, Warnings& warnings)
{
    CheckSameSize(light, flat);
    if (flat.Depth() != light.Depth())
        throw Error(Fault::Mismatch, flat.path + ": read for frames of another depth than " + light.path);
    const int64_t zero = StepsToZero(light.mapping);
    if (zero != 0) {
        // Values measured from 0: frame' = frame - steps to zero.
        const double full = light.FullScale();
        size_t clipped = 0;
        for (size_t i = 0; i < light.Pixels(); ++i) {
            const double v = light.At(i);
            if (v == full)
                continue; // saturated stays saturated
            const double moved = v - double(zero);
            if (moved < 0)
                ++clipped;
            light.Set(i, static_cast<uint32_t>(std::clamp(moved, 0.0, full)));
        }
        light.mapping.offset += double(zero) * light.mapping.scale;
        if (clipped)
            warnings.push_back(light.path + ": " + std::to_string(clipped) + " pixel" + (clipped == 1 ? "" : "s")
                + " below 0 set to 0 before the flat division");
    }
    double m = 0; // 0 asks the library for the flat's mean
    if (level) {
        m = *level / flat.mapping.scale;
        // The 16-bit division forms value * level in 32 bits: exact while the
        // level fits 16 bits.
        const double most = light.Depth() == 2 ? 65535.0 : 4294967295.0;
        if (!(std::isfinite(*level) && m >= 0.5 && m < most + 0.5))
            throw Error(Fault::Usage,
                "--level " + Text(*level) + " is outside the flat's range above 0 (at most "
                    + Text(most * flat.mapping.scale) + ")");
    }
    tamrix::Flat(
        light.Data(), light.Data(), const_cast<void*>(flat.Data()), &m, light.width, light.height, light.Depth());
    MergeInvalid(light, flat);
    return m * flat.mapping.scale;
}

uint32_t MoveLowestToZero(Frame& frame, uint32_t keep)
{
    const uint32_t lowest = std::min(frame.Min(), keep);
    if (lowest == 0)
        return 0;
    for (size_t i = 0; i < frame.Pixels(); ++i)
        frame.Set(i, frame.At(i) - lowest);
    frame.mapping.offset += lowest * frame.mapping.scale;
    return lowest;
}

Mapping BinnedMapping(const Frame& input, int bx, int by)
{
    const double largest = double(input.Max()) * bx * by;
    if (largest > 4294967295.0)
        throw Error(Fault::Unsupported,
            input.path + ": sums of " + std::to_string(bx) + " x " + std::to_string(by) + " blocks of values up to "
                + Text(input.Max())
                + " above the lowest exceed 32 bits: bin by smaller blocks, or give --range LO,HI to "
                  "quantise the values with headroom");
    Mapping m = input.mapping;
    m.depth = 4; // sums are always 32-bit
    m.offset = input.mapping.offset * bx * by;
    return m;
}

std::vector<bool> Unreached(int srcWidth, int srcHeight, int dstWidth, int dstHeight,
    const std::function<void(void* source, void* destination)>& sample)
{
    std::vector<uint16_t> ones(static_cast<size_t>(srcWidth) * srcHeight, 1);
    std::vector<uint16_t> reached(static_cast<size_t>(dstWidth) * dstHeight, 0);
    sample(ones.data(), reached.data()); // weights sum to their divisor: 1 wherever a source reaches
    std::vector<bool> unreached(reached.size());
    for (size_t i = 0; i < reached.size(); ++i)
        unreached[i] = reached[i] == 0;
    return unreached;
}

int PedestalSteps(const Mapping& input, double pedestal)
{
    const double steps = pedestal / input.scale;
    if (!std::isfinite(steps) || steps < -0.5 || steps > 2147483647.0)
        throw Error(Fault::Usage,
            "--offset " + Text(pedestal) + " must be at least 0 and at most " + Text(2147483647.0 * input.scale));
    return static_cast<int>(std::nearbyint(steps));
}

Mapping BackgroundSubtractedMapping(const Mapping& input, int scale)
{
    // value + p - k med in frame steps is physical - k median + p steps, less
    // the offset's share that the subtraction removed: offset (1 - k).
    Mapping m = input;
    m.offset = input.offset * (1.0 - scale / 1000.0);
    return m;
}

double PhysicalFlux(const Mapping& mapping, double flux, size_t pixels)
{
    return flux * mapping.scale + static_cast<double>(pixels) * mapping.offset;
}

std::optional<uint32_t> SaturationLevel(const Frame& frame, std::optional<double> given)
{
    std::optional<double> level = given;
    if (!level) {
        level = CardNumber(frame.cards, "SATURATE");
        if (level && !(*level > frame.mapping.Lowest()))
            level.reset();
    }
    if (!level)
        return std::nullopt;
    return frame.mapping.FrameValue(std::min(*level, frame.mapping.Highest()), "the saturation level");
}

std::vector<size_t> MaskGroupSizes(const unsigned* mask, int width, int height)
{
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto set = [&](size_t i) { return (mask[i / 32] >> (i % 32)) & 1u; };
    std::vector<bool> seen(n, false);
    std::vector<size_t> sizes, stack;
    for (size_t start = 0; start < n; ++start) {
        if (!set(start) || seen[start])
            continue;
        size_t count = 0;
        seen[start] = true;
        stack.push_back(start);
        while (!stack.empty()) {
            const size_t i = stack.back();
            stack.pop_back();
            ++count;
            const size_t x = i % static_cast<size_t>(width);
            const size_t next[4] = { x > 0 ? i - 1 : n, x + 1 < size_t(width) ? i + 1 : n,
                i >= size_t(width) ? i - size_t(width) : n, i + size_t(width) < n ? i + size_t(width) : n };
            for (size_t j : next)
                if (j < n && set(j) && !seen[j]) {
                    seen[j] = true;
                    stack.push_back(j);
                }
        }
        sizes.push_back(count);
    }
    return sizes;
}

} // namespace tamrix::intake
