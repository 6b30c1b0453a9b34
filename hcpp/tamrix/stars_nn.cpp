// Neural star detection: a network judges the window around every interior
// pixel, and each 4-connected group of accepted pixels is one star.
#include "tamrix.h"

#include "nnet.h"

#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/stars.h"
#include "platform/platform.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

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

// Sets the candidate bit of every interior pixel whose window the network
// accepts at the level. A NaN output (a flat window) compares false. When
// the network refuses a query its layer sizes do not fit the window, which
// no later pixel can change, so the pass stops there with no candidates.
void MarkCandidates(nnet::CNetwork* network, const Interior& in, float level, void* frame, unsigned depth,
                    float* input, uint32_t* candidates)
{
    const int n = (2 * in.r + 1) * (2 * in.r + 1);
    for (int y = in.r; y < in.height - in.r; ++y)
        for (int x = in.r; x < in.width - in.r; ++x) {
            SubFrameToVector(frame, in.width, in.height, depth, x, y, in.r, input);
            float output;
            if (!network->Infer(n, input, 1, &output))
                return;
            if (output >= level)
                detail::Claim(candidates, int64_t{y} * in.width + x);
        }
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
    MarkCandidates(network, in, level, frame, static_cast<unsigned>(depth), input.get(), candidates.get());
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
