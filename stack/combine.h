// Combining a stack of equally sized frames pixel by pixel, by row bands:
// only one band of every frame is in memory at a time, so the memory a
// combination takes follows from a budget, not from the number of frames.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tamrix::stack {

enum class Method { Median, Mean, SigmaClip, Winsorized };

// "median", "mean", "sigma-clip", "winsorized"; ParseMethod throws
// intake::Error (Usage) naming `option` for any other text.
std::string MethodName(Method method);
Method ParseMethod(const std::string& text, const std::string& option);

struct Settings {
    Method method = Method::Median;
    // Clipping bounds, in robust standard deviations below and above the
    // median (sigma-clip and winsorized).
    double low = 3, high = 3;
    // The least spread, in the values' units: their noise when the caller
    // knows it (a stack of lights), else their quantisation step. Without
    // it, a few integer frames whose values mostly agree (MAD 0) lose every
    // value but the median's, and the spread of a few values, often small by
    // chance, rejects good ones.
    double floor = 0;
    // Relative weights of the frames in the averages (mean, sigma-clip,
    // winsorized), one per frame, held by the caller; null: equal weights.
    const double* weights = nullptr;
};

// The robust standard deviation of n values from their median absolute
// deviation: 1.4826 MAD, times the small-sample factor that makes it
// unbiased for normal data (1.495 for 3 values, 1.363 for 4, ... n / (n -
// 0.8) from 10).
double MadToSigma(int n);

// Throws intake::Error (Usage) naming `option` unless both bounds are
// finite and positive.
void CheckSigma(double low, double high, const std::string& option);

// Fewer values than this at a pixel are never clipped: centre and spread
// mean nothing there.
constexpr int kLeastToClip = 3;
// Clipping rounds at most; each one recomputes centre and spread from the
// values kept.
constexpr int kClipRounds = 5;

// The combination of one pixel's values (`count` of them, NaN or infinite
// for an undefined one, which is left out): NaN when none is defined. Clipping
// centres on the median and spreads by 1.4826 * MAD of the values kept,
// round after round until a round rejects nothing; sigma-clip averages the
// values kept, winsorized replaces the values beyond the last bounds by the
// bounds and averages all. `rejected` gets the number of values clipped
// or replaced. `scratch` holds 2 * count values. Sums run in frame order,
// so equal inputs in any order of frames give equal results up to rounding.
double CombinePixel(const double* values, int count, const Settings& settings, double* scratch, int& rejected);

// A stack of frames that hands out bands of rows as physical values.
class Frames {
public:
    virtual ~Frames() = default;
    virtual int Count() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Rows [y, y + rows) of frame `index`, row after row, NaN where
    // undefined. Frames are read in groups of `Budget::files` (Release()
    // after each group when there are more frames than that).
    virtual void Read(int index, int y, int rows, double* out) = 0;
    // Frees what reading frame `index` holds (its file handle).
    virtual void Release(int /*index*/) { }
    // True when different frames may be read from several threads at once.
    virtual bool Concurrent() const { return false; }
};

// Frames held in memory as physical values (NaN where undefined), each
// width x height, row after row; the caller keeps them alive.
template <class T> class MemoryFrames : public Frames {
public:
    MemoryFrames(std::vector<const T*> frames, int width, int height)
        : frames_(std::move(frames))
        , width_(width)
        , height_(height)
    {
    }
    int Count() const override { return static_cast<int>(frames_.size()); }
    int Width() const override { return width_; }
    int Height() const override { return height_; }
    void Read(int index, int y, int rows, double* out) override
    {
        const size_t w = static_cast<size_t>(width_);
        const T* from = frames_[static_cast<size_t>(index)] + static_cast<size_t>(y) * w;
        std::copy(from, from + static_cast<size_t>(rows) * w, out);
    }

private:
    std::vector<const T*> frames_;
    int width_, height_;
};
using ArrayFrames = MemoryFrames<double>;
// Warped frames: floats.
using WarpedFrames = MemoryFrames<float>;

struct Budget {
    int64_t bytes = int64_t { 256 } << 20; // for the bands of all frames together
    int files = 64; // frames read without Release() in between
};

// Rows per band: as many as `bytes` holds for `count` frames of `width`
// pixels (8 bytes a value, plus the band's results), at least one.
int BandRows(int64_t bytes, int count, int width, int height);

// Where the results of a band go: `values` and `rejected` (clip counts,
// saturated at 65535) hold rows [y, y + rows).
using BandSink = std::function<void(int y, int rows, const float* values, const uint16_t* rejected)>;
// Called after each band with the bands done and their total.
using Progress = std::function<void(int done, int total)>;

// Combines the frames band by band, in parallel over the pixels of a band;
// the result does not depend on the thread count. Polls `cancel` (when
// given) between bands and throws intake::Error (Failure) "interrupted"
// once it is set.
void Combine(Frames& frames, const Settings& settings, const Budget& budget, const BandSink& sink,
    const Progress& progress = nullptr, const unsigned char* cancel = nullptr);

} // namespace tamrix::stack
