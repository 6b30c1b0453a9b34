// Helpers of the end-to-end tests: a scratch folder, FITS files written and
// read with CFITSIO directly (not through the program's own FITS layer), and
// a runner for the built program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamrix::clitest {

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Runs the tamrix program with the arguments. With `interruptOn`, sends
// SIGINT (Ctrl-C) as soon as the program's stderr contains that text.
Result Tamrix(const std::vector<std::string>& args, const std::string& interruptOn = "");

// A fresh folder per test, removed with everything in it at the end.
class Scratch {
public:
    Scratch();
    ~Scratch();
    std::string operator/(const std::string& name) const { return dir_ + "/" + name; }
    // Names of the files in the folder, sorted (hidden ones included).
    std::vector<std::string> Files() const;

private:
    std::string dir_;
};

// Writes a FITS image: bitpix as in the header (16, 32, -32, ...), bzero
// written when not 0, values given as they should read back (physical values).
// naxes3 > 0 makes a cube. `inExtension` leaves the primary HDU empty.
struct FitsLayout {
    int width = 0, height = 0, planes = 0;
    int bitpix = 16;
    double bzero = 32768;
    bool inExtension = false;
    std::vector<std::pair<std::string, std::string>> keys; // string keywords
    std::vector<std::string> cards = {}; // whole header cards, written as they are
};
void WriteFits(const std::string& path, const FitsLayout& layout, const std::vector<double>& values);
void WriteU16(const std::string& path, int width, int height, const std::vector<uint32_t>& values);
void WriteU32(const std::string& path, int width, int height, const std::vector<uint32_t>& values);

struct FitsImage {
    int width = 0, height = 0, bitpix = 0;
    double bzero = 0;
    std::vector<uint32_t> values;
    std::vector<std::string> cards;
    std::string Key(const std::string& name) const; // value text of a keyword, "" when absent
    bool HasHistory(const std::string& text) const;
};
FitsImage ReadFits(const std::string& path);

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

} // namespace tamrix::clitest
