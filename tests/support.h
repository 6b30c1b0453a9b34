// Shared helpers of the test programs.
#pragma once

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tamrix::test {

// Sets the OpenMP thread count for the scope of a test and restores it.
class ThreadCount {
public:
    explicit ThreadCount(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
    ~ThreadCount() { omp_set_num_threads(saved_); }
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

private:
    int saved_;
};

// The thread counts every "same result with 1 thread and with many" test
// compares: one, and more than this machine has cores, so that the static
// blocks are uneven.
inline const std::vector<int> kThreadCounts = {1, 3, 7};

// The pixel types of the frame functions, for typed test suites.
using PixelTypes = testing::Types<uint16_t, uint32_t>;

// Deterministic frame of uniformly distributed pixels in [lo, hi].
template <class Pixel>
std::vector<Pixel> RandomFrame(int width, int height, uint32_t seed, uint64_t lo = 0,
                               uint64_t hi = std::numeric_limits<Pixel>::max())
{
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<uint64_t> dist(lo, hi);
    std::vector<Pixel> frame(static_cast<size_t>(width) * height);
    for (auto& p : frame)
        p = static_cast<Pixel>(dist(rng));
    return frame;
}

// Byte pattern that the functions never write by chance, to show untouched
// output.
constexpr uint32_t kSentinel32 = 0xA5A5A5A5u;

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the scope. Portable to Windows (no mkdtemp there).
class ScratchDir {
public:
    ScratchDir()
    {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::mt19937_64 rng(static_cast<uint64_t>(stamp) ^ (uint64_t{counter++} << 48));
        do
            path_ = std::filesystem::temp_directory_path() / ("tamrix-test-" + std::to_string(rng()));
        while (!std::filesystem::create_directory(path_));
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The path of a file in the folder, as narrow text.
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    // The names in the folder, sorted, hidden ones included.
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the bytes and returns the path.
inline std::string WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// IDX data-set files: `count` images of rows x columns bytes, and labels.
inline std::string BigEndian32(uint32_t v)
{
    return { static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v) };
}
inline std::string IdxImages(uint32_t count, uint32_t rows, uint32_t columns, const std::string& pixels)
{
    return BigEndian32(2051) + BigEndian32(count) + BigEndian32(rows) + BigEndian32(columns) + pixels;
}
inline std::string IdxLabels(uint32_t count, const std::string& labels)
{
    return BigEndian32(2049) + BigEndian32(count) + labels;
}

} // namespace tamrix::test
