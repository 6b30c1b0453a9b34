// libFuzzer target: the FITS intake on a file's bytes from memory (plain,
// gzip'd or tile-compressed), read as the input's first bytes choose: the
// image (first one, [1], [SCI] or [0]), a cube plane, a range, 16-bit frames
// for floating point, undefined pixels kept. A frame read must write and
// read back to the same physical values.
#include "intake/fits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace tamrix::intake;

constexpr size_t kChoices = 10; // flags, plane, two floats LO and HI

[[noreturn]] void Wrong(const char* what, size_t i = 0)
{
    std::fprintf(stderr, "round trip: %s (pixel %zu)\n", what, i);
    std::abort();
}

// The first card of `part` that does not follow the ones before it in
// `whole`; none when all appear in the same order.
const std::string* Missing(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    size_t at = 0;
    for (const std::string& card : whole)
        if (at < part.size() && card == part[at])
            ++at;
    return at == part.size() ? nullptr : &part[at];
}

void CheckRoundTrip(const Frame& a, const ReadOptions& options)
{
    // What a command writes; read back as a file the user did not annotate.
    const std::vector<char> bytes = FitsBytes(a, { "fuzz" }, options.keepInvalid);
    ReadOptions again;
    again.mapping.floatBits = options.mapping.floatBits;
    again.keepInvalid = options.keepInvalid;
    Warnings warnings;
    ImageName output;
    output.file = "round trip";
    Frame b;
    try {
        b = ReadFrame(bytes, output, again, warnings);
    } catch (const Error& e) {
        // Frames map magnitudes up to 1e300; pixels clipped to the top of
        // a grid's headroom may lie beyond.
        if (std::max(std::abs(a.mapping.Physical(a.Min())), std::abs(a.mapping.Physical(a.Max()))) > 1e300)
            return;
        std::fprintf(stderr, "%s\n", e.what());
        Wrong("read back");
    }
    if (b.width != a.width || b.height != a.height)
        Wrong("size");
    if (b.invalid != (options.keepInvalid ? a.invalid : std::vector<bool>()))
        Wrong("undefined pixels");
    if (const std::string* card = Missing(a.cards, b.cards)) {
        std::fprintf(stderr, "%s\n", card->c_str());
        Wrong("header card");
    }
    if (b.outputBitpix == 0) {
        // Integers written with BZERO and BSCALE: the same exact mapping.
        const double slack = 1e-15 * (std::abs(a.mapping.offset) + 4294967296.0 * a.mapping.scale);
        if (!a.mapping.exact || !b.mapping.exact || b.Depth() != a.Depth() || b.mapping.scale != a.mapping.scale
            || std::abs(b.mapping.offset - a.mapping.offset) > slack)
            Wrong("integer mapping");
        // Undefined pixels too: both hold the median of the same others.
        for (size_t i = 0; i < a.Pixels(); ++i)
            if (b.At(i) != a.At(i))
                Wrong("integer value", i);
        return;
    }
    // Physical values written as floating point, quantised again on the
    // grid of their own range: within half a step (and float's rounding).
    for (size_t i = 0; i < a.Pixels(); ++i) {
        if (!b.invalid.empty() && b.invalid[i])
            continue;
        const double pa = a.mapping.Physical(a.At(i)), pb = b.mapping.Physical(b.At(i));
        const double rounding = b.outputBitpix == -32 ? std::abs(pa) * 0x1p-24 : 0;
        if (!(std::abs(pb - pa) <= b.mapping.scale / 2 + rounding + 1e-12 * std::abs(pa))) {
            std::fprintf(stderr, "%.17g (%.17g + %.17g * %u) read back as %.17g (%.17g + %.17g * %u)\n", pa,
                a.mapping.offset, a.mapping.scale, a.At(i), pb, b.mapping.offset, b.mapping.scale, b.At(i));
            Wrong("floating-point value", i);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kChoices)
        return 0;
    const uint8_t flags = data[0];
    ReadOptions options;
    options.maxPixels = 1 << 20; // a few bytes of tiles may declare 2 GB
    options.keepInvalid = flags & 1;
    options.mapping.floatBits = flags & 2 ? 16 : 32;
    options.plane = static_cast<int8_t>(data[1]);
    if (flags & 16) {
        float range[2];
        std::memcpy(range, data + 2, sizeof range);
        options.mapping.range = std::make_pair(double(range[0]), double(range[1]));
    }
    ImageName image;
    image.file = "fuzz.fits";
    switch (flags >> 2 & 3) {
    case 1:
        image.hdu = 1;
        break;
    case 2:
        image.extname = "SCI";
        break;
    case 3:
        image.hdu = 0;
        break;
    }
    Frame frame;
    try {
        Warnings warnings;
        frame = ReadFrame(std::vector<char>(data + kChoices, data + size), image, options, warnings);
    } catch (const Error&) {
        return 0; // refused with a message: what bad input should get
    }
    CheckRoundTrip(frame, options);
    return 0;
}
