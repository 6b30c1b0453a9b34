#include "fits.h"

#include "commands.h"
#include "failure.h"
#include "output.h"

#include <cstdio>

namespace tamrix::cli {
namespace {

intake::ReadOptions Options(const ReadArgs& a, bool pixelwise)
{
    intake::ReadOptions o;
    o.plane = a.plane;
    o.mapping.floatBits = a.bits;
    if (a.range.size() == 2)
        o.mapping.range = std::make_pair(a.range[0], a.range[1]);
    o.keepInvalid = pixelwise;
    return o;
}

} // namespace

void AddReadOptions(CLI::App* cmd, ReadArgs& a)
{
    cmd->add_option("--plane", a.plane, "the plane of a data cube to read (0-based)")->check(CLI::NonNegativeNumber);
    cmd->add_option("--range", a.range,
           "LO,HI: the physical values that floating-point (and 64-bit integer) data map onto "
           "(default: DATAMIN/DATAMAX, else the data's own range)")
        ->delimiter(',')
        ->expected(2)
        ->check(Finite());
    cmd->add_option("--bits", a.bits, "frame bits for floating-point data: 32 (default, about 2^24 levels) or 16")
        ->check(CLI::IsMember({ 16, 32 }));
}

void PrintWarnings(const intake::Warnings& warnings)
{
    for (const std::string& w : warnings)
        std::fprintf(stderr, "tamrix: warning: %s\n", w.c_str());
}

std::vector<Frame> ReadFrames(const std::vector<std::string>& paths, const ReadArgs& args, bool pixelwise)
{
    for (const std::string& path : paths)
        NoteInput(intake::ParseImageName(path).file);
    intake::Warnings warnings;
    std::vector<Frame> frames = intake::ReadFrames(paths, Options(args, pixelwise), warnings);
    PrintWarnings(warnings);
    return frames;
}

Frame ReadFrame(const std::string& path, const ReadArgs& args, bool pixelwise)
{
    return std::move(ReadFrames({ path }, args, pixelwise).front());
}

Frame ReadDivisor(const std::string& path, const Frame& light, const ReadArgs& args)
{
    NoteInput(intake::ParseImageName(path).file);
    intake::Warnings warnings;
    Frame flat = intake::ReadDivisor(path, light, Options(args, true), warnings);
    PrintWarnings(warnings);
    return flat;
}

void WriteFrame(const std::string& path, const Frame& frame, const std::vector<std::string>& history, bool keepInvalid)
{
    AtomicFile out(path, OutputKind::Binary);
    std::vector<char> bytes;
    try {
        bytes = intake::FitsBytes(frame, history, keepInvalid);
    } catch (const intake::Error& e) {
        throw FileFailure(kExitFailure, path, e.what());
    }
    out.Write(bytes.data(), bytes.size());
    out.Commit();
}

void CheckFrameSize(int64_t width, int64_t height, int depth, const std::string& what)
{
    intake::CheckFrameSize(width, height, depth, what);
}

} // namespace tamrix::cli
