// Neural star detection: a network judges the window around every interior
// pixel, and each 4-connected group of accepted pixels is one star.
#include "tamrix.h"

#include "nnet.h"

#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/isa.h"
#include "hcpp/tamrix/stars.h"
#include "hcpp/tamrix/stars_nn_kernels.h"
#include "platform/platform.h"

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace tamrix::opt_baseline {

constexpr int kLanes = 4;
#define MulAdd(a, b, c) ((a) * (b) + (c))
#include "hcpp/tamrix/stars_nn.simd.h"
#undef MulAdd

} // namespace tamrix::opt_baseline

namespace tamrix {
namespace {

// The input vector comes from the network's Alloc so that it has the
// alignment the network's vector code reads with; it goes back through Free.
struct NetBlockDeleter {
    nnet::CNetwork* network;
    void operator()(float* block) const { network->Free(block); }
};

struct Interior {
    int r, width, height;
    bool Contains(int x, int y) const { return x >= r && x < width - r && y >= r && y < height - r; }
};

struct GroupPixel {
    int x, y;
};

// The per-pixel judgement: the window vector, then the network's own Infer.
// A window of equal pixels is never a candidate. Its vector is all NaN, which
// the network's vector exponential clamps to a finite value, so its output
// may well reach the level; the element at 0 is NaN exactly for such windows.
// Returns false when the network refuses the query (its layer sizes do not
// fit the window, which no other pixel can change).
bool Judge(nnet::CNetwork* network, const Interior& in, float level, void* frame, unsigned depth, float* input, int x,
           int y, bool& candidate)
{
    const int n = (2 * in.r + 1) * (2 * in.r + 1);
    SubFrameToVector(frame, in.width, in.height, depth, x, y, in.r, input);
    float output;
    if (!network->Infer(n, input, 1, &output))
        return false;
    candidate = !std::isnan(input[0]) && output >= level;
    return true;
}

// Every interior pixel through Judge: for networks the bulk kernels do not
// take.
void MarkEachPixel(nnet::CNetwork* network, const Interior& in, float level, void* frame, unsigned depth,
                   float* input, uint32_t* candidates)
{
    for (int y = in.r; y < in.height - in.r; ++y)
        for (int x = in.r; x < in.width - in.r; ++x) {
            bool candidate;
            if (!Judge(network, in, level, frame, depth, input, x, y, candidate))
                return;
            if (candidate)
                detail::Claim(candidates, int64_t{y} * in.width + x);
        }
}

// The network as the bulk kernels read it, and the distance within which
// their sum of the output neuron may differ from the one Infer computes.
//
// The bound, with u = 2^-24 and g(k) = k u / (1 - k u) (the error of any
// float sum of k terms, whatever the order, fused or not: |error| <= g(k)
// times the sum of the terms' magnitudes). Exact values first: the window
// scaled exactly is x_j = 2 (v_j - min) / D - 1 in [-1, 1], D = max - min.
// - The window vector: (v - min) and D rounded to float, 2 / D, the product
//   and the subtraction of 1 make at most 5 roundings of values below 2, so
//   each element is within 10u of x_j.
// - A neuron of layer 1 with weights w (L1 = sum |w|, W = sum w) and bias b:
//   Infer's sum differs from sum w x + b by at most 10u L1 (the elements)
//   plus g(n + 1) ((1 + 10u) L1 + |b|) (its roundings, bias included).
// - The kernel computes C = sum w (v - p) in float (each v - p rounded to
//   float), subtracts fl(min - p) fl(W), scales by fl(2 / fl(D)) and adds
//   fl(b - W). Since every v - p <= max - p = q D, its error is at most
//   q (2 (g(n) + u) L1 + 6u |W|) + 8u L1 + u (|b| + |W|) + u (3 L1 + |b|),
//   each coefficient rounded up to cover the products of the u's.
// - A hidden sigmoid: Infer's differs from the exact one at its own sum by
//   rho / 4 + 2u (rho the relative error of expf or of the network's vector
//   exponential, taken as 2^-16: over every float from -87 to 88.3 the
//   vector exponential stays within 8.2e-8 and glibc's expf within 6e-8;
//   where either under- or overflows the outputs differ by less than
//   2^-100), and lies in [0, 1];
//   the exact one changes at most a quarter of the change of its argument;
//   the kernel's is within 1e-6 of it: its exp(r) on |r| <= 0.347 is off by
//   the Taylor remainder (2.4e-7 relative) and Horner's roundings (13 u
//   times the terms' magnitudes, at most twice the sum: 1.6e-6 relative),
//   r by about u, and 2^n is exact; a relative error e of exp(-z) moves the
//   sigmoid by at most e / 4, and the sum and the quotient add 2u; its
//   clamp at +-32 moves it by less than 2^-44.
// - A later neuron with weights c over m inputs in [0, 1] and bias d: the
//   radii of its inputs weighted by |c|, plus the roundings of Infer's sum
//   and the kernel's, 2 g(m + 1) (sum |c| + |d|).
// - The output: Infer's is within rho / 4 + 2u of the exact sigmoid of its
//   sum, so a sum of at least logit(level + that) reaches the level and one
//   below logit(level - that) does not (zYes and zNo, rounded outwards).
// Every radius is linear in q, so the whole bound is; it is taken 1.25
// times, which covers the second-order terms and the roundings of q and of
// the radius; the kernels add 8u |sum| for the rounding of sum -+ radius.
// Arrays are plain blocks: std::vector's out-of-line members of float or int
// would be exported from the library.
struct BulkNetwork {
    std::unique_ptr<int[]> neurons;
    std::unique_ptr<float[]> floats; // weights1, sums1, shifts1, screens, then each later layer's weights, biases
    std::unique_ptr<const float*[]> rows; // per layer: its weights, then per layer: its biases
    detail::NNScan scan{};
};

// False for a network the kernels do not take: one that Infer refuses, a
// layer wider than kMaxNeurons, or a weight or bias that is not finite or
// above 1e15.
bool Prepare(const nnet::CNetwork& net, int r, float level, const void* frame, int width, BulkNetwork& b)
{
    const int taps = (2 * r + 1) * (2 * r + 1), layers = net.NumLayers;
    // g(k) below needs k u well below 1.
    if (taps > (1 << 20) || layers < 2 || net.Layers == nullptr || net.Layers[0]->NumNeurons != taps
        || net.Layers[layers - 1]->NumNeurons != 1)
        return false;
    const int h = net.Layers[1]->NumNeurons, groups = (h + detail::kNeuronGroup - 1) / detail::kNeuronGroup;
    size_t count = size_t(groups) * detail::kNeuronGroup * taps + 2 * size_t(h) + 3 * size_t(groups);
    for (int l = 1; l < layers; ++l) {
        const nnet::CLayer& layer = *net.Layers[l];
        if (layer.NumNeurons > detail::kMaxNeurons)
            return false;
        // Weights and biases up to 1e15 keep every float the kernels compute
        // finite (below 1e15 * 2^32 * 2^20 terms); larger ones, and those
        // that are not finite, go the per-pixel way.
        for (int i = 0; i < layer.NumNeurons; ++i) {
            if (!(std::fabs(layer.Biases[i]) <= 1e15f))
                return false;
            for (int j = 0; j < layer.Prev->NumNeurons; ++j)
                if (!(std::fabs(layer.Weights[i][j]) <= 1e15f))
                    return false;
        }
        if (l >= 2)
            count += size_t(layer.NumNeurons) * (layer.Prev->NumNeurons + 1);
    }
    b.neurons.reset(new int[size_t(layers)]);
    b.floats.reset(new float[count]());
    b.rows.reset(new const float*[2 * size_t(layers)]());
    for (int l = 0; l < layers; ++l)
        b.neurons[size_t(l)] = net.Layers[l]->NumNeurons;
    float* weights1 = b.floats.get();
    float* sums1 = weights1 + size_t(groups) * detail::kNeuronGroup * taps;
    float* shifts1 = sums1 + h;
    float* screens = shifts1 + h;
    float* next = screens + 3 * size_t(groups);

    constexpr double u = 0x1p-24, act = 0x1p-16 / 4 + 2.01 * u + 0x1p-100, kernel = 1e-6;
    auto g = [](int k) { return k * u / (1 - k * u); };

    // With one hidden layer, its neurons go in the order that lets the first
    // groups bound the output best. Until a neuron is computed the bound
    // takes its output as 1 if its output weight c is positive, else 0; a
    // typical output is about that at the neuron's bias alone, s, which on a
    // sky window of no structure is about where it settles. So the neurons
    // whose computing tightens the bound most are first: those of the
    // largest c (1 - s) for positive c and -c s for the others (an insertion
    // sort, stable).
    int order[detail::kMaxNeurons];
    for (int i = 0; i < h; ++i)
        order[i] = i;
    const bool screen = layers == 3 && h > detail::kNeuronGroup;
    if (screen) {
        double gain[detail::kMaxNeurons];
        for (int i = 0; i < h; ++i) {
            const double c = net.Layers[2]->Weights[0][i];
            const double s = 1 / (1 + std::exp(-double(net.Layers[1]->Biases[i])));
            gain[i] = c > 0 ? c * (1 - s) : -c * s;
        }
        for (int i = 1; i < h; ++i)
            for (int k = i; k > 0 && gain[order[k]] > gain[order[k - 1]]; --k)
                std::swap(order[k], order[k - 1]);
    }

    // Radii of the current layer's outputs (or sums, for the output layer):
    // A q + B per neuron.
    double ra[detail::kMaxNeurons], rb[detail::kMaxNeurons];
    const nnet::CLayer& first = *net.Layers[1];
    for (int i = 0; i < h; ++i) {
        const float* row = first.Weights[order[i]];
        double l1 = 0, sum = 0;
        for (int j = 0; j < taps; ++j) {
            weights1[size_t(i) * taps + j] = row[j];
            l1 += std::fabs(double{row[j]});
            sum += row[j];
        }
        const double bias = first.Biases[order[i]];
        sums1[i] = float(sum);
        shifts1[i] = float(bias - sum);
        ra[i] = 2.002 * (g(taps) * (1 + u) + u) * l1 + 6.02 * u * std::fabs(sum);
        rb[i] = 8.04 * u * l1 + u * (std::fabs(bias) + std::fabs(sum)) + u * (3 * l1 + std::fabs(bias)) + 10 * u * l1
            + 1.001 * g(taps + 1) * (l1 + std::fabs(bias));
    }
    // Per screened group: the radius terms of the neurons computed by then,
    // and the positive weights of those still to come.
    const int screenGroups = screen ? groups - 1 : 0;
    constexpr int kMaxGroups = detail::kMaxNeurons / detail::kNeuronGroup + 1;
    double screenQ[kMaxGroups] = {}, screen0[kMaxGroups] = {}, screenShift[kMaxGroups] = {};
    for (int l = 2; l < layers; ++l) {
        const nnet::CLayer& layer = *net.Layers[l];
        const int m = layer.Prev->NumNeurons, n = layer.NumNeurons;
        for (int k = 0; k < m; ++k) { // sums to outputs
            ra[k] /= 4;
            rb[k] = rb[k] / 4 + act + kernel;
        }
        float* weights = next;
        float* biases = weights + size_t(n) * m;
        next = biases + n;
        b.rows[size_t(l)] = weights;
        b.rows[size_t(layers + l)] = biases;
        double na[detail::kMaxNeurons], nb[detail::kMaxNeurons];
        for (int i = 0; i < n; ++i) {
            double l1 = 0, a = 0, c = 0;
            for (int k = 0; k < m; ++k) {
                const double w = layer.Weights[i][l == 2 ? order[k] : k];
                weights[size_t(i) * m + k] = float(w);
                l1 += std::fabs(w);
                a += std::fabs(w) * ra[k];
                c += std::fabs(w) * rb[k];
                for (int g = 0; g < screenGroups; ++g) {
                    if (k == (g + 1) * detail::kNeuronGroup - 1) {
                        screenQ[g] = a;
                        screen0[g] = c;
                    }
                    if (k >= (g + 1) * detail::kNeuronGroup && w > 0)
                        screenShift[g] += w;
                }
            }
            const double bias = layer.Biases[i];
            biases[i] = layer.Biases[i];
            const double rounding = 2 * g(m + 1) * (1.00001 * l1 + std::fabs(bias));
            na[i] = a;
            nb[i] = c + rounding;
            // The screening bound sums fewer terms and a constant rounded
            // upwards here.
            for (int g = 0; g < screenGroups; ++g) {
                screen0[g] += rounding + 2 * u * (l1 + std::fabs(bias));
                screenShift[g] += bias;
            }
        }
        std::copy(na, na + n, ra);
        std::copy(nb, nb + n, rb);
    }
    const double radiusQ = 1.25 * ra[0], radius0 = 1.25 * rb[0];

    // Output sums that decide, rounded outwards to float. Outputs lie in
    // [0, 1]: a level above 1 + act is never reached, one below -act always.
    auto logit = [](double p) { return std::log(p / (1 - p)); };
    const double up = double(level) + act, down = double(level) - act;
    const double zYes = up >= 1 ? HUGE_VAL : up <= 0 ? -HUGE_VAL : logit(up) + 1e-6;
    const double zNo = down >= 1 ? HUGE_VAL : down <= 0 ? -HUGE_VAL : logit(down) - 1e-6;
    float fYes = float(zYes), fNo = float(zNo);
    if (double(fYes) < zYes)
        fYes = std::nextafter(fYes, HUGE_VALF);
    if (double(fNo) > zNo)
        fNo = std::nextafter(fNo, -HUGE_VALF);

    detail::NNScan& s = b.scan;
    s.frame = frame;
    s.width = width;
    s.r = r;
    s.layers = layers - 1;
    s.neurons = b.neurons.get();
    s.groups = groups;
    s.weights1 = weights1;
    s.sums1 = sums1;
    s.shifts1 = shifts1;
    s.weights = b.rows.get();
    s.biases = b.rows.get() + layers;
    s.radiusQ = float(radiusQ);
    s.radius0 = float(radius0);
    s.zYes = fYes;
    s.zNo = fNo;
    for (int g = 0; g < screenGroups; ++g) {
        const float shift = float(screenShift[g]);
        screens[3 * g] = double(shift) < screenShift[g] ? std::nextafter(shift, HUGE_VALF) : shift;
        screens[3 * g + 1] = float(1.25 * screenQ[g]);
        screens[3 * g + 2] = float(1.25 * screen0[g]);
    }
    s.screenGroups = screenGroups;
    s.screen = screens;
    return true;
}

using JudgeRowsFn = void (*)(const detail::NNScan&, const detail::NNScratch&, int, int, uint8_t*);
struct JudgeKernels {
    JudgeRowsFn rows16, rows32;
};
constexpr JudgeKernels kBaseline{&opt_baseline::JudgeRows16, &opt_baseline::JudgeRows32};
constexpr JudgeKernels kAvx2{&opt_avx2::JudgeRows16, &opt_avx2::JudgeRows32};
constexpr JudgeKernels kAvx512{&opt_avx512::JudgeRows16, &opt_avx512::JudgeRows32};
constexpr JudgeKernels kVariants[isa::kLevelCount] = {kBaseline, kBaseline, kBaseline, kAvx2, kAvx512, kAvx512};

// Judges every interior pixel in bulk, rows spread over the OpenMP team,
// then on the calling thread, in raster order, sends each pixel the bulk
// could not decide through Judge. False, with nothing marked, when the
// network does not suit the kernels or memory is short.
bool MarkInBulk(nnet::CNetwork* network, const Interior& in, float level, void* frame, unsigned depth, float* input,
                uint32_t* candidates)
{
    auto bulk = std::make_unique<BulkNetwork>();
    if (!Prepare(*network, in.r, level, frame, in.width, *bulk))
        return false;
    const size_t width = size_t(in.width), r = size_t(in.r);
    const size_t perThread = 4 * (detail::kBandRows + 2 * r) * width + 2 * (width + detail::kMaxTile)
        + (2 * r + 1) * (detail::kMaxTile + 2 * r) + 2 * size_t { detail::kMaxNeurons } * detail::kMaxTile;
    const int threads = omp_get_max_threads();
    std::unique_ptr<uint32_t[]> scratch(new (std::nothrow) uint32_t[perThread * size_t(threads)]);
    std::unique_ptr<uint8_t[]> decisions(new (std::nothrow) uint8_t[width * size_t(in.height)]);
    if (!scratch || !decisions)
        return false;

    const JudgeKernels& kernels = isa::Pick(kVariants);
    const JudgeRowsFn rows = depth == 2u ? kernels.rows16 : kernels.rows32;
    const int interior = in.height - 2 * in.r, bands = (interior + detail::kBandRows - 1) / detail::kBandRows;
    detail::ParallelRows(bands, [&](int band) {
        uint32_t* base = scratch.get() + perThread * size_t(omp_get_thread_num());
        const size_t rowWords = (detail::kBandRows + 2 * r) * width;
        float* floats = reinterpret_cast<float*>(base + 4 * rowWords + 2 * (width + detail::kMaxTile));
        const detail::NNScratch m { base, base + rowWords, base + 2 * rowWords, base + 3 * rowWords,
            base + 4 * rowWords, base + 4 * rowWords + width + detail::kMaxTile, floats,
            floats + (2 * r + 1) * (detail::kMaxTile + 2 * r),
            floats + (2 * r + 1) * (detail::kMaxTile + 2 * r) + size_t { detail::kMaxNeurons } * detail::kMaxTile };
        const int y0 = in.r + band * detail::kBandRows;
        const int y1 = y0 + detail::kBandRows < in.height - in.r ? y0 + detail::kBandRows : in.height - in.r;
        rows(bulk->scan, m, y0, y1, decisions.get());
    });

    for (int y = in.r; y < in.height - in.r; ++y)
        for (int x = in.r; x < in.width - in.r; ++x) {
            const int64_t i = int64_t{y} * in.width + x;
            bool candidate = decisions[size_t(i)] == detail::kYes;
            if (decisions[size_t(i)] == detail::kUnsure && !Judge(network, in, level, frame, depth, input, x, y, candidate))
                candidate = false; // Prepare checked the sizes Infer checks
            if (candidate)
                detail::Claim(candidates, i);
        }
    return true;
}

// Collects the group of (x0, y0) with an explicit stack (a group may cover the
// whole interior), moving each pixel's bit from the candidate map to the mask
// as it is pushed so that no pixel is taken twice, and reports it.
template <class Pixel>
void ReportGroup(const Pixel* pixels, const Interior& in, int x0, int y0, uint32_t* candidates, unsigned* mask,
                 std::vector<GroupPixel>& stack, void* context, TStarCallback callback)
{
    // Exact integer products (a 32-bit value times a column needs 63 bits),
    // each rounded once into the double sums.
    double s = 0, sx = 0, sy = 0;
    uint32_t peak = 0;
    // The unweighted centre, reported for a group of zeros, whose weighted
    // centroid would be 0 / 0.
    double count = 0, ux = 0, uy = 0;
    auto take = [&](int x, int y) {
        const int64_t i = int64_t{y} * in.width + x;
        if (!in.Contains(x, y) || !detail::IsClaimed(candidates, i))
            return;
        candidates[i >> 5] &= ~(1u << (i & 31));
        detail::Claim(mask, i);
        stack.push_back({x, y});
    };
    stack.clear();
    take(x0, y0);
    while (!stack.empty()) {
        const GroupPixel p = stack.back();
        stack.pop_back();
        const uint64_t v = pixels[int64_t{p.y} * in.width + p.x];
        s += static_cast<double>(v);
        sx += static_cast<double>(v * static_cast<uint64_t>(p.x));
        sy += static_cast<double>(v * static_cast<uint64_t>(p.y));
        peak = v > peak ? static_cast<uint32_t>(v) : peak;
        count += 1;
        ux += p.x;
        uy += p.y;
        take(p.x - 1, p.y);
        take(p.x + 1, p.y);
        take(p.x, p.y - 1);
        take(p.x, p.y + 1);
    }
    const double cx = s > 0 ? sx / s : ux / count;
    const double cy = s > 0 ? sy / s : uy / count;
    callback(context, static_cast<int>(cx + 0.5), static_cast<int>(cy + 0.5), cx, cy, s, peak);
}

} // namespace

void FindStarsNN(nnet::CNetwork* network, int r, float level, void* frame, int width, int height, int depth,
                 unsigned* mask, void* context, TStarCallback callback)
{
    if (width < 1 || height < 1)
        return;
    const size_t words = detail::ClaimMaskWords(width, height);
    std::memset(mask, 0, words * sizeof(uint32_t));
    // A negative half-size would put the window's centre outside the frame;
    // a window wider or taller than the frame leaves no interior.
    if (network == nullptr || r < 0 || r > (width - 1) / 2 || r > (height - 1) / 2)
        return;
    const uint64_t inputBytes = uint64_t(2 * int64_t{r} + 1) * uint64_t(2 * int64_t{r} + 1) * sizeof(float);
    if (inputBytes > UINT_MAX || inputBytes / sizeof(float) > uint64_t(INT_MAX))
        return;
    std::unique_ptr<float, NetBlockDeleter> input(static_cast<float*>(network->Alloc(static_cast<unsigned>(inputBytes))),
                                                  NetBlockDeleter{network});
    std::unique_ptr<uint32_t[]> candidates(new (std::nothrow) uint32_t[words]());
    if (!input || !candidates)
        return;
    const Interior in{r, width, height};
    // The bulk path's tables may not fit in memory; the per-pixel path needs
    // none. Either marks nothing before its allocations are done.
    bool bulk = false;
    auto markInBulk = [&] {
        bulk = MarkInBulk(network, in, level, frame, static_cast<unsigned>(depth), input.get(), candidates.get());
    };
    if (!platform::RunUnlessOutOfMemory(markInBulk) || !bulk)
        MarkEachPixel(network, in, level, frame, static_cast<unsigned>(depth), input.get(), candidates.get());
    // When the group stack cannot grow, the groups reported so far stand and
    // everything is released on the way out.
    std::vector<GroupPixel> stack;
    auto report = [&] {
        detail::WithPixelType(depth, [&](auto pixel) {
            using Pixel = decltype(pixel);
            const Pixel* pixels = detail::Pixels<Pixel>(static_cast<const void*>(frame));
            for (int y = r; y < height - r; ++y)
                for (int x = r; x < width - r; ++x)
                    if (detail::IsClaimed(candidates.get(), int64_t{y} * width + x))
                        ReportGroup(pixels, in, x, y, candidates.get(), mask, stack, context, callback);
        });
    };
    platform::RunUnlessOutOfMemory(report);
}

} // namespace tamrix
