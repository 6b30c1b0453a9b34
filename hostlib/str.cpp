// String and number text with the bound-and-pointer convention.
#include "hostlib.h"

#include <charconv>
#include <cstring>

namespace Str {
namespace {

// Writes text[0 ... length) into the caller's buffer when it fits; an empty
// string otherwise, so that a cut-off number is never mistaken for a value.
int Emit(const char* text, int length, int bound, char* buffer, bool* ok)
{
    const bool fits = length >= 0 && length <= bound;
    if (ok != nullptr)
        *ok = fits;
    if (buffer == nullptr || bound < 0)
        return 0;
    if (!fits) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, text, static_cast<size_t>(length));
    buffer[length] = '\0';
    return length;
}

// Digits of magnitude in base, most significant first. Written out rather
// than with std::to_chars, whose integer templates would be instantiated, and
// exported, from this library.
int IntegerText(bool negative, uint32_t magnitude, int bound, char* buffer, int base, bool* ok)
{
    if (base < 2 || base > 36)
        return Emit("", -1, bound, buffer, ok);
    char text[34]; // 32 binary digits and a sign
    char* end = text + sizeof text;
    char* p = end;
    do {
        *--p = "0123456789abcdefghijklmnopqrstuvwxyz"[magnitude % static_cast<uint32_t>(base)];
        magnitude /= static_cast<uint32_t>(base);
    } while (magnitude != 0);
    if (negative)
        *--p = '-';
    return Emit(p, static_cast<int>(end - p), bound, buffer, ok);
}

} // namespace

int LengthA(int bound, const char* text)
{
    if (text == nullptr || bound < 0)
        return 0;
    const void* end = std::memchr(text, '\0', static_cast<size_t>(bound) + 1);
    return end != nullptr ? static_cast<int>(static_cast<const char*>(end) - text) : bound + 1;
}

int CopyA(int destBound, char* dest, int sourceBound, const char* source)
{
    if (dest == nullptr || destBound < 0)
        return 0;
    int n = LengthA(sourceBound, source);
    if (n > destBound)
        n = destBound;
    std::memmove(dest, source, static_cast<size_t>(n));
    dest[n] = '\0';
    return n;
}

int AppendA(int destBound, char* dest, int sourceBound, const char* source)
{
    if (dest == nullptr || destBound < 0)
        return 0;
    int used = LengthA(destBound, dest);
    if (used > destBound) // no terminator inside the buffer: make room for one
        used = destBound;
    int n = LengthA(sourceBound, source);
    if (n > destBound - used)
        n = destBound - used;
    std::memmove(dest + used, source, static_cast<size_t>(n));
    dest[used + n] = '\0';
    return used + n;
}

int IntToStrA(int32_t value, int bound, char* buffer, int base, bool* ok)
{
    // The magnitude in unsigned arithmetic, so that INT32_MIN negates safely.
    const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    return IntegerText(value < 0, magnitude, bound, buffer, base, ok);
}

int CardToStrA(uint32_t value, int bound, char* buffer, int base, bool* ok)
{
    return IntegerText(false, value, bound, buffer, base, ok);
}

int FixRealToStrA(double value, int decimals, int bound, char* buffer, bool* ok)
{
    if (decimals < 0 || decimals > 20)
        return Emit("", -1, bound, buffer, ok);
    // std::to_chars is exact and ignores the locale: a host running with a
    // decimal comma still writes files that read back.
    char text[400]; // 309 integer digits of DBL_MAX, a sign, a point and 20 decimals
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc())
        return Emit("", -1, bound, buffer, ok);
    return Emit(text, static_cast<int>(result.ptr - text), bound, buffer, ok);
}

} // namespace Str
