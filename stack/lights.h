// Stacking a night's lights into one deep frame: masters from the darks and
// flats (median combinations), each light calibrated with them, its stars
// found and registered onto the reference's, warped onto the reference's
// pixel grid with the library's Transform (bilinear; pixels it does not
// cover undefined) into a scratch file, and the warped frames combined band
// by band (files.h). Memory holds one frame and the bands, never the night.
#pragma once

#include "files.h"
#include "register.h"

#include "detect/stars.h"

#include <functional>
#include <string>
#include <vector>

namespace tamrix::stack {

struct StackOptions {
    FileOptions files; // plane, the read range (mapping.range), combination, budget, scratch folder
    std::vector<std::string> darks, flats;
    // The frame whose pixel grid the output takes: one of the lights (it is
    // stacked) or another file (it is not); empty: the first light.
    std::string reference;
    detect::Options stars;
    Options registration;
};

// What became of one light.
struct LightReport {
    std::string file;
    size_t stars = 0; // found on the calibrated light
    bool stacked = false;
    Report registration; // of the reference itself: identity, every star matched
};

// Called with a stage ("calibrate" for the masters, "register" per light)
// and how far it has come.
using StageProgress = std::function<void(const std::string& stage, int done, int total)>;

// Stacks `lights` (at least one) into `output`, a new FITS image (BITPIX
// -32, physical units: one mapping for all lights) with the reference's
// header cards, NCOMBINE (the lights stacked) and one HISTORY card per line
// of `history`; with `coverage` not empty, a 16-bit FITS image of the frames
// that defined each pixel too. Darks are subtracted above a pedestal that
// keeps every difference (lights darker than the dark stay negative);
// flats divide at their mean. A light that does not register is left out;
// the reports (one per light, in the lights' order) say why. Throws intake::Error: Unsupported for a colour
// (Bayer) frame, Failure when the reference has too few stars or nothing
// registers, "interrupted" once `cancel` is set (polled between lights and
// bands); scratch files go however it ends.
std::vector<LightReport> StackFiles(const std::vector<std::string>& lights, const std::string& output,
    const std::string& coverage, const std::vector<std::string>& history, const StackOptions& options,
    intake::Warnings& warnings, const StageProgress& progress = nullptr, const unsigned char* cancel = nullptr);

} // namespace tamrix::stack
