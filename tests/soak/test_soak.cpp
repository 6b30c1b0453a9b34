// The soak's operations from several host threads at once, each case against
// its reference (test_internal_levels runs them one by one at every level).
#include "soak.h"

#include "tamrix.h"
#include "tools/star_fields.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Every call opens its own parallel loop and shares nothing but the
// library's one lock (the median's progress, the statistics' extremes, the
// field's longest vector): four hosts, each with its own loop width, each
// starting at another operation so that different functions overlap.
TEST(ConcurrentHosts, EveryOperationAtOnceMatchesTheReference)
{
    const auto& ops = soak::Operations();
    std::vector<std::string> failures(4);
    std::vector<std::thread> hosts;
    for (size_t t = 0; t < 4; ++t)
        hosts.emplace_back([&, t] {
            for (size_t i = 0; i < 3 * ops.size() && failures[t].empty(); ++i)
                failures[t] = soak::Difference(ops[(i + 3 * t) % ops.size()], soak::CaseSeed(2 + t, i));
        });
    for (auto& h : hosts)
        h.join();
    for (const auto& f : failures)
        EXPECT_EQ(f, "");
}

// The star callback runs under the library's one lock: no two callbacks
// overlap, neither of one call nor of calls from different hosts.
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

TEST(ConcurrentHosts, StarCallbacksNeverOverlapWithinOrAcrossCalls)
{
    starnet::Recipe recipe; // a 384 x 384 sky of 64-pixel cells with a star in each, 16-bit
    recipe.width = recipe.height = 384, recipe.cell = 64, recipe.minPeak = 3000, recipe.decades = 1;
    recipe.moffat = false, recipe.pairs = 0, recipe.hotPixels = recipe.tracks = 0;
    auto sky = starnet::MakeField(5, recipe);
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
