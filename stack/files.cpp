#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <unistd.h>

namespace tamrix::stack {
namespace {

using intake::Error;
using intake::Fault;

// An input: where its rows come from (the file, or its unpacked copy) and
// how its samples are stored (always the original's header).
struct Input {
    intake::ImageRows rows;
    intake::Format format;
    intake::Census census;
};

// The finite stored values' range of an image, read about `bytes` at a time.
std::pair<double, double> RangeOf(intake::ImageRows& rows, const intake::Format& format, int64_t bytes)
{
    const size_t width = static_cast<size_t>(rows.Width());
    const int64_t row = int64_t { rows.Width() } * intake::SampleBytes(format.sample);
    const int chunk = static_cast<int>(std::clamp<int64_t>(bytes / row, 1, rows.Height()));
    std::vector<double> buffer((width * static_cast<size_t>(chunk) * intake::SampleBytes(format.sample) + 7) / 8);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int y = 0; y < rows.Height(); y += chunk) {
        const int n = std::min(chunk, rows.Height() - y);
        rows.Read(y, n, buffer.data());
        const auto [a, b] = intake::FiniteRange(buffer.data(), width * static_cast<size_t>(n), format);
        lo = std::min(lo, a);
        hi = std::max(hi, b);
    }
    return { lo, hi };
}

class FileFrames : public Frames {
public:
    // `direct`: floating-point inputs read at their own precision (no
    // range clips them), not through the mapping's grid.
    FileFrames(std::vector<Input>& inputs, const intake::Mapping& mapping, bool direct, bool concurrent)
        : inputs_(inputs)
        , mapping_(mapping)
        , direct_(direct)
        , concurrent_(concurrent)
    {
    }
    int Count() const override { return static_cast<int>(inputs_.size()); }
    int Width() const override { return inputs_[0].rows.Width(); }
    int Height() const override { return inputs_[0].rows.Height(); }

    // Each input has its own file handle and census: different files may be
    // read at once.
    bool Concurrent() const override { return concurrent_; }
    void Read(int index, int y, int rows, double* out) override
    {
        Input& in = inputs_[static_cast<size_t>(index)];
        const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(Width());
        std::vector<double> stored((n * static_cast<size_t>(intake::SampleBytes(in.format.sample)) + 7) / 8);
        in.rows.Read(y, rows, stored.data());
        if (direct_) {
            const auto convert = [&](const auto* samples) {
                for (size_t i = 0; i < n; ++i) {
                    const double v = in.format.bzero + in.format.bscale * double(samples[i]);
                    const bool valid = std::isfinite(v);
                    out[i] = valid ? v : std::numeric_limits<double>::quiet_NaN();
                    in.census.invalid += !valid;
                }
            };
            if (in.format.sample == intake::Sample::F32)
                convert(reinterpret_cast<const float*>(stored.data()));
            else
                convert(stored.data());
            return;
        }
        std::vector<uint32_t> frame(n);
        std::vector<bool> invalid;
        intake::ToFrame(stored.data(), n, in.format, mapping_, frame.data(), invalid, in.census);
        // 16-bit values lie packed at the start of `frame` for a 16-bit mapping.
        intake::ToPhysical(frame.data(), mapping_.depth, n, mapping_, out, &invalid);
    }
    void Release(int index) override { inputs_[static_cast<size_t>(index)].rows.Close(); }

private:
    std::vector<Input>& inputs_;
    intake::Mapping mapping_;
    bool direct_, concurrent_;
};

std::string Size(const intake::ImageRows& r)
{
    return std::to_string(r.Width()) + " x " + std::to_string(r.Height()) + " pixels";
}

std::string Planes(int64_t planes)
{
    return std::to_string(planes) + (planes == 1 ? " plane" : " planes");
}

// The 80-character card "NCOMBINE= <count>".
std::string NcombineCard(int count)
{
    char card[81];
    std::snprintf(card, sizeof card, "%-8s= %20d / %-47s", "NCOMBINE", count, "number of frames combined");
    return std::string(card, 80);
}

} // namespace

bool Distinct(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

ScratchFolder::ScratchFolder(const std::string& parent, std::function<void(const std::string&)> made)
    : parent_(parent)
    , made_(std::move(made))
{
}

ScratchFolder::~ScratchFolder()
{
    for (const std::string& file : files_)
        unlink(file.c_str());
    if (!path_.empty())
        rmdir(path_.c_str());
}

std::string ScratchFolder::File()
{
    if (path_.empty()) {
        std::string folder = parent_ + "/.tamrix-combine-XXXXXX";
        if (!mkdtemp(folder.data()))
            throw Error(Fault::Failure, parent_ + ": cannot make a scratch folder: " + std::strerror(errno));
        path_ = folder;
        if (made_)
            made_(path_);
    }
    files_.push_back(path_ + "/" + std::to_string(files_.size()) + ".fits");
    return files_.back();
}

std::pair<double, double> PhysicalRange(const std::string& name, int plane, int64_t bytes)
{
    intake::ImageRows rows(name, plane);
    const intake::Format format = rows.Stored();
    using intake::Sample;
    const Sample s = format.sample;
    if (s != Sample::U8 && s != Sample::I8 && s != Sample::U16 && s != Sample::I16)
        return RangeOf(rows, format, bytes);
    // Narrow integers: their type's range holds every value, at no read.
    const double values = std::ldexp(1.0, 8 * intake::SampleBytes(s));
    const double lowest = s == Sample::I8 || s == Sample::I16 ? -values / 2 : 0, highest = lowest + values - 1;
    const double a = format.bzero + format.bscale * lowest, b = format.bzero + format.bscale * highest;
    return { std::min(a, b), std::max(a, b) };
}

void CombineFiles(const std::vector<std::string>& names, const std::string& output, const std::string& rejection,
    const std::vector<std::string>& history, const FileOptions& options, intake::Warnings& warnings,
    const Progress& progress, const unsigned char* cancel)
{
    if (names.empty())
        throw Error(Fault::Usage, "no frames to combine");
    ScratchFolder scratch(options.scratchIn, options.onScratch);
    std::vector<Input> inputs;
    inputs.reserve(names.size());
    std::vector<std::string> cards; // the first input's: an unpacked copy has none
    for (size_t i = 0; i < names.size(); ++i) {
        if (cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED))
            throw Error(Fault::Failure, "interrupted");
        intake::ImageRows rows(names[i], options.plane);
        if (i > 0) {
            const intake::ImageRows& first = inputs[0].rows;
            if (rows.Width() != first.Width() || rows.Height() != first.Height())
                throw Error(Fault::Mismatch,
                    names[i] + ": " + Size(rows) + ", but " + names[0] + " has " + Size(first)
                        + "; all frames must have one size");
            if (rows.Planes() != first.Planes())
                throw Error(Fault::Mismatch,
                    names[i] + ": " + Planes(rows.Planes()) + ", but " + names[0] + " has " + Planes(first.Planes())
                        + "; all frames must have as many");
        }
        intake::Format format = rows.Stored();
        if (i == 0)
            cards = rows.Cards();
        if (rows.Packed()) {
            // Read by rows again and again, a packed file would be unpacked
            // once per band: unpack it once instead.
            const std::string copy = scratch.File();
            rows.Unpack(copy);
            intake::ImageRows plain(copy, -1);
            std::swap(rows, plain);
        }
        rows.Close();
        inputs.push_back(Input { std::move(rows), format, {} });
    }

    std::vector<intake::Format> formats;
    for (const Input& in : inputs)
        formats.push_back(in.format);
    // Floating-point inputs with no range asked for are combined at their
    // own precision: their mapping only checks the scaling.
    const bool direct = !options.mapping.range && std::all_of(formats.begin(), formats.end(), [](const auto& f) {
        return intake::IsFloat(f.sample);
    });
    std::optional<std::pair<double, double>> range;
    if (direct) {
        range = std::make_pair(0.0, 1.0);
    } else if (intake::NeedsDataRange(formats, options.mapping)) {
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (Input& in : inputs) {
            const auto [a, b] = RangeOf(in.rows, in.format, std::max<int64_t>(options.budget.bytes / 2, 1));
            lo = std::min(lo, a);
            hi = std::max(hi, b);
            in.rows.Close();
        }
        range = std::make_pair(lo, hi);
    }
    const intake::Mapping mapping = intake::ChooseMapping(formats, options.mapping, range);

    cards.erase(std::remove_if(cards.begin(), cards.end(),
                    [](const std::string& card) { return card.compare(0, 9, "NCOMBINE=") == 0; }),
        cards.end());
    cards.push_back(NcombineCard(static_cast<int>(names.size())));
    FileFrames frames(inputs, mapping, direct, intake::ConcurrentReads() && Distinct(names));
    intake::ImageWriter out(output, frames.Width(), frames.Height(), intake::Sample::F32, cards, history);
    std::optional<intake::ImageWriter> counts;
    if (!rejection.empty())
        counts.emplace(rejection, frames.Width(), frames.Height(), intake::Sample::U16, cards, history);
    // At least one step of the data's grid apart: integer frames agree to the step.
    Settings settings = options.settings;
    if (!direct)
        settings.floor = std::max(settings.floor, mapping.scale);
    Combine(
        frames, settings, options.budget,
        [&](int y, int rows, const float* values, const uint16_t* rejected) {
            out.Write(y, rows, values);
            if (counts)
                counts->Write(y, rows, rejected);
        },
        progress, cancel);
    out.Finish();
    if (counts)
        counts->Finish();
    for (const Input& in : inputs) {
        const std::string text = intake::CensusText(in.format.name, in.census, mapping,
            in.census.invalid ? "left out of the combination" : "", options.mapping.rangeName);
        if (!text.empty())
            warnings.push_back(text);
    }
}

} // namespace tamrix::stack
