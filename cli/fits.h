// The FITS layer: unsigned 16- and 32-bit 2-D frames in, the same out, with the
// input's header carried over. Everything the library cannot represent is
// refused here with a message that names the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamrix::cli {

struct Frame {
    int width = 0, height = 0;
    int depth = 2; // bytes per pixel as the library takes it: 2 or 4
    std::vector<uint16_t> p16;
    std::vector<uint32_t> p32;
    // The input header's own cards (80 characters each), without the ones
    // that describe the data layout, which every write sets afresh.
    std::vector<std::string> cards;
    std::string path; // where it was read from, for messages

    Frame() = default;
    Frame(int width, int height, int depth);

    size_t Pixels() const { return static_cast<size_t>(width) * height; }
    void* Data() { return depth == 2 ? static_cast<void*>(p16.data()) : static_cast<void*>(p32.data()); }
    const void* Data() const { return depth == 2 ? static_cast<const void*>(p16.data()) : p32.data(); }
    uint32_t At(size_t i) const { return depth == 2 ? p16[i] : p32[i]; }
    void Set(size_t i, uint32_t v)
    {
        if (depth == 2)
            p16[i] = static_cast<uint16_t>(v);
        else
            p32[i] = v;
    }
    uint32_t Max() const;
    uint32_t Min() const;
    uint32_t FullScale() const { return depth == 2 ? 65535u : 4294967295u; }
};

// Largest frame accepted, in bytes: the library forms byte offsets of whole
// frames in signed 32-bit arithmetic.
constexpr int64_t kMaxFrameBytes = (static_cast<int64_t>(1) << 31) - 1;

// Throws Failure (with the exit status of its kind) for anything that is not a
// 2-D unsigned 16- or 32-bit image, or signed data with values below 0.
Frame ReadFrame(const std::string& path);

// Writes the frame with its carried-over cards followed by one HISTORY card per
// line of history, through an AtomicFile: whole, or not at all.
void WriteFrame(const std::string& path, const Frame& frame, const std::vector<std::string>& history);

// Checks that `other` has the size of `reference` and converts it to the
// reference's depth (a 16-bit calibration frame serves a 32-bit light; a
// 32-bit one serves a 16-bit light only when all its values fit).
void MatchFrame(const Frame& reference, Frame& other);

// Size check for a frame the program is about to create.
void CheckFrameSize(int64_t width, int64_t height, int depth, const std::string& what);

} // namespace tamrix::cli
