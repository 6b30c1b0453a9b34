#include "commands.h"
#include "failure.h"

#include <fitsio.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tamrix::cli {

std::string History(const std::string& command, const std::string& what)
{
    return "tamrix " + command + ": " + what;
}

void DropWcs(Frame& frame, std::vector<std::string>& history, const std::string& command)
{
    const auto wcs
        = [](const std::string& card) { return fits_get_keyclass(const_cast<char*>(card.c_str())) == TYP_WCS_KEY; };
    const auto end = std::remove_if(frame.cards.begin(), frame.cards.end(), wcs);
    if (end == frame.cards.end())
        return;
    frame.cards.erase(end, frame.cards.end());
    history.push_back(History(command, "world coordinates removed: the pixel grid changed"));
}

CLI::Validator OutputFile(OutputKind kind)
{
    return CLI::Validator(
        [kind](std::string& path) {
            try {
                ReserveOutput(path, kind);
            } catch (const Failure& e) {
                return std::string(e.what());
            }
            return std::string();
        },
        "");
}

bool EndsWith(const std::string& path, const std::string& tail)
{
    if (path.size() < tail.size())
        return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - tail.size() + i])) != tail[i])
            return false;
    return true;
}

void RequirePng(const std::string& path)
{
    if (!EndsWith(path, ".png"))
        throw FileFailure(kExitUsage, path, "a picture is written as PNG: name it *.png");
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

const CLI::Validator& Finite()
{
    static const CLI::Validator finite(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (end != text.c_str() && *end == '\0' && !std::isfinite(v))
                return "must be a finite number, not " + text;
            return ""; // anything else is the number parser's to judge
        },
        "");
    return finite;
}

} // namespace tamrix::cli
