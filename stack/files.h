// Combining FITS files into a master frame without holding them whole: the
// inputs are read a band of rows at a time through one value mapping for
// all of them (intake/mapping.h), compressed ones unpacked once into a
// scratch folder, and the result written band by band as 32-bit floating
// point in the inputs' physical units.
#pragma once

#include "combine.h"

#include "intake/fits.h"

#include <functional>
#include <string>
#include <vector>

namespace tamrix::stack {

// A folder of scratch files (unpacked copies, warped frames), removed with
// everything in it when the object goes: on success, on an error and after
// Ctrl-C alike. Made in `parent` on the first File(); `made` is told its path.
class ScratchFolder {
public:
    ScratchFolder(const std::string& parent, std::function<void(const std::string&)> made);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // A new file name in the folder.
    std::string File();

private:
    std::string parent_, path_;
    std::function<void(const std::string&)> made_;
    std::vector<std::string> files_;
};

// Bounds of an image's physical values: for 8- and 16-bit integers their
// type's range (nothing is read), otherwise the finite minimum and maximum,
// read a chunk of about `bytes` at a time (+-infinity reversed when none is
// finite).
std::pair<double, double> PhysicalRange(const std::string& name, int plane, int64_t bytes);

// True when no name comes twice (files that may be read side by side).
bool Distinct(std::vector<std::string> names);

struct FileOptions {
    int plane = -1; // of cubes, as intake::ReadOptions
    intake::MappingOptions mapping;
    Settings settings;
    Budget budget;
    // Where the scratch folder for unpacked copies of gzip'd and
    // tile-compressed inputs is made; removed when the combination ends,
    // however it ends.
    std::string scratchIn = ".";
    // Told the scratch folder's path when it is made (for a signal handler
    // that must remove it when the program ends at once).
    std::function<void(const std::string&)> onScratch;
};

// Combines the images `names` (at least one) into `output`, a new FITS
// image (BITPIX -32) holding the first input's header cards that still
// hold (EXPTIME and the like are the first frame's), NCOMBINE and one
// HISTORY card per line of `history`; with `rejection` not empty, a 16-bit
// FITS image of the values clipped at each pixel too. Throws intake::Error:
// Mismatch naming the first input whose size or plane count differs from
// the first one's. What reading met goes to `warnings`.
void CombineFiles(const std::vector<std::string>& names, const std::string& output, const std::string& rejection,
    const std::vector<std::string>& history, const FileOptions& options, intake::Warnings& warnings,
    const Progress& progress = nullptr, const unsigned char* cancel = nullptr);

} // namespace tamrix::stack
