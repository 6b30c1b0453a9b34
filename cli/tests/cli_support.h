// Helpers of the end-to-end tests: FITS files written and read with CFITSIO
// directly (not through the program's own FITS layer), and a runner for the
// built program; the scratch folder and file helpers are the suite's own.
#pragma once

#include "support.h"
#include "tools/star_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tamrix::clitest {

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Runs the tamrix program with the arguments. With `interruptOn`, sends
// `signal` (Ctrl-C by default) as soon as the program's stderr contains that
// text.
Result Tamrix(const std::vector<std::string>& args, const std::string& interruptOn = "", int signal = SIGINT);
// Runs it and throws, with its stderr, unless it exits with status 0: the
// test stops there as at a failed ASSERT.
Result Ok(const std::vector<std::string>& args);

// Whether `text` holds `part`, showing the whole text either way.
::testing::AssertionResult Has(const std::string& text, const std::string& part);

using test::ReadFile;
using test::WriteFile;
using Values = std::vector<uint32_t>;
const double kNaN = std::nan("");

// Every test runs in a scratch folder of its own.
struct Cli : ::testing::Test {
    test::ScratchDir dir;
};

// Writes a FITS image: bitpix as in the header (8, 16, 32, 64, -32, -64),
// bzero and bscale written when not 0 and 1, blank as BLANK, values given as
// they should read back (physical values; NaN for a blank pixel). naxes3 > 0
// makes a cube. `inExtension` leaves the primary HDU empty and names the
// image SCI; `tiled` compresses a floating-point image into tiles
// (losslessly); `gzip` compresses the whole file.
struct FitsLayout {
    int width = 0, height = 0, planes = 0;
    int bitpix = 16;
    double bzero = 32768;
    bool inExtension = false;
    double bscale = 1;
    bool hasBlank = false;
    long long blank = 0;
    bool tiled = false, gzip = false;
    std::vector<std::string> cards = {}; // whole header cards, written as they are
};
void WriteFits(const std::string& path, const FitsLayout& layout, const std::vector<double>& values);
void WriteGzip(const std::string& path, const std::string& bytes);
inline void WriteU16(const std::string& path, int width, int height, const Values& values)
{
    WriteFits(path, { width, height, 0, 16, 32768 }, { values.begin(), values.end() });
}

// A 16-bit sky of a level and Gaussian noise holding only the given stars,
// with the header cards given.
inline void WriteSky(const std::string& path, int width, int height, double level, double noise,
    const std::vector<starnet::Star>& stars, const std::vector<std::string>& cards = {})
{
    starnet::Recipe recipe;
    recipe.width = width, recipe.height = height, recipe.level = level, recipe.noise = noise, recipe.gradient = 0;
    recipe.hotPixels = recipe.tracks = 0;
    recipe.given = stars;
    const auto sky = starnet::MakeField(1, recipe).pixels;
    FitsLayout layout { width, height };
    layout.cards = cards;
    WriteFits(path, layout, { sky.begin(), sky.end() });
}

struct FitsImage {
    int bitpix = 0;
    std::vector<double> physical; // NaN where undefined
    std::vector<std::string> cards;
    bool HasCard(const std::string& part) const; // whether a card holds the text
};
FitsImage ReadFits(const std::string& path);

// A failed run: its status and one message line that names the file and the
// problem.
void ExpectOneLineError(const Result& run, int status, const std::string& file, const std::string& problem);

// Everything a descriptor holds (from its start, when it can seek), then closes it.
std::string ReadAll(int fd);

} // namespace tamrix::clitest
