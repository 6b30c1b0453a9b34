// Trains the star network shipped as data/stars.net and scores it.
//
//   train_star_net [output file]      (default data/stars.net)
//
// Training fields use seeds 1 .. 16 (512 x 512, about 170 stars from 3 to
// 3000 noise levels high, Gaussian and Moffat profiles, 15 % close pairs, a
// sky gradient, 60 hot pixels and 20 cosmic-ray tracks each); the scoring
// fields seeds 1001 .. 1004, never seen in training. Windows of 11 x 11
// pixels (radius 5, 121 inputs) come from tamrix::SubFrameToVector. A window
// is a star (target 1) when a star at least 5 noise levels high has its
// centre within 1 pixel of the window's centre, sky (target 0) when no star
// centre lies within 3 pixels; the windows between are left out. Every star
// window is used, with ten sky windows per star window: a third on hot
// pixels and tracks, a third on local maxima of the noise, a third anywhere.
// The network (121-12-1) is trained with nnet::CNetwork::Learn (batches of
// 16, rate 1, 60 epochs) from Lib::FixSeed(2024), so the same build writes
// the same file. It is meant for FindStarsNN with r = 5 and level 0.95; the
// scores printed at the end are those of that level and its neighbours,
// beside FindStars1C on the same fields.
#include "star_fields.h"

#include "hostlib.h"
#include "nnet.h"
#include "tamrix.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr int kRadius = 5;
constexpr int kInputs = (2 * kRadius + 1) * (2 * kRadius + 1);
constexpr int kHidden = 12;
constexpr int kTrainingFields = 16;
constexpr double kMinSnr = 5.0;
constexpr float kLevel = 0.95f; // the level the network is meant to be used at
constexpr size_t kSkyPerStar = 10;

double NearestStar(const starnet::Field& f, double x, double y, double minPeak)
{
    double best = 1e30;
    for (const auto& s : f.stars)
        if (s.peak >= minPeak)
            best = std::min(best, (s.x - x) * (s.x - x) + (s.y - y) * (s.y - y));
    return std::sqrt(best);
}

struct Samples {
    std::vector<std::vector<float>> in;
    std::vector<float> target;
    void Add(const starnet::Field& f, int x, int y, float t)
    {
        std::vector<float> v(kInputs);
        tamrix::SubFrameToVector(const_cast<uint16_t*>(f.pixels.data()), f.width, f.height, 2, x, y, kRadius,
                                 v.data());
        if (std::isnan(v[0]))
            return;
        in.push_back(std::move(v));
        target.push_back(t);
    }
};

Samples Collect(uint32_t firstSeed, int fields)
{
    Samples s;
    std::mt19937 rng(firstSeed * 7919u);
    for (int k = 0; k < fields; ++k) {
        const starnet::Field f = starnet::MakeField(firstSeed + k);
        size_t positives = 0;
        for (const auto& star : f.stars) {
            if (star.peak < kMinSnr * starnet::kNoise)
                continue;
            for (int y = int(star.y) - 1; y <= int(star.y) + 2; ++y)
                for (int x = int(star.x) - 1; x <= int(star.x) + 2; ++x)
                    if (x >= kRadius && y >= kRadius && x < f.width - kRadius && y < f.height - kRadius &&
                        std::hypot(x - star.x, y - star.y) <= 1.0) {
                        s.Add(f, x, y, 1.0f);
                        ++positives;
                    }
        }
        // Sky windows, kSkyPerStar per star window: a third on hot pixels and
        // tracks and their neighbours, a third on local maxima of the noise
        // (what a star's centre looks like to a careless detector), a third
        // anywhere.
        std::uniform_int_distribution<int> px(kRadius, f.width - kRadius - 1), py(kRadius, f.height - kRadius - 1);
        std::uniform_int_distribution<int> jitter(-1, 1);
        size_t negatives = 0;
        for (size_t tries = 0; negatives < kSkyPerStar * positives && tries < 1000 * positives; ++tries) {
            int x = px(rng), y = py(rng);
            if (negatives % 3 == 0 && !f.hot.empty()) {
                const auto& h = f.hot[std::uniform_int_distribution<size_t>(0, f.hot.size() - 1)(rng)];
                x = h.first + jitter(rng);
                y = h.second + jitter(rng);
            } else if (negatives % 3 == 1) {
                const uint16_t v = f.pixels[size_t(y) * f.width + x];
                bool peak = true;
                for (int j = -1; j <= 1; ++j)
                    for (int i = -1; i <= 1; ++i)
                        peak = peak && f.pixels[size_t(y + j) * f.width + x + i] <= v;
                if (!peak)
                    continue;
            }
            if (x < kRadius || y < kRadius || x >= f.width - kRadius || y >= f.height - kRadius)
                continue;
            if (NearestStar(f, x, y, 0.0) < 3.0)
                continue;
            s.Add(f, x, y, 0.0f);
            ++negatives;
        }
    }
    return s;
}

struct Score {
    size_t stars = 0, found = 0, reports = 0, falses = 0, hot = 0, hotReported = 0;
};

struct Detections {
    std::vector<std::pair<double, double>> at;
};

void Keep(void* context, int, int, double cx, double cy, double, unsigned)
{
    static_cast<Detections*>(context)->at.push_back({cx, cy});
}

// A star (at least kMinSnr high) counts as found when a report lies within 2
// pixels of it; a report is false when no star of any height lies within 2
// pixels; a hot or track pixel counts as reported when a report lies within
// 1.5 pixels of it and no star centre within 3.
void Tally(const starnet::Field& f, const Detections& d, Score& score)
{
    for (const auto& s : f.stars) {
        if (s.peak < kMinSnr * starnet::kNoise || s.x < 7 || s.y < 7 || s.x > f.width - 7 || s.y > f.height - 7)
            continue;
        ++score.stars;
        for (const auto& p : d.at)
            if (std::hypot(p.first - s.x, p.second - s.y) <= 2.0) {
                ++score.found;
                break;
            }
    }
    for (const auto& p : d.at) {
        ++score.reports;
        score.falses += NearestStar(f, p.first, p.second, 0.0) > 2.0;
    }
    for (const auto& h : f.hot) {
        if (NearestStar(f, h.first, h.second, 0.0) < 3.0)
            continue;
        ++score.hot;
        for (const auto& p : d.at)
            if (std::hypot(p.first - h.first, p.second - h.second) <= 1.5) {
                ++score.hotReported;
                break;
            }
    }
}

void Print(const char* name, const Score& s)
{
    std::printf("%-28s stars %zu  found %zu (%.1f %%)  reports %zu  false %zu  hot/track pixels reported %zu of %zu "
                "(%.1f %%)\n",
                name, s.stars, s.found, 100.0 * s.found / s.stars, s.reports, s.falses, s.hotReported, s.hot,
                100.0 * s.hotReported / std::max<size_t>(1, s.hot));
}

// SaveNet arrives with the network file format; until then the tool trains
// and scores without writing.
template <class Net>
auto Save(Net& net, const char* path, int) -> decltype(net.SaveNet(0, path, 0, nullptr))
{
    char message[512] = "";
    const bool ok = net.SaveNet(int(std::strlen(path)) + 1, path, sizeof message, message);
    if (!ok)
        std::fprintf(stderr, "%s: %s\n", path, message);
    return ok;
}
template <class Net>
bool Save(Net&, const char* path, long)
{
    std::fprintf(stderr, "%s not written: this build has no SaveNet\n", path);
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const char* output = argc > 1 ? argv[1] : "data/stars.net";
    Samples train = Collect(1, kTrainingFields);
    std::printf("training windows: %zu\n", train.in.size());
    std::vector<float*> inputs, targets;
    for (size_t i = 0; i < train.in.size(); ++i) {
        inputs.push_back(train.in[i].data());
        targets.push_back(&train.target[i]);
    }
    Lib::FixSeed(2024);
    const int sizes[] = {kInputs, kHidden, 1};
    nnet::CNetwork net(3, sizes);
    if (!net.Learn(int(inputs.size()), kInputs, inputs.data(), 1, targets.data(), 16, 1.0f, 0.0f, 60, nullptr)) {
        std::fprintf(stderr, "training refused\n");
        return 1;
    }
    // The shipped level is kLevel; the others show the trade-off.
    const float levels[] = {0.9f, kLevel, 0.98f, 0.99f};
    Score nn[std::size(levels)], classic;
    for (uint32_t seed = 1001; seed <= 1004; ++seed) {
        starnet::Field f = starnet::MakeField(seed);
        std::vector<unsigned> mask((f.pixels.size() + 31) / 32);
        for (size_t l = 0; l < std::size(levels); ++l) {
            Detections d;
            tamrix::FindStarsNN(&net, kRadius, levels[l], f.pixels.data(), f.width, f.height, 2, mask.data(), &d,
                                Keep);
            Tally(f, d, nn[l]);
        }
        Detections c;
        std::fill(mask.begin(), mask.end(), 0u);
        tamrix::FindStars1C(6, 3.0, 2, 1000 + unsigned(3 * starnet::kNoise), f.pixels.data(), f.width, f.height, 2,
                            mask.data(), &c, Keep);
        Tally(f, c, classic);
    }
    for (size_t l = 0; l < std::size(levels); ++l) {
        char name[64];
        std::snprintf(name, sizeof name, "FindStarsNN (level %.3f)", levels[l]);
        Print(name, nn[l]);
    }
    Print("FindStars1C (r 6, k 3, q 2)", classic);
    return Save(net, output, 0) ? 0 : 2;
}
