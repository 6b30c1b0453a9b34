#include "commands.h"

#include <fitsio.h>

#include <algorithm>
#include <cstdio>

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

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

} // namespace tamrix::cli
