#include "field.h"

#include "failure.h"
#include "output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tamrix::cli {

std::string FieldText(const Field& f)
{
    std::string text = "# tamrix field: cubic surfaces of the star motion dx, dy over u = (x - width/2) / s,\n"
                       "# v = (y - height/2) / s, s = max(width, height); terms u^3 v^3 u^2v uv^2 u^2 v^2 uv u v 1\n";
    char line[400]; // "%.6f" of the largest double takes 317 characters
    text += "width " + std::to_string(f.width) + "\nheight " + std::to_string(f.height) + "\npairs "
        + std::to_string(f.pairs) + "\n";
    std::snprintf(line, sizeof line, "rms %.6f\n", f.rms);
    text += line;
    for (int c = 0; c < 2; ++c) {
        text += c ? "dy" : "dx";
        for (double v : c ? f.dy : f.dx) {
            std::snprintf(line, sizeof line, " %.17g", v); // round-trips every double
            text += line;
        }
        text += "\n";
    }
    return text;
}

Field ReadField(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw FileFailure(kExitUnreadable, path, "no such file");
    NoteInput(path);
    Field f;
    bool seen[6] = {};
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string key;
        words >> key;
        const auto bad = [&](const std::string& what) {
            return FileFailure(kExitUnreadable, path, "line " + std::to_string(number) + ": " + what);
        };
        static const char* const kKeys[] = { "width", "height", "pairs", "rms", "dx", "dy" };
        int k = 0;
        while (k < 6 && key != kKeys[k])
            ++k;
        if (k == 6)
            throw bad("unknown entry '" + key + "'");
        const int count = k >= 4 ? 10 : 1;
        double values[10];
        for (int i = 0; i < count; ++i) {
            std::string word;
            if (!(words >> word))
                throw bad(key + " needs " + std::to_string(count) + (count > 1 ? " numbers" : " number"));
            char* end = nullptr;
            errno = 0;
            values[i] = std::strtod(word.c_str(), &end);
            if (end != word.c_str() + word.size() || errno == ERANGE || !std::isfinite(values[i]))
                throw bad(key + ": '" + word + "' is not a number");
        }
        std::string extra;
        if (words >> extra)
            throw bad("more than " + std::to_string(count) + " values after " + key);
        seen[k] = true;
        switch (k) {
        case 0:
        case 1: {
            if (values[0] < 1 || values[0] > 1e6 || values[0] != std::floor(values[0]))
                throw bad(key + " must be a whole number of pixels from 1 to 1000000");
            (k ? f.height : f.width) = static_cast<int>(values[0]);
            break;
        }
        case 2:
            if (values[0] < 0 || values[0] > 2147483647 || values[0] != std::floor(values[0]))
                throw bad("pairs must be a whole number of matched stars");
            f.pairs = static_cast<int>(values[0]);
            break;
        case 3:
            if (values[0] < 0)
                throw bad("rms must be 0 or more (pixels)");
            f.rms = values[0];
            break;
        default:
            for (int i = 0; i < 10; ++i)
                (k == 4 ? f.dx : f.dy)[i] = values[i];
        }
    }
    for (int k : { 0, 1, 4, 5 })
        if (!seen[k])
            throw FileFailure(kExitUnreadable, path,
                std::string("not a tamrix field file: no '")
                    + (k == 0        ? "width"
                            : k == 1 ? "height"
                            : k == 4 ? "dx"
                                     : "dy")
                    + "' line");
    return f;
}

} // namespace tamrix::cli
