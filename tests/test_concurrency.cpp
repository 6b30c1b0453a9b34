// Several host threads calling frame functions at the same time: every call
// opens its own parallel loop and shares nothing but the library's one lock,
// so each must give exactly what it gives alone.
#include "tamrix.h"
#include "recording_window.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::RecordingWindow;

namespace {

// One frame function call on buffers of its own. run() writes only into
// output (in-place operations get their input copied there first), so a job
// can run any number of times and must give the same bytes each time.
struct Job {
    using Body = std::function<void(std::vector<uint8_t>& output)>;
    Job(std::string n, Body r) : name(std::move(n)), run(std::move(r)) {}

    std::string name;
    Body run;
    std::vector<uint8_t> expected;

    std::vector<uint8_t> Run() const
    {
        std::vector<uint8_t> out;
        run(out);
        return out;
    }
};

template <class T>
std::vector<uint8_t> Bytes(const std::vector<T>& v)
{
    std::vector<uint8_t> b(v.size() * sizeof(T));
    if (!b.empty())
        std::memcpy(b.data(), v.data(), b.size());
    return b;
}

// A sky with a slope, noise and a grid of Gaussian stars, 16-bit.
std::vector<uint16_t> StarField(int side, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 10.0);
    std::vector<double> sky(static_cast<size_t>(side) * side);
    for (size_t i = 0; i < sky.size(); ++i)
        sky[i] = 1000 + 0.1 * static_cast<double>(i % side) + noise(rng);
    const int cells = side / 64;
    for (int i = 0; i < cells * cells; ++i) {
        const double cx = 32 + 64 * (i % cells) + 16 * (unit(rng) - 0.5);
        const double cy = 32 + 64 * (i / cells) + 16 * (unit(rng) - 0.5);
        const double sigma = 1.2 + 0.8 * unit(rng), peak = 3000 + 30000 * unit(rng);
        for (int y = static_cast<int>(cy) - 12; y <= static_cast<int>(cy) + 12; ++y)
            for (int x = static_cast<int>(cx) - 12; x <= static_cast<int>(cx) + 12; ++x)
                sky[static_cast<size_t>(y) * side + x] +=
                    peak * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * sigma * sigma));
    }
    std::vector<uint16_t> frame;
    for (double v : sky)
        frame.push_back(static_cast<uint16_t>(std::lround(std::min(v, 65535.0))));
    return frame;
}

struct Star {
    int x, y;
    double cx, cy, flux;
    unsigned peak;
    bool operator==(const Star& o) const
    {
        return x == o.x && y == o.y && cx == o.cx && cy == o.cy && flux == o.flux && peak == o.peak;
    }
};

void CollectStar(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    static_cast<std::vector<Star>*>(context)->push_back({x, y, cx, cy, flux, peak});
}

std::vector<uint8_t> StarBytes(const std::vector<Star>& stars)
{
    std::vector<uint8_t> b;
    for (const Star& s : stars) {
        const double v[] = {double(s.x), double(s.y), s.cx, s.cy, s.flux, double(s.peak)};
        b.insert(b.end(), reinterpret_cast<const uint8_t*>(v), reinterpret_cast<const uint8_t*>(v + 6));
    }
    return b;
}

// Jobs of every frame function whose result is fixed, on odd sizes, both
// depths. Buffers are shared read-only between repetitions of one job.
template <class Pixel>
void AddJobs(std::vector<Job>& jobs, uint32_t seed)
{
    constexpr int depth = sizeof(Pixel);
    const std::string tag = depth == 2 ? "/16" : "/32";
    const int w = 301 + seed % 7, h = 203 + seed % 5;
    auto raw = std::make_shared<std::vector<Pixel>>(RandomFrame<Pixel>(w, h, seed));
    auto cal = std::make_shared<std::vector<Pixel>>(RandomFrame<Pixel>(w, h, seed + 1, 0, 4000));
    const size_t n = raw->size();

    jobs.push_back({"Bin" + tag, [=](std::vector<uint8_t>& out) {
                        const int bx = 3, by = 2;
                        out.assign(size_t(w / bx) * (h / by) * 4, 0);
                        tamrix::Bin(bx, by, raw->data(), out.data(), w, h, depth);
                    }});
    jobs.push_back({"DiffDark in place" + tag, [=](std::vector<uint8_t>& out) {
                        out = Bytes(*raw);
                        tamrix::DiffDark(out.data(), out.data(), cal->data(), w, h, depth);
                    }});
    jobs.push_back({"Flat, mean of the flat" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * sizeof(Pixel), 0);
                        double level = 0.0;
                        tamrix::Flat(raw->data(), out.data(), cal->data(), &level, w, h, depth);
                        out.insert(out.end(), reinterpret_cast<uint8_t*>(&level),
                                   reinterpret_cast<uint8_t*>(&level + 1));
                    }});
    jobs.push_back({"Flat, given level" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * sizeof(Pixel), 0);
                        double level = 1234.5;
                        tamrix::Flat(raw->data(), out.data(), cal->data(), &level, w, h, depth);
                    }});
    // The median's progress counter is shared state under the lock: each
    // run's window must see its own rows, once each.
    jobs.push_back({"Median with progress" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * sizeof(Pixel), 0);
                        RecordingWindow window;
                        tamrix::Median(window.Handle(), nullptr, cal->data(), out.data(), w, h, depth, 0, 4095, 2, 50,
                                       800, 1, 0);
                        std::set<uintptr_t> counts;
                        for (const auto& m : window.WaitFor(h))
                            counts.insert(m.wParam);
                        const uint32_t distinct = static_cast<uint32_t>(counts.size());
                        out.insert(out.end(), reinterpret_cast<const uint8_t*>(&distinct),
                                   reinterpret_cast<const uint8_t*>(&distinct + 1));
                    }});
    jobs.push_back({"Resample" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * 6 * sizeof(Pixel), 0);
                        tamrix::Resample(3, 2, cal->data(), out.data(), w, h, depth);
                    }});
    jobs.push_back({"SubPixelShift" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * sizeof(Pixel), 0);
                        tamrix::SubPixelShift(-3, 2, 9, 3, 3, 1, 16, raw->data(), w, h, depth, out.data(), w, h);
                    }});
    jobs.push_back({"Transform" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * sizeof(Pixel), 0);
                        tamrix::Transform(0.9, -0.3, 20.5, 0.3, 0.9, -10.25, cal->data(), w, h, depth, out.data(), w,
                                          h);
                    }});
    // Minimum and maximum are shared under the lock; the mean is exact here
    // (integer partial sums), the deviation's last bits may vary.
    jobs.push_back({"CalculateAreaStatistics" + tag, [=](std::vector<uint8_t>& out) {
                        unsigned lo = 0, hi = 0;
                        double mean = 0, deviation = 0;
                        tamrix::CalculateAreaStatistics(raw->data(), w, h, depth, 5, 7, w - 20, h, &lo, &hi, &mean,
                                                        &deviation);
                        out = Bytes(std::vector<double>{double(lo), double(hi), mean});
                    }});
    // The running maximum of the vector lengths is shared under the lock and
    // sets the grid of marks.
    jobs.push_back({"FillFrameWithPolynoms" + tag, [=](std::vector<uint8_t>& out) {
                        out.assign(n * sizeof(Pixel), 0);
                        tamrix::FillFrameWithPolynoms(out.data(), w, h, depth, 0.02, 0, 0.01, 0, 0.03, 0, 0.01, 0.002,
                                                      0, 0.001, 0, 0.01, 0, 0.02, 0, 0, 0.03, 0.001, 0.002, 0);
                    }});
    jobs.push_back({"CreateMonoDIB reduced" + tag, [=](std::vector<uint8_t>& out) {
                        std::vector<uint8_t> lut(4096);
                        for (size_t i = 0; i < lut.size(); ++i)
                            lut[i] = static_cast<uint8_t>(i * 7);
                        out.assign(size_t((w / 2 + 3) / 4 * 4) * (h / 2), 0);
                        tamrix::CreateMonoDIB(-1, out.data(), w, h, depth, cal->data(), 100, 3900, 0, lut.data());
                    }});
    jobs.push_back({"CreateColorDIB enlarged" + tag, [=](std::vector<uint8_t>& out) {
                        std::vector<uint8_t> lut(4096);
                        for (size_t i = 0; i < lut.size(); ++i)
                            lut[i] = static_cast<uint8_t>(i * 3);
                        out.assign(size_t((6 * w + 3) / 4 * 4) * (2 * h), 0);
                        tamrix::CreateColorDIB(1, out.data(), w, h, depth, cal->data(), 0, 4000, 0, lut.data(),
                                               cal->data(), 200, 3000, 0, lut.data(), raw->data(), 0, 0, 0, nullptr);
                    }});
}

std::vector<Job> AllJobs()
{
    std::vector<Job> jobs;
    AddJobs<uint16_t>(jobs, 11);
    AddJobs<uint32_t>(jobs, 12);
    auto field = std::make_shared<std::vector<uint16_t>>(StarField(256, 5));
    jobs.push_back({"FindStars1C", [=](std::vector<uint8_t>& out) {
                        std::vector<unsigned> mask(256 * 256 / 32);
                        std::vector<Star> stars;
                        tamrix::FindStars1C(16, 3.0, 2, 1200, field->data(), 256, 256, 2, mask.data(), &stars,
                                            CollectStar);
                        out = StarBytes(stars);
                        const auto m = Bytes(mask);
                        out.insert(out.end(), m.begin(), m.end());
                    }});
    for (Job& job : jobs)
        job.expected = job.Run();
    return jobs;
}

// Runs every job on each of `hosts` threads, `rounds` times, each host
// starting at a different job so that different functions overlap.
void RunConcurrently(const std::vector<Job>& jobs, int hosts, int rounds)
{
    std::vector<std::vector<std::string>> failures(hosts);
    std::vector<std::thread> threads;
    for (int t = 0; t < hosts; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round)
                for (size_t i = 0; i < jobs.size(); ++i) {
                    const Job& job = jobs[(i + t * 3 + round) % jobs.size()];
                    if (job.Run() != job.expected)
                        failures[t].push_back(job.name + " in round " + std::to_string(round));
                }
        });
    for (auto& t : threads)
        t.join();
    for (int t = 0; t < hosts; ++t)
        EXPECT_TRUE(failures[t].empty()) << "host " << t << ": " << failures[t].front();
}

TEST(ConcurrentHosts, DifferentFunctionsAtOnceGiveTheSerialResults)
{
    RunConcurrently(AllJobs(), 4, 3);
}

TEST(ConcurrentHosts, HostsWithFewerOpenMPThreadsGiveTheSameResults)
{
    // omp_set_num_threads is per host thread: one host runs single-threaded
    // loops while the others run wide ones.
    const auto jobs = AllJobs();
    std::thread narrow([&] {
        omp_set_num_threads(1);
        for (const Job& job : jobs)
            EXPECT_EQ(job.Run(), job.expected) << job.name;
    });
    std::thread wide([&] {
        omp_set_num_threads(7);
        for (const Job& job : jobs)
            EXPECT_EQ(job.Run(), job.expected) << job.name;
    });
    narrow.join();
    wide.join();
}

// ---- Star detection from several hosts ----------------------------------

// Matches each star found alone with one found concurrently: the parallel
// scan may measure a star from a neighbouring grid position when another
// thread claims it first, so positions agree within a small tolerance.
void ExpectSameStars(const std::vector<Star>& alone, const std::vector<Star>& found, const std::string& what)
{
    ASSERT_EQ(found.size(), alone.size()) << what;
    for (const Star& s : alone) {
        auto distance = [&](const Star& o) { return std::hypot(o.cx - s.cx, o.cy - s.cy); };
        const Star& p = *std::min_element(found.begin(), found.end(),
                                          [&](const Star& a, const Star& b) { return distance(a) < distance(b); });
        EXPECT_LT(distance(p), 0.02) << what << " at " << s.cx << "," << s.cy;
        EXPECT_NEAR(p.flux, s.flux, 0.01 * s.flux) << what;
    }
}

TEST(ConcurrentStarDetection, SeparateMasksEachReportTheSameStarsAsAlone)
{
    constexpr int kSide = 384, kHosts = 3;
    std::vector<std::vector<uint16_t>> fields;
    std::vector<std::vector<Star>> alone(kHosts), alone1C(kHosts);
    for (int t = 0; t < kHosts; ++t) {
        fields.push_back(StarField(kSide, 20 + t));
        std::vector<unsigned> mask(kSide * kSide / 32), mask1C(kSide * kSide / 32);
        tamrix::FindStars(16, 3.0, 2, 1200, fields[t].data(), kSide, kSide, 2, mask.data(), &alone[t], CollectStar);
        tamrix::FindStars1C(16, 3.0, 2, 1200, fields[t].data(), kSide, kSide, 2, mask1C.data(), &alone1C[t],
                            CollectStar);
        ASSERT_EQ(alone[t].size(), 36u);
    }
    for (int round = 0; round < 3; ++round) {
        std::vector<std::vector<Star>> found(kHosts), found1C(kHosts);
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHosts; ++t)
            hosts.emplace_back([&, t] {
                std::vector<unsigned> mask(kSide * kSide / 32), mask1C(kSide * kSide / 32);
                tamrix::FindStars(16, 3.0, 2, 1200, fields[t].data(), kSide, kSide, 2, mask.data(), &found[t],
                                  CollectStar);
                tamrix::FindStars1C(16, 3.0, 2, 1200, fields[t].data(), kSide, kSide, 2, mask1C.data(),
                                    &found1C[t], CollectStar);
            });
        for (auto& h : hosts)
            h.join();
        for (int t = 0; t < kHosts; ++t) {
            ExpectSameStars(alone[t], found[t], "host " + std::to_string(t));
            EXPECT_TRUE(found1C[t] == alone1C[t]) << "the single-threaded scan is deterministic";
        }
    }
}

// The callback runs under the library's one lock: no two callbacks overlap,
// neither of one call nor of calls from different hosts.
std::atomic<int> inside{0}, overlaps{0};
std::atomic<int> callsPerHost[4];

void SlowCallback(void* context, int, int, double, double, double, unsigned)
{
    overlaps += inside++ != 0;
    ++callsPerHost[reinterpret_cast<intptr_t>(context)];
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (std::chrono::steady_clock::now() < until) {
    }
    --inside;
}

TEST(ConcurrentStarDetection, CallbacksNeverOverlapWithinOrAcrossCalls)
{
    constexpr int kSide = 384, kHosts = 4;
    const auto field = StarField(kSide, 30);
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHosts; ++t)
        hosts.emplace_back([&, t] {
            omp_set_num_threads(5);
            std::vector<unsigned> mask(kSide * kSide / 32);
            tamrix::FindStars(16, 3.0, 2, 1200, const_cast<uint16_t*>(field.data()), kSide, kSide, 2, mask.data(),
                              reinterpret_cast<void*>(static_cast<intptr_t>(t)), SlowCallback);
        });
    for (auto& h : hosts)
        h.join();
    EXPECT_EQ(overlaps.load(), 0);
    for (int t = 0; t < kHosts; ++t)
        EXPECT_EQ(callsPerHost[t].load(), 36) << "host " << t;
}

// ---- Medians from several hosts -------------------------------------------

// Each host filters its own frame with its own window: every window gets
// exactly one report per row of its own frame (counts 1 .. height, each
// once, with its own height's scaling), and the frames equal the serial ones.
TEST(ConcurrentMedians, EachGetsExactlyItsOwnProgressReports)
{
    const int heights[] = {57, 91, 128};
    constexpr int kWidth = 83, kHosts = 3;
    std::vector<std::vector<uint16_t>> src, alone(kHosts);
    for (int t = 0; t < kHosts; ++t) {
        src.push_back(RandomFrame<uint16_t>(kWidth, heights[t], 40 + t));
        alone[t].resize(src[t].size());
        tamrix::Median(nullptr, nullptr, src[t].data(), alone[t].data(), kWidth, heights[t], 2, 0, 0, 3, 100, 700, 1,
                       0);
    }
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<RecordingWindow>> windows;
        std::vector<std::vector<uint16_t>> dst(kHosts);
        for (int t = 0; t < kHosts; ++t)
            windows.push_back(std::make_unique<RecordingWindow>(true));
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHosts; ++t)
            hosts.emplace_back([&, t] {
                omp_set_num_threads(3 + t);
                dst[t].resize(src[t].size());
                tamrix::Median(windows[t]->Handle(), nullptr, src[t].data(), dst[t].data(), kWidth, heights[t], 2, 0,
                               0, 3, 100, 700, 1, 0);
            });
        for (auto& h : hosts)
            h.join();
        for (int t = 0; t < kHosts; ++t) {
            const int h = heights[t];
            EXPECT_EQ(dst[t], alone[t]) << "host " << t;
            const auto messages = windows[t]->WaitFor(h);
            ASSERT_EQ(messages.size(), static_cast<size_t>(h)) << "host " << t;
            std::map<uintptr_t, std::string> byValue;
            for (const auto& m : messages) {
                EXPECT_EQ(m.id, 0x465u);
                EXPECT_TRUE(m.sent);
                byValue[m.wParam] = m.text;
            }
            ASSERT_EQ(byValue.size(), static_cast<size_t>(h)) << "a count reported twice to host " << t;
            for (int c = 1; c <= h; ++c) {
                const auto it = byValue.find(static_cast<uintptr_t>(c) * 65535 / h);
                ASSERT_NE(it, byValue.end()) << "count " << c << " of host " << t;
                EXPECT_EQ(it->second, std::to_string(c * 100 / h) + " %");
            }
        }
    }
}

} // namespace
