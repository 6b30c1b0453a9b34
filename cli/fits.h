// The program's side of FITS files: the intake layer's reading and writing
// (intake/fits.h), with its warnings printed, its failures turned into exit
// statuses, and outputs written whole or not at all.
#pragma once

#include "intake/fits.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace tamrix::cli {

using intake::Frame;

// The options every command that reads frames shares: --plane, --range,
// --bits.
struct ReadArgs {
    int plane = -1;
    std::vector<double> range;
    int bits = 32;
};
void AddReadOptions(CLI::App* cmd, ReadArgs& args);

// Reads frames that share one value mapping (a light and its dark, the
// channels of a picture); `pixelwise` commands give undefined pixels back as
// undefined. Warnings go to stderr.
std::vector<Frame> ReadFrames(const std::vector<std::string>& paths, const ReadArgs& args, bool pixelwise = false);
Frame ReadFrame(const std::string& path, const ReadArgs& args = {}, bool pixelwise = false);
// A flat field for frames like `light`.
Frame ReadDivisor(const std::string& path, const Frame& light, const ReadArgs& args);

void PrintWarnings(const intake::Warnings& warnings);

// Writes the frame with its carried-over cards followed by one HISTORY card
// per line of history, through an AtomicFile: whole, or not at all. With
// `keepInvalid`, the frame's undefined pixels are written as NaN or BLANK.
void WriteFrame(
    const std::string& path, const Frame& frame, const std::vector<std::string>& history, bool keepInvalid = false);

// Size check for a frame the program is about to create.
void CheckFrameSize(int64_t width, int64_t height, int depth, const std::string& what);

} // namespace tamrix::cli
