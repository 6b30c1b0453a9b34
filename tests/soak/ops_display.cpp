// Display bitmaps against a literal mapping, zoom and layout. Only the
// pixel bytes of each row are compared: the row padding is not defined.
#include "soak.h"

#include "tamrix.h"

#include <omp.h>

namespace soak {
namespace {

struct Channel {
    unsigned low, high, shift;
    std::vector<uint8_t> lut;

    uint8_t Map(uint32_t v) const
    {
        if (v <= low)
            return 0;
        if (v >= high)
            return 255;
        return lut[(static_cast<uint64_t>(v - low)) >> (shift % 64)];
    }
};

// Settings around the frame's values: a black point and white point inside,
// below or above them, a table exactly as long as the mapping needs.
template <class Pixel>
Channel Settings(Rng& rng, const std::vector<Pixel>& frame, std::ostringstream& p)
{
    Channel c;
    const uint32_t a = frame[Uniform64(rng, 0, frame.size() - 1)], b = frame[Uniform64(rng, 0, frame.size() - 1)];
    c.low = std::min(a, b), c.high = std::max(a, b);
    if (Chance(rng, 0.1))
        std::swap(c.low, c.high); // a threshold
    if (Chance(rng, 0.1))
        c.low = 0;
    if (Chance(rng, 0.1))
        c.high = 0xFFFFFFFFu;
    const uint64_t span = c.high > c.low + 1ull ? c.high - 1ull - c.low : 0;
    // The table stays below 2^20 entries.
    int shift = 0;
    while ((span >> shift) >= (1u << 20))
        ++shift;
    c.shift = static_cast<unsigned>(shift + Uniform(rng, 0, 3));
    if (Chance(rng, 0.05))
        c.shift += 64; // taken modulo 64
    const size_t entries = c.high > c.low + 1ull ? (span >> (c.shift % 64)) + 1 : 0;
    c.lut.resize(entries);
    for (auto& e : c.lut)
        e = static_cast<uint8_t>(Uniform(rng, 0, 255));
    p << " low " << c.low << " high " << c.high << " shift " << c.shift;
    return c;
}

struct Layout {
    int outWidth, outHeight, n, f;
};

Layout Zoom(int zoom, int w, int h)
{
    if (zoom > 0)
        return {(zoom + 1) * w, (zoom + 1) * h, zoom + 1, 1};
    if (zoom == 0)
        return {w, h, 1, 1};
    return {w / (1 - zoom), h / (1 - zoom), 1, 1 - zoom};
}

// Bitmap pixel (x, y) of one channel: the mapped frame pixel, or the
// truncated mean of the mapped bytes of its block.
template <class Pixel>
uint8_t Shown(const Channel& c, const std::vector<Pixel>& frame, int w, const Layout& l, int x, int y)
{
    if (l.f == 1)
        return c.Map(frame[static_cast<size_t>(y / l.n) * w + x / l.n]);
    uint32_t sum = 0;
    for (int j = 0; j < l.f; ++j)
        for (int i = 0; i < l.f; ++i)
            sum += c.Map(frame[static_cast<size_t>(l.f * y + j) * w + l.f * x + i]);
    return static_cast<uint8_t>(sum / static_cast<uint32_t>(l.f * l.f));
}

template <class Pixel>
void MonoCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 150), h = Size(rng, 150);
    const int zoom = Uniform(rng, -5, 3);
    std::string shape;
    auto frame = Frame<Pixel>(rng, static_cast<size_t>(w) * h, shape);
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << ", zoom " << zoom << ",";
    Channel c = Settings(rng, frame, p);
    const Layout l = Zoom(zoom, w, h);
    const int stride = (l.outWidth + 3) / 4 * 4;
    std::vector<uint8_t> bitmap(static_cast<size_t>(stride) * l.outHeight + 1, 0xA5);
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::CreateMonoDIB(zoom, bitmap.data(), w, h, depth, frame.data(), c.low, c.high, c.shift,
                          c.lut.empty() ? nullptr : c.lut.data());
    std::vector<uint8_t> lib, ref;
    for (int y = 0; y < l.outHeight; ++y)
        for (int x = 0; x < l.outWidth; ++x) {
            lib.push_back(bitmap[static_cast<size_t>(y) * stride + x]);
            ref.push_back(Shown(c, frame, w, l, x, y));
        }
    lib.push_back(bitmap.back()); // nothing written past stride * outHeight
    ref.push_back(0xA5);
    p << ", " << threads << " threads, frame " << shape;
    out = {p.str(), lib, ref, 1, {}};
}

template <class Pixel>
void ColorCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 120), h = Size(rng, 120);
    const int zoom = Uniform(rng, -4, 3);
    std::string shapes[3];
    std::vector<Pixel> frames[3];
    for (int i = 0; i < 3; ++i)
        frames[i] = Frame<Pixel>(rng, static_cast<size_t>(w) * h, shapes[i]);
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << ", zoom " << zoom;
    Channel c[3];
    for (int i = 0; i < 3; ++i) {
        p << ", channel " << i << ":";
        c[i] = Settings(rng, frames[i], p);
    }
    const Layout l = Zoom(zoom, w, h);
    const int stride = (3 * l.outWidth + 3) / 4 * 4;
    std::vector<uint8_t> bitmap(static_cast<size_t>(stride) * l.outHeight + 1, 0xA5);
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    auto lut = [](Channel& ch) { return ch.lut.empty() ? nullptr : ch.lut.data(); };
    tamrix::CreateColorDIB(zoom, bitmap.data(), w, h, depth, frames[0].data(), c[0].low, c[0].high, c[0].shift,
                           lut(c[0]), frames[1].data(), c[1].low, c[1].high, c[1].shift, lut(c[1]), frames[2].data(),
                           c[2].low, c[2].high, c[2].shift, lut(c[2]));
    std::vector<uint8_t> lib, ref;
    for (int y = 0; y < l.outHeight; ++y)
        for (int x = 0; x < l.outWidth; ++x)
            for (int b = 0; b < 3; ++b) { // blue, green, red
                lib.push_back(bitmap[static_cast<size_t>(y) * stride + 3 * x + b]);
                ref.push_back(Shown(c[2 - b], frames[2 - b], w, l, x, y));
            }
    lib.push_back(bitmap.back());
    ref.push_back(0xA5);
    p << ", " << threads << " threads, frames " << shapes[0] << "; " << shapes[1] << "; " << shapes[2];
    out = {p.str(), lib, ref, 1, {}};
}

void Mono(Rng& rng, Outcome& out) { Chance(rng, 0.5) ? MonoCase<uint16_t>(rng, out) : MonoCase<uint32_t>(rng, out); }
void Color(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? ColorCase<uint16_t>(rng, out) : ColorCase<uint32_t>(rng, out);
}

const Register mono("CreateMonoDIB", Mono), color("CreateColorDIB", Color);

} // namespace
} // namespace soak
