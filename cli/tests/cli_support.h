// Helpers of the end-to-end tests: FITS files written and read with CFITSIO
// directly (not through the program's own FITS layer), and a runner for the
// built program; the scratch folder and file helpers are the suite's own.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

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

using Scratch = test::ScratchDir;
using test::ReadFile;
using test::WriteFile;
using Values = std::vector<uint32_t>;

// Every test runs in a scratch folder of its own.
struct CliTest : ::testing::Test {
    Scratch dir;
};
template <typename Param> struct CliParamTest : ::testing::TestWithParam<Param> {
    Scratch dir;
};

// Names parameterised cases after their `name` field (which a friend
// PrintTo of each case also gives, for stable names in test lists).
struct ByName {
    template <typename Info> std::string operator()(const Info& info) const { return info.param.name; }
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
void WriteU16(const std::string& path, int width, int height, const std::vector<uint32_t>& values);
void WriteU32(const std::string& path, int width, int height, const std::vector<uint32_t>& values);

struct FitsImage {
    int bitpix = 0;
    std::vector<double> physical; // NaN where undefined
    std::vector<std::string> cards;
    std::string Key(const std::string& name) const; // value text of a keyword, "" when absent
    bool HasHistory(const std::string& text) const;
};
FitsImage ReadFits(const std::string& path);

// One bad line of a text input (star list, field file) and the problem the
// message must name.
struct BadLine {
    const char* name;
    std::string line, problem;
    friend void PrintTo(const BadLine& bad, std::ostream* os) { *os << bad.name; }
};

// A failed run: its status and one message line that names the file and the
// problem.
void ExpectOneLineError(const Result& run, int status, const std::string& file, const std::string& problem);

// Everything a descriptor holds (from its start, when it can seek), then closes it.
std::string ReadAll(int fd);

} // namespace tamrix::clitest
