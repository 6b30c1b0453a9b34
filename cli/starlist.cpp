#include "starlist.h"

#include "failure.h"
#include "output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <sys/stat.h>

namespace tamrix::cli {
namespace {

// Beyond any frame (at most 2^30 pixels a side); it keeps the rounded
// position in an int.
constexpr double kMaxPosition = 1e9;

std::vector<std::string> SplitCsv(const std::string& line)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ','))
        fields.push_back(field);
    if (!line.empty() && line.back() == ',')
        fields.emplace_back();
    return fields;
}

double ParseNumber(const std::string& text, const std::string& path, int line, const std::string& column)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    while (end && (*end == ' ' || *end == '\r'))
        ++end;
    if (end == begin || end != begin + text.size() || errno == ERANGE || !std::isfinite(value))
        throw FileFailure(
            kExitUnreadable, path, "line " + std::to_string(line) + ": " + column + " is not a number: '" + text + "'");
    return value;
}

// Nearest star of `list` to (x, y) and its squared distance, by a plain scan:
// star lists of a frame hold thousands, not millions.
size_t Nearest(const std::vector<Star>& list, double x, double y, double& d2)
{
    size_t best = list.size();
    d2 = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < list.size(); ++i) {
        const double dx = list[i].cx - x, dy = list[i].cy - y, d = dx * dx + dy * dy;
        if (d < d2) {
            d2 = d;
            best = i;
        }
    }
    return best;
}

} // namespace

std::string StarCsv(const std::vector<Star>& stars, bool measures)
{
    std::string text = measures ? "x,y,cx,cy,flux,peak,fwhm,elongation,snr,sharpness,flags\n" : "x,y,cx,cy,flux,peak\n";
    char line[320];
    for (const Star& s : stars) {
        int n = std::snprintf(line, sizeof line, "%d,%d,%.4f,%.4f,%.10g,%.10g", s.x, s.y, s.cx, s.cy, s.flux, s.peak);
        if (measures)
            n += std::snprintf(line + n, sizeof line - n, ",%.3f,%.3f,%.2f,%.3f,%u", s.fwhm, s.elongation, s.snr,
                s.sharpness, s.flags);
        text += line;
        text += '\n';
    }
    return text;
}

std::string StarRegions(const std::vector<Star>& stars, double radius)
{
    std::string text = "# Region file format: DS9 version 4.1\nglobal color=green width=1\nimage\n";
    char line[120];
    for (const Star& s : stars) {
        std::snprintf(line, sizeof line, "circle(%.4f,%.4f,%g)\n", s.cx + 1, s.cy + 1, radius);
        text += line;
    }
    return text;
}

std::vector<Star> ReadStarCsv(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw FileFailure(kExitUnreadable, path, "no such file");
    NoteInput(path);
    std::ifstream in(path);
    if (!in || S_ISDIR(st.st_mode))
        throw FileFailure(kExitUnreadable, path, "cannot read the star list");
    std::string line;
    if (!std::getline(in, line))
        throw FileFailure(
            kExitUnreadable, path, "empty: a star list starts with a header line such as x,y,cx,cy,flux,peak");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::vector<std::string> header = SplitCsv(line);
    int cxAt = -1, cyAt = -1, fluxAt = -1, peakAt = -1, xAt = -1, yAt = -1;
    for (int i = 0; i < int(header.size()); ++i) {
        if (header[i] == "x")
            xAt = i;
        else if (header[i] == "y")
            yAt = i;
        else if (header[i] == "cx")
            cxAt = i;
        else if (header[i] == "cy")
            cyAt = i;
        else if (header[i] == "flux")
            fluxAt = i;
        else if (header[i] == "peak")
            peakAt = i;
    }
    if (cxAt < 0 || cyAt < 0) { // a catalogue's positions
        cxAt = xAt;
        cyAt = yAt;
    }
    if (cxAt < 0 || cyAt < 0)
        throw FileFailure(kExitUnreadable, path, "line 1: the header names no cx and cy (nor x and y) columns");

    std::vector<Star> stars;
    for (int number = 2; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const std::vector<std::string> f = SplitCsv(line);
        if (f.size() != header.size())
            throw FileFailure(kExitUnreadable, path,
                "line " + std::to_string(number) + ": " + std::to_string(f.size()) + " fields, the header has "
                    + std::to_string(header.size()));
        Star s;
        s.cx = ParseNumber(f[cxAt], path, number, "cx");
        s.cy = ParseNumber(f[cyAt], path, number, "cy");
        if (std::abs(s.cx) > kMaxPosition || std::abs(s.cy) > kMaxPosition)
            throw FileFailure(kExitUnreadable, path,
                "line " + std::to_string(number) + ": the position " + f[cxAt] + ", " + f[cyAt]
                    + " lies beyond any frame");
        s.x = static_cast<int>(s.cx + 0.5);
        s.y = static_cast<int>(s.cy + 0.5);
        if (fluxAt >= 0)
            s.flux = ParseNumber(f[fluxAt], path, number, "flux");
        if (peakAt >= 0) {
            s.peak = ParseNumber(f[peakAt], path, number, "peak");
        }
        stars.push_back(s);
    }
    return stars;
}

std::vector<std::pair<Star, Star>> MatchStars(
    const std::vector<Star>& a, const std::vector<Star>& b, double maxDistance)
{
    std::vector<std::pair<Star, Star>> pairs;
    for (const Star& s : a) {
        double d2 = 0, back = 0;
        const size_t j = Nearest(b, s.cx, s.cy, d2);
        if (j == b.size() || d2 > maxDistance * maxDistance)
            continue;
        const size_t i = Nearest(a, b[j].cx, b[j].cy, back);
        if (&a[i] == &s)
            pairs.emplace_back(s, b[j]);
    }
    return pairs;
}

} // namespace tamrix::cli
