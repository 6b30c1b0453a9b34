// Every instruction-set variant of the flat division and of the neural
// detector's bulk scan against their pixel-by-pixel references, forced one
// after another on this machine.
#include "isa_levels.h"
#include "nnet_support.h"
#include "reference/calibration.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

class KernelVariants : public tamrix::test::AtEveryLevel { };

// Rows of random pixels, then rows with special pixels: zero flats,
// saturated raw pixels, tiny flats that clamp; then quotients exactly on,
// just below and just above integers (step s). Widths are not multiples of
// the vector width.
template <class Pixel> void CheckFlat(int w, uint32_t s, std::initializer_list<uint64_t> levels)
{
    const int h = 6;
    const Pixel full = static_cast<Pixel>(-1);
    auto raw = tamrix::test::RandomFrame<Pixel>(w, h, 21 + sizeof(Pixel));
    auto flat = tamrix::test::RandomFrame<Pixel>(w, h, 22 + sizeof(Pixel));
    for (int x = 0; x < w; x += 3) {
        flat[x] = static_cast<Pixel>(x % 5);
        raw[w + x] = static_cast<Pixel>(full - x % 2);
        flat[2 * w + x] = static_cast<Pixel>(1 + x % 4);
    }
    for (int x = 0; x < w; ++x) {
        flat[3 * w + x] = static_cast<Pixel>(full - x);
        raw[3 * w + x] = static_cast<Pixel>(full - x - (x % 3 == 0));
        raw[4 * w + x] = static_cast<Pixel>((x + 1) * s - (x % 2));
        flat[4 * w + x] = static_cast<Pixel>(s);
    }
    for (uint64_t m : levels) {
        const double level = m == 0 ? 0.25 : static_cast<double>(m); // 0.25 rounds to m = 0
        std::vector<Pixel> out(raw.size());
        double written = level;
        tamrix::Flat(raw.data(), out.data(), flat.data(), &written, w, h, sizeof(Pixel));
        EXPECT_EQ(out, tamrix::reference::Flat(raw, flat, level)) << sizeof(Pixel) * 8 << "-bit, m = " << m;
    }
}

// For 32-bit frames the largest level of the double path, the first beyond
// it, and 2^32.
TEST_P(KernelVariants, FlatMatchesTheReference)
{
    CheckFlat<uint16_t>(1000, 60, { 0, 1, 2000, 30001, 65535, 65536, 1000000, 4294967295u });
    CheckFlat<uint32_t>(1001, 2097151u, { 0, 1, 30000, 2097151, 2097152, 4294967296ull });
}

// The neural detector's per-pixel loop: each interior window's vector through
// the network's Infer; NaN where the window's pixels are all equal, which is
// never a candidate.
std::vector<float> LiteralOutputs(nnet::CNetwork& net, int r, void* frame, int w, int h, int depth)
{
    const int n = (2 * r + 1) * (2 * r + 1);
    float* input = static_cast<float*>(net.Alloc(n * sizeof(float)));
    std::vector<float> out(size_t(w) * h, NAN);
    for (int y = r; y < h - r; ++y)
        for (int x = r; x < w - r; ++x) {
            tamrix::SubFrameToVector(frame, w, h, depth, x, y, r, input);
            net.Infer(n, input, 1, &out[size_t(y) * w + x]);
            if (std::isnan(input[0]))
                out[size_t(y) * w + x] = NAN;
        }
    net.Free(input);
    return out;
}

void NoStar(void*, int, int, double, double, double, unsigned) { }

// Noise, stars, a patch of equal pixels and a saturated block beside a star;
// levels at the median of the literal outputs, one step above it, and at the
// 90th percentile, so that many pixels lie near them and one just below.
template <class Pixel>
void ExpectLiteralCandidates(uint64_t background, uint64_t noise, uint64_t full, int depth)
{
    const int w = 77, h = 45;
    auto frame = tamrix::test::RandomFrame<Pixel>(w, h, 5, background, background + noise);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double d2 = (x - 20.3) * (x - 20.3) + (y - 22.6) * (y - 22.6);
            const double e2 = (x - 60.5) * (x - 60.5) + (y - 12.2) * (y - 12.2);
            const double star = (full - background - noise) * (0.5 * std::exp(-d2 / 4) + std::exp(-e2 / 8));
            frame[size_t(y) * w + x] = Pixel(std::min<double>(full, frame[size_t(y) * w + x] + star));
            if (x >= 35 && x < 50 && y >= 20 && y < 36)
                frame[size_t(y) * w + x] = Pixel(background);
            if (x >= 62 && x < 67 && y >= 10 && y < 16)
                frame[size_t(y) * w + x] = Pixel(full);
        }
    // Every network level the processor runs, whatever the seam's cap.
    for (int level = nnet::SIMD_NONE; level <= std::min<int>(nnet::SIMD_AVX2, int(tamrix::isa::Detected())); ++level) {
        nnet::CNetwork shipped;
        shipped.SIMDlevel = nnet::TSIMDlevel(level);
        const char* file = TAMRIX_DATA_DIR "/stars.net";
        char message[256];
        ASSERT_TRUE(shipped.LoadNet(int(std::strlen(file)) + 1, file, sizeof message, message)) << message;
        // r 1 through two hidden layers; r 2 through one hidden layer of 8.
        auto deep = nnet::test::Build(nnet::TSIMDlevel(level), {9, 9, 5, 1});
        auto wide = nnet::test::Build(nnet::TSIMDlevel(level), {25, 8, 1}, 3);
        for (auto [net, r] : {std::pair{&shipped, 5}, {deep.get(), 1}, {wide.get(), 2}}) {
            std::vector<float> outputs = LiteralOutputs(*net, r, frame.data(), w, h, depth), sorted;
            std::copy_if(outputs.begin(), outputs.end(), std::back_inserter(sorted), [](float o) { return o == o; });
            std::sort(sorted.begin(), sorted.end());
            const float median = sorted[sorted.size() / 2];
            for (float at : {median, std::nextafter(median, 2.0f), sorted[sorted.size() * 9 / 10]}) {
                SCOPED_TRACE(testing::Message() << "vector level " << level << ", r " << r << ", level " << at);
                std::vector<unsigned> mask((size_t(w) * h + 31) / 32);
                tamrix::FindStarsNN(net, r, at, frame.data(), w, h, depth, mask.data(), nullptr, NoStar);
                // The literal candidates; their grouping is the same code on
                // every path (test_stars_nn).
                for (size_t i = 0; i < outputs.size(); ++i)
                    ASSERT_EQ(outputs[i] >= at, bool((mask[i / 32] >> (i % 32)) & 1u)) << "pixel " << i;
            }
        }
    }
}

TEST_P(KernelVariants, NeuralCandidatesMatchTheLiteralLoop)
{
    ExpectLiteralCandidates<uint16_t>(1000, 200, 65535, 2);
    ExpectLiteralCandidates<uint32_t>(4000000000u, 5000, 4294967295u, 4);
}

TAMRIX_AT_EVERY_LEVEL(KernelVariants);

} // namespace
