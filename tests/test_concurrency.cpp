// Several host threads calling frame functions at the same time: every call
// opens its own parallel loop and shares nothing but the library's one lock,
// so each must give exactly what it gives alone.
#include "recording_window.h"
#include "reference/stars.h"
#include "support.h"
#include "tamrix.h"
#include "tools/star_fields.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using tamrix::test::RandomFrame;

namespace {

template <class T> std::vector<uint8_t> Bytes(const std::vector<T>& v)
{
    std::vector<uint8_t> b(v.size() * sizeof(T));
    if (!b.empty())
        std::memcpy(b.data(), v.data(), b.size());
    return b;
}

// One frame function call on buffers of its own, writing only into its
// output, so that it gives the same bytes every time.
struct Job {
    std::string name;
    std::function<std::vector<uint8_t>()> run;
    std::vector<uint8_t> expected;
};

// A sky of 64-pixel cells with a star in each, 16-bit.
starnet::Field Sky(int side)
{
    starnet::Recipe recipe;
    recipe.width = recipe.height = side, recipe.cell = 64, recipe.minPeak = 3000, recipe.decades = 1;
    recipe.moffat = false, recipe.pairs = 0, recipe.hotPixels = recipe.tracks = 0;
    return starnet::MakeField(5, recipe);
}

// Jobs of every frame function, on odd sizes; the median's progress
// counter, the statistics' extremes and the vector field's longest vector
// are shared state under the lock.
template <class Pixel> void AddJobs(std::vector<Job>& jobs, uint32_t seed)
{
    constexpr int depth = sizeof(Pixel);
    const int w = 301 + seed % 7, h = 203 + seed % 5;
    auto raw = std::make_shared<std::vector<Pixel>>(RandomFrame<Pixel>(w, h, seed));
    auto cal = std::make_shared<std::vector<Pixel>>(RandomFrame<Pixel>(w, h, seed + 1, 0, 4000));
    const size_t n = raw->size();
    auto lut = std::make_shared<std::vector<uint8_t>>(4096);
    for (size_t i = 0; i < lut->size(); ++i)
        (*lut)[i] = static_cast<uint8_t>(i * 7);
    const std::vector<std::pair<const char*, std::function<std::vector<uint8_t>()>>> calls = {
        { "Bin",
            [=] {
                std::vector<uint32_t> out(size_t(w / 3) * (h / 2));
                tamrix::Bin(3, 2, raw->data(), out.data(), w, h, depth);
                return Bytes(out);
            } },
        { "DiffDark in place",
            [=] {
                auto out = *raw;
                tamrix::DiffDark(out.data(), out.data(), cal->data(), w, h, depth);
                return Bytes(out);
            } },
        { "Flat, mean of the flat",
            [=] {
                std::vector<Pixel> out(n);
                double level = 0.0;
                tamrix::Flat(raw->data(), out.data(), cal->data(), &level, w, h, depth);
                auto b = Bytes(out), l = Bytes(std::vector<double> { level });
                b.insert(b.end(), l.begin(), l.end());
                return b;
            } },
        { "Median with progress",
            [=] {
                std::vector<Pixel> out(n);
                tamrix::test::RecordingWindow window(true);
                tamrix::Median(
                    window.Handle(), nullptr, cal->data(), out.data(), w, h, depth, 0, 4095, 2, 50, 800, 1, 0);
                std::set<std::pair<uintptr_t, std::string>> reports;
                for (const auto& m : window.WaitFor(h))
                    reports.insert({ m.id == tamrix::kMedianProgressMessage && m.sent ? m.wParam : 0, m.text });
                auto b = Bytes(out);
                for (const auto& [count, text] : reports) {
                    const auto c = Bytes(std::vector<uintptr_t> { count });
                    b.insert(b.end(), c.begin(), c.end());
                    b.insert(b.end(), text.begin(), text.end());
                }
                return b;
            } },
        { "Resample",
            [=] {
                std::vector<Pixel> out(n * 6);
                tamrix::Resample(3, 2, cal->data(), out.data(), w, h, depth);
                return Bytes(out);
            } },
        { "SubPixelShift",
            [=] {
                std::vector<Pixel> out(n);
                tamrix::SubPixelShift(-3, 2, 9, 3, 3, 1, 16, raw->data(), w, h, depth, out.data(), w, h);
                return Bytes(out);
            } },
        { "Transform",
            [=] {
                std::vector<Pixel> out(n);
                tamrix::Transform(0.9, -0.3, 20.5, 0.3, 0.9, -10.25, cal->data(), w, h, depth, out.data(), w, h);
                return Bytes(out);
            } },
        // The mean is exact here (integer partial sums); the deviation's last
        // bits may vary.
        { "CalculateAreaStatistics",
            [=] {
                unsigned lo = 0, hi = 0;
                double mean = 0, deviation = 0;
                tamrix::CalculateAreaStatistics(raw->data(), w, h, depth, 5, 7, w - 20, h, &lo, &hi, &mean, &deviation);
                return Bytes(std::vector<double> { double(lo), double(hi), mean });
            } },
        { "FillFrameWithPolynoms",
            [=] {
                std::vector<Pixel> out(n);
                tamrix::FillFrameWithPolynoms(out.data(), w, h, depth, 0.02, 0, 0.01, 0, 0.03, 0, 0.01, 0.002, 0, 0.001,
                    0, 0.01, 0, 0.02, 0, 0, 0.03, 0.001, 0.002, 0);
                return Bytes(out);
            } },
        { "CreateMonoDIB reduced",
            [=] {
                std::vector<uint8_t> out(size_t((w / 2 + 3) / 4 * 4) * (h / 2));
                tamrix::CreateMonoDIB(-1, out.data(), w, h, depth, cal->data(), 100, 3900, 0, lut->data());
                return out;
            } },
        { "CreateColorDIB enlarged",
            [=] {
                std::vector<uint8_t> out(size_t((6 * w + 3) / 4 * 4) * (2 * h));
                tamrix::CreateColorDIB(1, out.data(), w, h, depth, cal->data(), 0, 4000, 0, lut->data(), cal->data(),
                    200, 3000, 0, lut->data(), raw->data(), 0, 0, 0, nullptr);
                return out;
            } },
    };
    for (const auto& [name, run] : calls)
        jobs.push_back({ std::string(name) + (depth == 2 ? "/16" : "/32"), run, run() });
}

std::vector<Job> AllJobs()
{
    std::vector<Job> jobs;
    AddJobs<uint16_t>(jobs, 11);
    AddJobs<uint32_t>(jobs, 12);
    auto sky = std::make_shared<starnet::Field>(Sky(256));
    auto stars = [=] {
        std::vector<unsigned> mask(256 * 256 / 32);
        std::vector<tamrix::reference::Star> found;
        tamrix::FindStars1C(
            16, 3.0, 2, 1200, sky->pixels.data(), 256, 256, 2, mask.data(), &found, tamrix::reference::Collect);
        std::vector<double> v;
        for (const auto& s : found)
            v.insert(v.end(), { double(s.x), double(s.y), s.cx, s.cy, s.flux, double(s.peak) });
        auto b = Bytes(v), m = Bytes(mask);
        b.insert(b.end(), m.begin(), m.end());
        return b;
    };
    jobs.push_back({ "FindStars1C", stars, stars() });
    return jobs;
}

TEST(ConcurrentHosts, DifferentFunctionsAndWidthsAtOnceGiveTheSerialResults)
{
    // Every job on each of four hosts, three times, each host starting at a
    // different job so that different functions overlap; omp_set_num_threads
    // is per host thread, so the hosts run loops of different widths.
    const auto jobs = AllJobs();
    std::vector<std::vector<std::string>> failures(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            omp_set_num_threads(1 + 2 * t);
            for (int round = 0; round < 3; ++round)
                for (size_t i = 0; i < jobs.size(); ++i) {
                    const Job& job = jobs[(i + t * 3 + round) % jobs.size()];
                    if (job.run() != job.expected)
                        failures[t].push_back(job.name + " in round " + std::to_string(round));
                }
        });
    for (auto& t : threads)
        t.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_TRUE(failures[t].empty()) << "host " << t << ": " << failures[t].front();
}

// The callback runs under the library's one lock: no two callbacks overlap,
// neither of one call nor of calls from different hosts.
std::atomic<int> inside { 0 }, overlaps { 0 };
std::atomic<int> callsPerHost[4];

void SlowCallback(void* context, int, int, double, double, double, unsigned)
{
    overlaps += inside++ != 0;
    ++callsPerHost[reinterpret_cast<intptr_t>(context)];
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (std::chrono::steady_clock::now() < until) { }
    --inside;
}

TEST(ConcurrentStarDetection, CallbacksNeverOverlapWithinOrAcrossCalls)
{
    auto sky = Sky(384);
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t)
        hosts.emplace_back([&, t] {
            omp_set_num_threads(5);
            std::vector<unsigned> mask(384 * 384 / 32);
            tamrix::FindStars(16, 3.0, 2, 1200, sky.pixels.data(), 384, 384, 2, mask.data(),
                reinterpret_cast<void*>(static_cast<intptr_t>(t)), SlowCallback);
        });
    for (auto& h : hosts)
        h.join();
    EXPECT_EQ(overlaps.load(), 0);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(callsPerHost[t].load(), 36) << "host " << t;
}

} // namespace
