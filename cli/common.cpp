#include "commands.h"
#include "failure.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tamrix::cli {

void DrawProgress(const std::string& label, double fraction, const std::string& text)
{
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kWidth);
    const std::string bar
        = std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kWidth - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %s", label.c_str(), bar.c_str(), text.c_str());
    std::fflush(stderr);
}

std::string History(const std::string& command, const std::string& what)
{
    return "tamrix " + command + ": " + what;
}

void MapWcs(Frame& frame, std::vector<std::string>& history, const std::string& command, const intake::PixelMap& map)
{
    intake::MappedCards mapped = intake::MapWcs(frame.cards, map, frame.width, frame.height);
    frame.cards = std::move(mapped.cards);
    if (!mapped.dropped.empty())
        history.push_back(History(command, mapped.dropped));
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

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else
            out += c;
    }
    return out + "\"";
}

std::string JsonNumber(double value, const char* format)
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
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
