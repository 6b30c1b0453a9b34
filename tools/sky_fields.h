// Simulated sky frames for training and judging the star network, each from
// one seed: Moffat and Gaussian stars of FWHM 1.2 to 10 pixels, elliptical
// and sometimes slightly trailed, integrated over the pixels; sky from 10 to
// 20 000 ADU over a pedestal, with a gradient and nebulosity; Poisson noise
// through a gain plus read noise; saturation with bleed trails along the
// columns; close pairs; hot pixels, cosmic rays, bad columns and galaxies.
// Every field draws its own settings from its seed. Random numbers come from
// std::mt19937 through this file's own transforms, so a seed gives the same
// field with any standard library.
#pragma once

#include "detect/training.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace skyfield {

struct Rng {
    explicit Rng(uint32_t seed)
        : g(seed)
    {
    }
    double U() { return (double(g() >> 5) * 67108864.0 + double(g() >> 6)) / 9007199254740992.0; }
    double U(double a, double b) { return a + (b - a) * U(); }
    double LogU(double a, double b) { return a * std::pow(b / a, U()); }
    double Gauss()
    {
        const double u = std::max(U(), 1e-300), v = U();
        return std::sqrt(-2 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
    double Poisson(double mean)
    {
        if (mean <= 0)
            return 0;
        if (mean > 40)
            return std::max(0.0, std::floor(mean + std::sqrt(mean) * Gauss() + 0.5));
        const double l = std::exp(-mean);
        double p = U(), k = 0;
        while (p > l) {
            p *= U();
            ++k;
        }
        return k;
    }
    std::mt19937 g;
};

struct Star {
    double x, y, flux, peak, fwhm; // peak: brightest noise-free pixel above the sky, ADU
    bool saturated;
};

struct Artefact {
    const char* kind; // "hot", "cosmic" or "column"
    double x0, y0, x1, y1, amplitude;
};

struct Field {
    int width = 0, height = 0;
    double gain = 1;
    bool moffat = false;
    std::vector<Artefact> artefacts;
    std::vector<uint16_t> pixels;
    std::vector<Star> stars;
    double noise = 0; // the sky's noise at its mean level, ADU
    double fwhm = 0; // the field's PSF width
    tamrix::detect::LabelMap labels;
};

// Stars at least this many noise deviations high at their peak are the ones
// a detector must find; fainter ones are neither positives nor negatives.
constexpr double kJudgedPeak = 5.0;

inline Field MakeField(uint32_t seed, int width = 512, int height = 512)
{
    Rng rng(seed * 2654435761u + 12345u);
    Field f;
    f.width = width;
    f.height = height;
    const size_t n = size_t(width) * height;
    // Settings of this field.
    const double sky = rng.LogU(10, 20000), gain = rng.LogU(0.5, 4), readE = rng.U(2, 15);
    const double pedestal = rng.U(0, 1) < 0.5 ? rng.U(50, 1000) : 0;
    const double fullScale = 65535, fullWell = rng.U(0, 1) < 0.5 ? fullScale : rng.U(25000, 65000);
    const double fwhm0 = rng.LogU(1.2, 10);
    const bool moffat = rng.U() < 0.6;
    const double beta = rng.U(2, 5);
    const double ell0 = rng.U(0, 0.2), theta0 = rng.U(0, 3.14159);
    const double trail = rng.U() < 0.25 ? rng.U(0.5, 3) : 0, trailAngle = rng.U(0, 6.28318);
    const double density = rng.LogU(100, 2500) * (double(n) / (512.0 * 512.0)) / (1 + fwhm0 * fwhm0 / 16);
    f.fwhm = fwhm0;
    f.gain = gain;
    f.moffat = moffat;
    f.noise = std::sqrt(sky * gain + readE * readE) / gain;
    std::vector<double> light(n, 0.0), skyMap(n);
    const double gx = rng.U(-0.2, 0.2), gy = rng.U(-0.2, 0.2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            skyMap[size_t(y) * width + x]
                = sky * (1 + gx * (double(x) / width - 0.5) + gy * (double(y) / height - 0.5));
    // Nebulosity: broad blobs up to tens of noise deviations.
    const int blobs = rng.U() < 0.5 ? int(rng.U(1, 8)) : 0;
    for (int b = 0; b < blobs; ++b) {
        const double bx = rng.U(0, width), by = rng.U(0, height), s = rng.U(15, 90), a = f.noise * rng.LogU(2, 60);
        for (int y = std::max(0, int(by - 4 * s)); y < std::min(height, int(by + 4 * s)); ++y)
            for (int x = std::max(0, int(bx - 4 * s)); x < std::min(width, int(bx + 4 * s)); ++x)
                skyMap[size_t(y) * width + x]
                    += a * std::exp(-((x - bx) * (x - bx) + (y - by) * (y - by)) / (2 * s * s));
    }
    // Renders a unit-flux profile at (cx, cy) into light, scaled to flux.
    std::vector<double> stamp;
    auto render = [&](double cx, double cy, double flux, double fw, double ell, double th, bool mof, double be,
                      double sersic) -> double {
        const double q = 1 - ell, fa = fw / std::sqrt(q), fb = fw * std::sqrt(q);
        const double c = std::cos(th), s = std::sin(th);
        const int reach = int(std::min(40.0, (sersic > 0 ? 5.0 : 3.0) * fa + 3 + trail));
        const int sub = fw < 2.5 ? 5 : fw < 5 ? 3 : 1;
        const int steps = trail > 0 && sersic == 0 ? int(std::ceil(trail)) + 1 : 1;
        const double mk = std::pow(2.0, 1.0 / be) - 1;
        const int side = 2 * reach + 1;
        stamp.assign(size_t(side) * side, 0.0);
        const int ix = int(std::lround(cx)), iy = int(std::lround(cy));
        double total = 0;
        for (int j = 0; j < side; ++j)
            for (int i = 0; i < side; ++i) {
                double v = 0;
                for (int t = 0; t < steps; ++t) {
                    const double off = steps > 1 ? trail * (double(t) / (steps - 1) - 0.5) : 0;
                    const double ox = cx + off * std::cos(trailAngle), oy = cy + off * std::sin(trailAngle);
                    for (int sy = 0; sy < sub; ++sy)
                        for (int sx = 0; sx < sub; ++sx) {
                            const double px = ix - reach + i - 0.5 + (sx + 0.5) / sub - ox;
                            const double py = iy - reach + j - 0.5 + (sy + 0.5) / sub - oy;
                            const double u = (px * c + py * s) / fa, w = (-px * s + py * c) / fb;
                            const double r2 = u * u + w * w; // in FWHM units
                            if (sersic > 0)
                                v += std::exp(-1.678 * std::pow(std::sqrt(r2) * 2, 1 / sersic));
                            else
                                v += mof ? std::pow(1 + 4 * mk * r2, -be) : std::exp(-2.772588722 * r2);
                        }
                }
                stamp[size_t(j) * side + i] = v;
                total += v;
            }
        double peak = 0;
        for (int j = 0; j < side; ++j)
            for (int i = 0; i < side; ++i) {
                const int x = ix - reach + i, y = iy - reach + j;
                const double v = flux * stamp[size_t(j) * side + i] / total;
                peak = std::max(peak, v);
                if (x >= 0 && y >= 0 && x < width && y < height)
                    light[size_t(y) * width + x] += v;
            }
        return peak;
    };
    // Stars: peaks log-uniform from 1.5 noise deviations to 5 times the full
    // well; 15 % with a companion 1.5 to 3 FWHM away.
    const int count = int(density);
    for (int k = 0; k < count; ++k) {
        const double cx = rng.U(-3, width + 2), cy = rng.U(-3, height + 2);
        const double fw = fwhm0 * rng.U(0.93, 1.07), ell = std::clamp(ell0 + rng.U(-0.05, 0.05), 0.0, 0.3);
        const double th = theta0 + rng.U(-0.2, 0.2);
        const double wantPeak = f.noise * rng.LogU(1.5, 5 * fullWell / f.noise);
        const double flux = wantPeak * fw * fw * 1.13;
        const double peak = render(cx, cy, flux, fw, ell, th, moffat, beta, 0);
        f.stars.push_back({ cx, cy, flux, peak, fw, false });
        if (rng.U() < 0.15) {
            const double a = rng.U(0, 6.28318), d = std::max(2.5, fw * rng.U(1.5, 3));
            const double ratio = rng.LogU(0.1, 1);
            const double px = cx + d * std::cos(a), py = cy + d * std::sin(a);
            f.stars.push_back(
                { px, py, flux * ratio, render(px, py, flux * ratio, fw, ell, th, moffat, beta, 0), fw, false });
        }
    }
    // Galaxies: exponential or flatter discs at least twice the stars' width.
    std::vector<std::pair<std::pair<double, double>, double>> galaxies;
    const int nGal = int(rng.U(0, 25) * double(n) / (512.0 * 512.0));
    for (int k = 0; k < nGal; ++k) {
        const double gxp = rng.U(0, width), gyp = rng.U(0, height), re = rng.U(2 * fwhm0 + 2, 4 * fwhm0 + 12);
        const double sb = f.noise * rng.LogU(1, 40);
        render(gxp, gyp, sb * re * re * 3, re, rng.U(0, 0.7), rng.U(0, 3.14), false, 2, rng.U(0.5, 1.0));
        galaxies.push_back({ { gxp, gyp }, re });
    }
    // Saturation and bleeding: the charge above the full well runs half up,
    // half down the column into pixels with room.
    std::vector<double> e(n);
    for (size_t i = 0; i < n; ++i)
        e[i] = (light[i] + skyMap[i]) * gain;
    const double wellE = (fullWell - pedestal) * gain;
    std::vector<uint8_t> sat(n, 0);
    for (int x = 0; x < width; ++x) {
        std::vector<double> over(height, 0.0);
        for (int y = 0; y < height; ++y) {
            double& v = e[size_t(y) * width + x];
            if (v > wellE) {
                over[y] = v - wellE;
                v = wellE;
            }
        }
        for (int dir = -1; dir <= 1; dir += 2) {
            double carry = 0;
            for (int t = 0; t < height; ++t) {
                const int y = dir > 0 ? t : height - 1 - t;
                carry += over[y] / 2;
                double& v = e[size_t(y) * width + x];
                const double take = std::min(carry, wellE - v);
                v += take;
                carry -= take;
            }
        }
        for (int y = 0; y < height; ++y)
            sat[size_t(y) * width + x] = e[size_t(y) * width + x] >= 0.9 * wellE;
    }
    // Noise and conversion.
    std::vector<double> adu(n);
    for (size_t i = 0; i < n; ++i)
        adu[i] = pedestal + (rng.Poisson(e[i]) + readE * rng.Gauss()) / gain;
    // Labels from the noise-free truth, before the artefacts.
    std::vector<tamrix::detect::LabelledStar> judged;
    for (Star& s : f.stars) {
        const int ix = int(std::lround(s.x)), iy = int(std::lround(s.y));
        s.saturated = ix >= 0 && iy >= 0 && ix < width && iy < height && sat[size_t(iy) * width + ix];
        judged.push_back({ s.x, s.y, s.fwhm, s.peak >= kJudgedPeak * f.noise });
    }
    f.labels = tamrix::detect::LabelStars(width, height, judged);
    auto label = [&](int x, int y) -> uint8_t& { return f.labels.labels[size_t(y) * width + x]; };
    for (const auto& g : galaxies)
        for (int y = std::max(0, int(g.first.second - 1.5 * g.second));
             y < std::min(height, int(g.first.second + 1.5 * g.second)); ++y)
            for (int x = std::max(0, int(g.first.first - 1.5 * g.second));
                 x < std::min(width, int(g.first.first + 1.5 * g.second)); ++x)
                if (label(x, y) == tamrix::detect::kSky)
                    label(x, y) = tamrix::detect::kGalaxy;
    // Saturated areas and their trails: no label but the star's centre.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (sat[size_t(y) * width + x])
                for (int j = std::max(0, y - 2); j <= std::min(height - 1, y + 2); ++j)
                    for (int i = std::max(0, x - 2); i <= std::min(width - 1, x + 2); ++i)
                        if (label(i, j) != tamrix::detect::kCentre)
                            label(i, j) = tamrix::detect::kIgnore;
    // Artefacts, marked with their neighbours unless a star is there.
    auto artefact = [&](int x, int y, double amount) {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return;
        adu[size_t(y) * width + x] += amount;
        for (int j = std::max(0, y - 1); j <= std::min(height - 1, y + 1); ++j)
            for (int i = std::max(0, x - 1); i <= std::min(width - 1, x + 1); ++i)
                if (label(i, j) == tamrix::detect::kSky || label(i, j) == tamrix::detect::kWing
                    || label(i, j) == tamrix::detect::kGalaxy)
                    label(i, j) = tamrix::detect::kArtefact;
    };
    const double area = double(n) / (512.0 * 512.0);
    const int hot = int(rng.U(10, 200) * area);
    for (int k = 0; k < hot; ++k) {
        const int x = int(rng.U(0, width)), y = int(rng.U(0, height));
        const double a = f.noise * rng.LogU(4, 50000 / f.noise + 5);
        artefact(x, y, a);
        f.artefacts.push_back({ "hot", double(x), double(y), double(x), double(y), a });
        if (rng.U() < 0.2)
            artefact(x + (rng.U() < 0.5 ? 1 : 0), y + (rng.U() < 0.5 ? 1 : 0), a * rng.U(0.2, 1));
    }
    const int cosmics = int(rng.U(3, 60) * area);
    for (int k = 0; k < cosmics; ++k) {
        double x = rng.U(0, width), y = rng.U(0, height);
        const double a = f.noise * rng.LogU(8, 30000 / f.noise + 10), ang = rng.U(0, 6.28318);
        const int len = rng.U() < 0.4 ? 1 : int(rng.U(2, 25));
        const double spread = rng.U(0, 0.3);
        f.artefacts.push_back({ "cosmic", std::floor(x), std::floor(y), std::floor(x + (len - 1) * std::cos(ang)),
            std::floor(y + (len - 1) * std::sin(ang)), a });
        for (int t = 0; t < len; ++t, x += std::cos(ang), y += std::sin(ang)) {
            const int px = int(x), py = int(y);
            const double v = a * rng.U(0.5, 1);
            artefact(px, py, v);
            if (spread > 0.05) {
                artefact(px + 1, py, v * spread * rng.U());
                artefact(px, py + 1, v * spread * rng.U());
            }
        }
    }
    const int columns = int(rng.U(0, 3.5));
    for (int k = 0; k < columns; ++k) {
        const int x = int(rng.U(0, width)), y0 = rng.U() < 0.5 ? 0 : int(rng.U(0, height));
        const double a = f.noise * rng.LogU(3, 300) * (rng.U() < 0.8 ? 1 : -0.5);
        for (int y = y0; y < height; ++y)
            artefact(x, y, a);
        f.artefacts.push_back({ "column", double(x), double(y0), double(x), double(height - 1), a });
    }
    f.pixels.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const double v = sat[i] ? fullWell : adu[i];
        f.pixels[i] = uint16_t(std::clamp(std::floor(v + 0.5), 0.0, fullScale));
    }
    return f;
}

} // namespace skyfield
