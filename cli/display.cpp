#include "display.h"

#include "failure.h"
#include "output.h"

#include "io/png_writer.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tamrix::cli {
namespace {

// Up to 4096 grey levels between black and white: finer than 8-bit output
// can show, and a table that stays in the first-level cache.
constexpr unsigned kMaxLutEntries = 4096;

double Stretched(double t, Stretch stretch)
{
    t = std::clamp(t, 0.0, 1.0);
    switch (stretch) {
    case Stretch::Sqrt:
        return std::sqrt(t);
    case Stretch::Asinh:
        return std::asinh(10 * t) / std::asinh(10.0);
    default:
        return t;
    }
}

} // namespace

Channel MakeChannel(const Frame& frame, std::optional<double> black, std::optional<double> white, Stretch stretch)
{
    const double full = frame.FullScale();
    // Given points are physical values; the table works on frame values.
    const intake::Mapping& m = frame.mapping;
    if (black)
        black = (*black - m.offset) / m.scale;
    if (white)
        white = (*white - m.offset) / m.scale;
    if (!black || !white) {
        unsigned min = 0, max = 0;
        double mean = 0, sd = 0;
        tamrix::CalculateAreaStatistics(const_cast<void*>(frame.Data()), frame.width, frame.height, frame.Depth(), 0,
            0, frame.width, frame.height, &min, &max, &mean, &sd);
        if (!black)
            black = std::max<double>(min, mean - sd);
        if (!white)
            white = std::min<double>(max, mean + 4 * sd);
    }
    Channel c;
    c.low = static_cast<unsigned>(std::clamp(*black, 0.0, full));
    c.high = static_cast<unsigned>(std::clamp(*white, 0.0, full));
    if (c.high <= c.low + 1)
        return c; // a threshold at low: the table is never read
    const uint64_t span = static_cast<uint64_t>(c.high) - c.low;
    while (((span - 1) >> c.shift) + 1 > kMaxLutEntries)
        ++c.shift;
    c.lut.resize(((span - 1) >> c.shift) + 1);
    const double step = double(static_cast<uint64_t>(1) << c.shift);
    for (size_t i = 0; i < c.lut.size(); ++i) {
        const double t = (i * step + step / 2) / double(span); // the middle of the entry's values
        c.lut[i] = static_cast<unsigned char>(std::lround(255 * Stretched(t, stretch)));
    }
    return c;
}

void PictureSize(int width, int height, int zoom, int& outWidth, int& outHeight)
{
    const int64_t n = zoom > 0 ? static_cast<int64_t>(zoom) + 1 : 1, f = zoom < 0 ? 1 - static_cast<int64_t>(zoom) : 1;
    const int64_t w = static_cast<int64_t>(width) * n / f, h = static_cast<int64_t>(height) * n / f;
    if (w < 1 || h < 1)
        throw Failure(kExitUsage,
            "--zoom " + std::to_string(zoom) + " leaves no pixel of a " + std::to_string(width) + " x "
                + std::to_string(height) + " frame");
    if ((w * 3 + 3) * h > intake::kMaxFrameBytes)
        throw Failure(kExitUsage,
            "--zoom " + std::to_string(zoom) + " makes a picture of " + std::to_string(w) + " x " + std::to_string(h)
                + " pixels, too large");
    outWidth = static_cast<int>(w);
    outHeight = static_cast<int>(h);
}

Picture RenderMono(const Frame& frame, Channel& channel, int zoom)
{
    Picture p;
    PictureSize(frame.width, frame.height, zoom, p.width, p.height);
    p.stride = io::BitmapStride(io::BitmapFormat::Grey8, p.width);
    p.pixels.assign(static_cast<size_t>(p.stride) * p.height, 0);
    tamrix::CreateMonoDIB(zoom, p.pixels.data(), frame.width, frame.height, frame.Depth(),
        const_cast<void*>(frame.Data()), channel.low, channel.high, channel.shift,
        channel.lut.empty() ? nullptr : channel.lut.data());
    return p;
}

Picture RenderColour(const Frame* frames[3], Channel* c, int zoom)
{
    const Frame& f = *frames[0];
    Picture p;
    p.colour = true;
    PictureSize(f.width, f.height, zoom, p.width, p.height);
    p.stride = io::BitmapStride(io::BitmapFormat::Bgr24, p.width);
    p.pixels.assign(static_cast<size_t>(p.stride) * p.height, 0);
    auto lut = [](Channel& ch) { return ch.lut.empty() ? nullptr : ch.lut.data(); };
    tamrix::CreateColorDIB(zoom, p.pixels.data(), f.width, f.height, f.Depth(), const_cast<void*>(frames[0]->Data()),
        c[0].low, c[0].high, c[0].shift, lut(c[0]), const_cast<void*>(frames[1]->Data()), c[1].low, c[1].high,
        c[1].shift, lut(c[1]), const_cast<void*>(frames[2]->Data()), c[2].low, c[2].high, c[2].shift, lut(c[2]));
    return p;
}

void MarkStars(Picture& p, const std::vector<Star>& stars, double radius, int zoom)
{
    const double scale = zoom > 0 ? zoom + 1.0 : zoom < 0 ? 1.0 / (1 - zoom) : 1.0;
    const double r = std::max(2.0, radius * scale);
    const int steps = static_cast<int>(2 * M_PI * r * 2) + 8;
    for (const Star& s : stars) {
        const double x = (s.cx + 0.5) * scale - 0.5, y = (s.cy + 0.5) * scale - 0.5;
        for (int i = 0; i < steps; ++i) {
            const double a = 2 * M_PI * i / steps;
            const long px = std::lround(x + r * std::cos(a)), py = std::lround(y + r * std::sin(a));
            if (px < 0 || py < 0 || px >= p.width || py >= p.height)
                continue;
            unsigned char* bgr = &p.pixels[static_cast<size_t>(py) * p.stride + size_t(px) * 3];
            bgr[0] = 40; // blue
            bgr[1] = 230; // green
            bgr[2] = 40; // red
        }
    }
}

void WritePicture(const std::string& path, Picture p)
{
    AtomicFile out(path, OutputKind::Binary);
    // The frame's first row is its bottom one (the FITS convention, as DS9
    // shows it); a PNG file starts with its top row.
    for (int top = 0, bottom = p.height - 1; top < bottom; ++top, --bottom) {
        unsigned char* a = &p.pixels[static_cast<size_t>(top) * p.stride];
        unsigned char* b = &p.pixels[static_cast<size_t>(bottom) * p.stride];
        std::swap_ranges(a, a + p.stride, b);
    }
    try {
        io::WritePng(out.HandOver(), p.colour ? io::BitmapFormat::Bgr24 : io::BitmapFormat::Grey8, p.pixels.data(),
            p.width, p.height, p.stride);
    } catch (const std::exception& e) {
        throw FileFailure(kExitFailure, path, std::string("cannot write the PNG file (") + e.what() + ")");
    }
    out.Commit();
}

} // namespace tamrix::cli
