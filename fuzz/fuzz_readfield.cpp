// libFuzzer target: ReadField on any bytes. A field read must hold what
// render-field can draw and come back from the text fit-field writes of it.
#include "failure.h"
#include "field.h"
#include "fuzz_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

using tamrix::cli::Field;

namespace {

[[noreturn]] void Wrong(const char* what)
{
    std::fprintf(stderr, "field file: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const tamrix::fuzz::ScratchFile file("field");
    Field f;
    try {
        f = tamrix::cli::ReadField(file.Write(data, size));
    } catch (const tamrix::cli::Failure&) {
        return 0;
    }
    if (f.width < 1 || f.width > 1000000 || f.height < 1 || f.height > 1000000 || f.pairs < 0 || !(f.rms >= 0))
        Wrong("out of range");
    const std::string text = tamrix::cli::FieldText(f);
    const Field g = tamrix::cli::ReadField(file.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    // Coefficients to the bit, the residual to 6 decimals.
    if (g.width != f.width || g.height != f.height || g.pairs != f.pairs
        || !(std::abs(g.rms - f.rms) <= 5.000001e-7 + 1e-15 * f.rms))
        Wrong("written and read back");
    for (int i = 0; i < 10; ++i)
        if (g.dx[i] != f.dx[i] || g.dy[i] != f.dy[i])
            Wrong("coefficients written and read back");
    return 0;
}
