// World coordinates through bin, resample, shift and transform: every output
// pixel must have the world coordinates of the input position the library
// actually sampled, which the tests read back from ramp frames.
#include "intake/wcs.h"
#include "tamrix.h"

#include <gtest/gtest.h>
#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using tamrix::intake::MapWcs;
using tamrix::intake::PixelMap;
using Cards = std::vector<std::string>;

// Cards from words "KEY=VALUE".
Cards Header(const std::string& words)
{
    Cards cards;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        const size_t equals = word.find('=');
        std::string card = word.substr(0, equals);
        card.resize(8, ' ');
        card += "= " + word.substr(equals + 1);
        card.resize(80, ' ');
        cards.push_back(card);
    }
    return cards;
}

const std::string* Find(const Cards& cards, const std::string& key)
{
    for (const std::string& card : cards)
        if (card.compare(0, 8, (key + "        ").substr(0, 8)) == 0 && card.compare(8, 2, "= ") == 0)
            return &card;
    return nullptr;
}

// A value card's number, or `fallback` when the card is absent.
double Number(const Cards& cards, const std::string& key, double fallback)
{
    const std::string* card = Find(cards, key);
    return card ? std::stod(card->substr(10)) : fallback;
}

// IRAF's physical coordinates: logical = LTM physical + LTV. The logical
// pixel in `to` of logical pixel (x, y) in `from`.
void Logical(const Cards& from, const Cards& to, double x, double y, double out[2])
{
    const auto ltm = [](const Cards& c, int i, int j) {
        return Number(c, "LTM" + std::to_string(i) + "_" + std::to_string(j), i == j);
    };
    const double a = ltm(from, 1, 1), b = ltm(from, 1, 2), d = ltm(from, 2, 1), e = ltm(from, 2, 2);
    x -= Number(from, "LTV1", 0);
    y -= Number(from, "LTV2", 0);
    const double px = (e * x - b * y) / (a * e - b * d), py = (a * y - d * x) / (a * e - b * d);
    out[0] = ltm(to, 1, 1) * px + ltm(to, 1, 2) * py + Number(to, "LTV1", 0);
    out[1] = ltm(to, 2, 1) * px + ltm(to, 2, 2) * py + Number(to, "LTV2", 0);
}

struct Wcs {
    int n = 0;
    wcsprm* w = nullptr;
    explicit Wcs(const Cards& cards)
    {
        std::string text;
        for (const std::string& card : cards)
            text += card;
        int rejected = 0;
        EXPECT_EQ(wcspih(text.data(), int(cards.size()), WCSHDR_all, 0, &rejected, &n, &w), 0);
        for (int k = 0; k < n; ++k)
            EXPECT_EQ(wcsset(&w[k]), 0);
    }
    ~Wcs() { wcsvfree(&n, &w); }
};

// Gnomonic with a CD matrix, an alternate detector description and IRAF
// physical coordinates.
const char* const kTanCd
    = "OBJECT='NGC3115' CTYPE1='RA---TAN' CTYPE2='DEC--TAN' CRVAL1=150.11 CRVAL2=2.205 CRPIX1=20.5 "
      "CRPIX2=15.25 CD1_1=-2.4E-4 CD1_2=1.1E-4 CD2_1=1.0E-4 CD2_2=2.5E-4 WCSNAMEA='DETECTOR' "
      "CTYPE1A='DETX' CTYPE2A='DETY' CRPIX1A=0.5 CRPIX2A=0.5 CRVAL1A=1024. CRVAL2A=512. CDELT1A=0.015 "
      "CDELT2A=0.015 LTV1=-100. LTV2=-50. LTM1_1=0.5 LTM2_2=0.5";

// CDELT alone, with a spectral third axis (no WCSAXES card).
const char* const kSinCdelt = "CTYPE1='RA---SIN' CTYPE2='DEC--SIN' CTYPE3='FREQ' CRVAL1=83.8 CRVAL2=-5.4 CRVAL3=1.4E9 "
                              "CRPIX1=24. CRPIX2=18. CRPIX3=1. CDELT1=-3.0E-4 CDELT2=3.0E-4 CDELT3=1.0E6";

// The classic rotation angle.
const char* const kTanCrota
    = "CTYPE1='RA---TAN' CTYPE2='DEC--TAN' CRVAL1=10.7 CRVAL2=41.3 CRPIX1=30. CRPIX2=10. CDELT1=-2.0E-4 "
      "CDELT2=2.5E-4 CROTA2=25.";

// A CCD frame's plate solution: PC + CDELT with SIP distortion.
const char* const kSip
    = "WCSAXES=2 CTYPE1='RA---TAN-SIP' CTYPE2='DEC--TAN-SIP' CUNIT1='deg' CUNIT2='deg' EQUINOX=2000.0 LONPOLE=180.0 "
      "LATPOLE=0.1128 CRVAL1=280.544 CRVAL2=0.1128 CRPIX1=37.5 CRPIX2=25.0 A_ORDER=2 A_0_2=-1.16E-6 A_1_1=4.31E-7 "
      "A_2_0=1.63E-7 B_ORDER=2 B_0_2=4.95E-6 B_1_1=-6.09E-7 B_2_0=-9.96E-7 AP_ORDER=2 AP_0_1=-6.13E-6 AP_0_2=1.16E-6 "
      "AP_1_0=6.83E-7 AP_1_1=-4.31E-7 AP_2_0=-1.63E-7 BP_ORDER=2 BP_0_1=2.46E-5 BP_0_2=-4.95E-6 BP_1_0=-2.19E-6 "
      "BP_1_1=6.09E-7 BP_2_0=9.96E-7 PC1_1=1.53E-4 PC1_2=2.53E-5 PC2_1=-2.48E-5 PC2_2=1.53E-4 CDELT1=1.0 CDELT2=1.0 "
      "RADESYS='FK5' A_0_0=0 B_0_1=0";

// TPV: a polynomial in intermediate world coordinates, which stay unchanged.
const char* const kTpv
    = "CTYPE1='RA---TPV' CTYPE2='DEC--TPV' CRVAL1=200.3 CRVAL2=-30.2 CRPIX1=25. CRPIX2=20. "
      "CD1_1=-2.7E-4 CD1_2=0. CD2_1=0. CD2_2=2.7E-4 PV1_1=1.0 PV1_4=0.3 PV1_7=20. PV2_1=1.0 PV2_5=-0.2 "
      "PV2_9=15.";

// Ramp frames: pixel value kStep (x + 1) and kStep (y + 1), so every written
// output pixel tells the input position it was computed from to 1/kStep pixel.
constexpr int kW = 48, kH = 40;
// 32-bit ramps: Transform is exact below 2^20, SubPixelShift while s^2 49 kStep < 2^32.
constexpr uint32_t kStep = 1024;

struct Operation {
    const char* name;
    PixelMap map;
    int width, height; // of the output
    int validWidth, validHeight; // where the map holds (Resample repeats its last pixels)
    double gain; // Bin sums its blocks
    double tolerance; // in pixels per axis
    void (*run)(const uint32_t* in, uint32_t* out);
};

constexpr unsigned kS = 256, kAx = 77, kAy = 200; // shift weights in 1/256 pixel
constexpr double kAffine[6] = { 0.7, 0.35, 2.3, -0.3, 0.75, 12.1 }; // rotation, scale and shear

const Operation kOperations[] = {
    { "Bin2x3", tamrix::intake::BinMap(2, 3), kW / 2, kH / 3, kW / 2, kH / 3, 6, 0.01,
        [](const uint32_t* in, uint32_t* out) { tamrix::Bin(2, 3, const_cast<uint32_t*>(in), out, kW, kH, 4); } },
    { "Resample3x3", tamrix::intake::ResampleMap(3, 3), 3 * kW, 3 * kH, 3 * kW - 2, 3 * kH - 2, 1, 0.01,
        [](const uint32_t* in, uint32_t* out) { tamrix::Resample(3, 3, const_cast<uint32_t*>(in), out, kW, kH, 4); } },
    { "Shift", tamrix::intake::ShiftMap(3, -2, kAx, kAy, kS), kW, kH, kW, kH, 1, 0.01,
        [](const uint32_t* in, uint32_t* out) {
            tamrix::SubPixelShift(3, -2, (kS - kAx) * (kS - kAy), kAx * (kS - kAy), (kS - kAx) * kAy, kAx * kAy,
                kS * kS, const_cast<uint32_t*>(in), kW, kH, 4, out, kW, kH);
        } },
    { "Transform", tamrix::intake::TransformMap(kAffine), 50, 45, 50, 45, 1, 0.02,
        [](const uint32_t* in, uint32_t* out) {
            const double* c = kAffine;
            tamrix::Transform(c[0], c[1], c[2], c[3], c[4], c[5], const_cast<uint32_t*>(in), kW, kH, 4, out, 50, 45);
        } },
};

// The operation on the x and the y ramp (0 where it writes nothing).
std::pair<std::vector<uint32_t>, std::vector<uint32_t>> Ramps(const Operation& op)
{
    std::vector<uint32_t> rx(size_t(kW) * kH), ry(rx.size()), ox(size_t(op.width) * op.height), oy(ox.size());
    for (size_t i = 0; i < rx.size(); ++i)
        rx[i] = kStep * (i % kW + 1), ry[i] = kStep * (i / kW + 1);
    op.run(rx.data(), ox.data());
    op.run(ry.data(), oy.data());
    return { ox, oy };
}

// A SIP polynomial ("A", "B", "AP" or "BP") at offset (u, v), up to its
// declared order.
double Sip(const Cards& cards, const std::string& name, double u, double v)
{
    const int order = int(Number(cards, name + "_ORDER", 0));
    double sum = 0;
    for (int p = 0; p <= order; ++p)
        for (int q = 0; p + q <= order; ++q)
            sum += Number(cards, name + "_" + std::to_string(p) + "_" + std::to_string(q), 0) * std::pow(u, p)
                * std::pow(v, q);
    return sum;
}

// How far the inverse polynomials miss the forward ones at offset (u, v).
void Residual(const Cards& cards, double u, double v, double r[2])
{
    const double fu = u + Sip(cards, "A", u, v), fv = v + Sip(cards, "B", u, v);
    r[0] = fu + Sip(cards, "AP", fu, fv) - u;
    r[1] = fv + Sip(cards, "BP", fu, fv) - v;
}

using Named = std::pair<const char*, const char*>; // a header's name and its cards

const Named kHeaders[] = { { "TanCd", kTanCd }, { "SinCdelt", kSinCdelt }, { "TanCrota", kTanCrota }, { "Sip", kSip },
    { "Tpv", kTpv }, { "None", "OBJECT='M31' EXPTIME=120. EQUINOX=2000.0 DATE-OBS='2011-09-01T02:09:05'" } };

class WcsThroughGeometry : public testing::TestWithParam<std::tuple<Named, Operation>> { };

TEST_P(WcsThroughGeometry, OutputPixelsKeepTheWorldCoordinatesOfTheirSampledInputPositions)
{
    const Cards before = Header(std::get<0>(GetParam()).second);
    const Operation& op = std::get<1>(GetParam());
    const auto [rx, ry] = Ramps(op);
    const auto mapped = MapWcs(before, op.map, op.width, op.height);
    ASSERT_EQ(mapped.dropped, "");
    const Cards& after = mapped.cards;
    EXPECT_EQ(!Find(after, "OBJECT"), !Find(before, "OBJECT"));
    if (!Find(before, "CTYPE1")) {
        EXPECT_EQ(after, before); // nothing to carry, nothing changed
    }

    Wcs w0(before), w1(after);
    ASSERT_EQ(w1.n, w0.n);
    int checked = 0;
    for (int y = 0; y < op.validHeight; y += 2)
        for (int x = 0; x < op.validWidth; x += 2) {
            const size_t i = size_t(y) * op.width + x;
            if (rx[i] == 0)
                continue; // not written: outside the input
            ++checked;
            const double sx = rx[i] / op.gain / kStep - 1, sy = ry[i] / op.gain / kStep - 1;
            for (int k = 0; k < w0.n; ++k) {
                const int n = w1.w[k].naxis;
                std::vector<double> pix(n, 1.0), img(n), world(n), back(n);
                double phi, theta;
                int stat;
                pix[0] = x + 1;
                pix[1] = y + 1;
                ASSERT_EQ(wcsp2s(&w1.w[k], 1, n, pix.data(), img.data(), &phi, &theta, world.data(), &stat), 0);
                ASSERT_EQ(wcss2p(&w0.w[k], 1, n, world.data(), &phi, &theta, img.data(), back.data(), &stat), 0);
                EXPECT_NEAR(back[0] - 1, sx, op.tolerance) << "description " << k << " at output " << x << "," << y;
                EXPECT_NEAR(back[1] - 1, sy, op.tolerance) << "description " << k << " at output " << x << "," << y;
            }
            if (Find(before, "LTV1")) {
                double back[2];
                Logical(after, before, x + 1, y + 1, back);
                EXPECT_NEAR(back[0] - 1, sx, op.tolerance);
                EXPECT_NEAR(back[1] - 1, sy, op.tolerance);
            }
        }
    EXPECT_GT(checked, 20);

    // SIP's inverse polynomials must invert the new forward ones as well as
    // the old ones did: r'(u') = M^-1 r(M u').
    if (Find(before, "AP_ORDER"))
        for (double u : { -30.0, 0.0, 45.0 })
            for (double v : { -20.0, 25.0 }) {
                const double(&m)[2][2] = op.map.m;
                const double det = m[0][0] * m[1][1] - m[0][1] * m[1][0];
                double r0[2], r1[2];
                Residual(before, m[0][0] * u + m[0][1] * v, m[1][0] * u + m[1][1] * v, r0);
                Residual(after, u, v, r1);
                EXPECT_NEAR(r1[0], (m[1][1] * r0[0] - m[0][1] * r0[1]) / det, 1e-9);
                EXPECT_NEAR(r1[1], (-m[1][0] * r0[0] + m[0][0] * r0[1]) / det, 1e-9);
            }
}

INSTANTIATE_TEST_SUITE_P(Headers, WcsThroughGeometry,
    testing::Combine(testing::ValuesIn(kHeaders), testing::ValuesIn(kOperations)),
    [](const testing::TestParamInfo<WcsThroughGeometry::ParamType>& info) {
        return std::string(std::get<0>(info.param).first) + "_" + std::get<1>(info.param).name;
    });

// A WCS that cannot be carried goes whole, with the reason; the rest stays.
TEST(WcsThroughGeometry, RemovesWhatCannotBeCarriedAndSaysWhy)
{
    // A photographic plate's solution, in plate millimetres from the scan's corner.
    const char* const dss
        = "OBJECT='dss126604' PLTRAH=14 PLTRAM=37 PLTRAS=46.9 PLTDECSN='-' PLTDECD=60 PLTDECM=12 PLTDECS=59.3 "
          "PLTSCALE=67.2 CNPIX1=8860 CNPIX2=1708 XPIXELSZ=25.3 YPIXELSZ=25.3 PPO3=176617. PPO6=177194. AMDX1=67.2 "
          "AMDX2=-0.23 AMDX3=1.09 AMDY1=67.2 AMDY2=0.226 AMDY3=-0.527 CTYPE1='RA---TAN' CTYPE2='DEC--TAN' "
          "CRPIX1=50.0 CRPIX2=50.0 CRVAL1=217.5 CRVAL2=-62.7 CD1_1=-4.7E-4 CD2_2=4.7E-4";
    const std::string lookup = std::string(kTanCd) + " D2IMDIS1='Lookup' D2IMEXT='d2im.fits'";
    const double singular[6] = { 1, 2, 0, 2, 4, 0 };
    const struct {
        std::string header;
        PixelMap map;
        const char* reason;
    } cases[] = {
        { dss, tamrix::intake::BinMap(2, 2), "DSS plate solution" },
        { lookup, tamrix::intake::ShiftMap(1, 0, 0, 0, 1), "D2IMDIS1" },
        { kSip, tamrix::intake::TransformMap(singular), "onto a line or a point" },
        { std::string(kSip) + " A_1_2=1.0.0", tamrix::intake::BinMap(2, 2), "A_1_2" }, // crashed wcslib's parser
    };
    for (const auto& c : cases) {
        const auto mapped = MapWcs(Header(c.header), c.map, 20, 20);
        EXPECT_EQ(mapped.dropped.rfind("world coordinates removed: ", 0), 0u) << mapped.dropped;
        EXPECT_NE(mapped.dropped.find(c.reason), std::string::npos) << mapped.dropped;
        for (const char* key : { "CTYPE1", "CRPIX1", "CD1_1", "PC1_1", "CDELT1", "A_ORDER", "AP_0_1", "AMDX1", "PLTRAH",
                 "CNPIX1", "PPO3", "D2IMDIS1", "D2IMEXT", "CTYPE1A", "WCSNAMEA" })
            EXPECT_EQ(Find(mapped.cards, key), nullptr) << key << " after " << mapped.dropped;
        for (const char* key : { "OBJECT", "EQUINOX", "PLTSCALE" })
            EXPECT_EQ(!Find(mapped.cards, key), c.header.find(key) == std::string::npos) << key;
    }
}

} // namespace
