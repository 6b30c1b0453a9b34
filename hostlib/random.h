// Internal: the pieces of the generator that the white-box tests reach.
#pragma once

#include <cstdint>

namespace Lib::detail {

// Maps 64 random bits to a double in (0, 1]: the top 53 bits plus one, times
// 2^-53. All-zero bits give 2^-53, all-one bits exactly 1.
double UnitFromBits(uint64_t bits);

// Uniform in 0 ... n - 1 from a source of 32-bit words (Lemire's multiply and
// reject): words whose low product half falls below 2^32 mod n are redrawn,
// which removes the bias that a plain modulo would leave.
template <class NextWord> uint32_t Bounded(uint32_t n, NextWord next)
{
    if (n == 0)
        return 0;
    uint64_t product = uint64_t { next() } * n;
    auto low = static_cast<uint32_t>(product);
    if (low < n) {
        const uint32_t threshold = (0u - n) % n;
        while (low < threshold) {
            product = uint64_t { next() } * n;
            low = static_cast<uint32_t>(product);
        }
    }
    return static_cast<uint32_t>(product >> 32);
}

} // namespace Lib::detail
