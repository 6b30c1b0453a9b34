// FITS intake: 2-D images of every type (BITPIX 8, 16, 32, 64, -32, -64, with
// or without BZERO/BSCALE and BLANK), plain, gzip'd or tile-compressed, from
// the primary HDU or an extension chosen by name, or one plane of a cube,
// mapped onto the library's frames (mapping.h); and the FITS file of a frame,
// whose BITPIX, BZERO and BSCALE give back the input's physical units.
#pragma once

#include "error.h"
#include "mapping.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tamrix::intake {

// "file.fits", "file.fits[1]" (HDU number, 0 the primary), "file.fits[SCI]"
// or "file.fits[SCI,2]" (EXTNAME and EXTVER). A name that exists as a file is
// taken literally; nothing else of CFITSIO's extended file-name syntax (URLs,
// filters, "!") is understood.
struct ImageName {
    std::string file;
    int hdu = -1; // -1: the first HDU with an image
    std::string extname;
    int extver = 0;
};
ImageName ParseImageName(const std::string& text);

// Largest frame, in bytes: the library forms byte offsets of whole frames in
// signed 32-bit arithmetic.
constexpr int64_t kMaxFrameBytes = (int64_t { 1 } << 31) - 1;

// Throws Error for a frame of no pixels or more than kMaxFrameBytes.
void CheckFrameSize(int64_t width, int64_t height, int depth, const std::string& what);

struct Frame {
    int width = 0, height = 0;
    Mapping mapping; // its depth is the pixel type: 2 or 4 bytes
    std::vector<uint16_t> p16;
    std::vector<uint32_t> p32;
    // The input header's own cards (80 characters each), without those that
    // describe the data layout, which every write sets afresh.
    std::vector<std::string> cards;
    std::string path; // the name it was read from, for messages
    // Pixels that were NaN, infinite or BLANK (empty when there were none);
    // they hold the median of the valid pixels.
    std::vector<bool> invalid;
    // How an output of this frame is stored: -32 or -64 for floating point
    // (the input's kind), 0 for integers of the frame's depth.
    int outputBitpix = 0;
    std::optional<int64_t> blank; // the input's BLANK, kept for outputs

    Frame() = default;
    Frame(int width, int height, const Mapping& mapping);
    // A frame whose values are the physical ones.
    Frame(int width, int height, int depth)
        : Frame(width, height, Mapping::Identity(depth))
    {
    }

    int Depth() const { return mapping.depth; }
    size_t Pixels() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
    void* Data() { return Depth() == 2 ? static_cast<void*>(p16.data()) : static_cast<void*>(p32.data()); }
    const void* Data() const { return Depth() == 2 ? static_cast<const void*>(p16.data()) : p32.data(); }
    uint32_t At(size_t i) const { return Depth() == 2 ? p16[i] : p32[i]; }
    void Set(size_t i, uint32_t v)
    {
        if (Depth() == 2)
            p16[i] = static_cast<uint16_t>(v);
        else
            p32[i] = v;
    }
    uint32_t Max() const;
    uint32_t Min() const;
    double FullScale() const { return mapping.FullScale(); }
    size_t InvalidCount() const;
};

struct ReadOptions {
    int plane = -1; // the plane of a cube (0-based); -1: the image must be 2-D
    MappingOptions mapping;
    // For the warning: pixel-wise operations give undefined pixels back as
    // undefined; the others read them as the median of the valid pixels.
    bool keepInvalid = false;
    // Images of more pixels are refused (0: only the frame limit). A bound
    // for callers that read untrusted files in bulk: a tile-compressed file
    // of a few bytes may declare any size up to that limit.
    int64_t maxPixels = 0;
};

// What reading met that the user should hear of (NaN or BLANK pixels, values
// clipped to the range), one line per input; empty when all was clean.
using Warnings = std::vector<std::string>;

// True when different files may be read from several threads at once (the
// FITS library was built thread-safe). One file is never read from two
// threads at once: its open handles share their buffers.
bool ConcurrentReads();

// The number a header card `key` (EXPTIME, SATURATE) holds, if the frame
// has one and it is finite.
std::optional<double> CardNumber(const std::vector<std::string>& cards, const std::string& key);

// Reads images that share one mapping (a light and its dark; the channels of
// a picture). Frames come back in the order of the names.
std::vector<Frame> ReadFrames(const std::vector<std::string>& names, const ReadOptions& options, Warnings& warnings);
Frame ReadFrame(const std::string& name, const ReadOptions& options, Warnings& warnings);
// The same from a file's bytes in memory (plain, gzip'd or tile-compressed):
// `image` chooses the HDU as brackets after a name do, and its `file` names
// the input in messages.
Frame ReadFrame(std::vector<char> bytes, const ImageName& image, const ReadOptions& options, Warnings& warnings);

// Reads a divisor (a flat field) for frames like `like`: its size, its depth,
// offset 0 (mapping.h DivisorMapping).
Frame ReadDivisor(const std::string& name, const Frame& like, const ReadOptions& options, Warnings& warnings);

// Throws Error (Mismatch) unless `other` has the size of `reference`.
void CheckSameSize(const Frame& reference, const Frame& other);

// The bytes of a FITS file holding the frame: its cards, one HISTORY card per
// history line, the pixels stored so that BZERO + BSCALE * stored (or the
// floating-point value) is the physical value. With `keepInvalid`, the
// frame's invalid pixels are written as NaN or BLANK.
std::vector<char> FitsBytes(const Frame& frame, const std::vector<std::string>& history, bool keepInvalid);

// An image read a band of rows at a time, for operations over more frames
// than memory holds. The file stays open between reads unless Close() frees
// its handle; the next read opens it again.
class ImageRows {
public:
    // Opens the image `name` chooses (as ReadFrame does) and checks its
    // header; `plane` as in ReadOptions. Throws Error.
    ImageRows(const std::string& name, int plane);
    ~ImageRows();
    ImageRows(ImageRows&&) noexcept;
    ImageRows& operator=(ImageRows&&) noexcept;

    const std::string& Name() const;
    int Width() const;
    int Height() const;
    int64_t Planes() const; // of a cube, 1 for a plain image
    // How the samples are stored: their type, scaling and BLANK.
    const Format& Stored() const;
    // The header's cards, as Frame::cards.
    const std::vector<std::string>& Cards() const;
    // Whether rows come only by unpacking: a gzip'd file (held unpacked in
    // memory while open) or a tile-compressed image.
    bool Packed() const;

    // Stored samples (Stored().sample, native byte order) of rows
    // [y, y + rows), row after row.
    void Read(int y, int rows, void* samples);
    void Close();
    // Writes the plane as a new plain FITS file of the same stored samples
    // without scaling keywords (Stored() still describes them), a few tiles
    // of rows at a time; `path` must not exist.
    void Unpack(const std::string& path);

private:
    struct State;
    std::unique_ptr<State> s_;
};

// A new FITS image written a band of rows at a time: 32-bit floating point
// (Sample::F32) or 16-bit unsigned integers (Sample::U16, BZERO 32768), with
// the given cards and one HISTORY card per line of history. The file at
// `path` is replaced. Throws Error (Failure) naming `path`.
class ImageWriter {
public:
    ImageWriter(const std::string& path, int width, int height, Sample sample, const std::vector<std::string>& cards,
        const std::vector<std::string>& history);
    ~ImageWriter(); // closes an unfinished file without a word
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    // Rows [y, y + rows): floats or uint16_t by the sample type.
    void Write(int y, int rows, const void* values);
    // Closes the file, checking that it was written whole.
    void Finish();

private:
    std::string path_;
    int width_;
    Sample sample_;
    void* f_ = nullptr; // CFITSIO's handle
};

} // namespace tamrix::intake
