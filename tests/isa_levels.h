// The per-level runner of the kernel tests: the instruction-set levels this
// machine runs, and a cap on the library's seam (hcpp/tamrix/isa.h) for a
// scope, so that every table of variants is read at each level in turn.
// Programs that use it link the library's internal archive.
#pragma once

#include "hcpp/tamrix/isa.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tamrix::test {

using isa::Level;

// Baseline up to this processor's level.
inline std::vector<Level> Levels()
{
    std::vector<Level> levels;
    for (int l = 0; l <= static_cast<int>(isa::Detected()); ++l)
        levels.push_back(static_cast<Level>(l));
    return levels;
}

inline std::string LevelName(Level level)
{
    const char* names[isa::kLevelCount] = { "Baseline", "Sse3", "Avx", "Avx2", "Avx512", "Avx512Vbmi" };
    return names[static_cast<int>(level)];
}

// Caps the seam at a level while it lives, then restores the cap it found.
class CapTo {
public:
    explicit CapTo(Level level)
        : previous_(isa::SetCap(level))
    {
    }
    ~CapTo() { isa::SetCap(previous_); }
    CapTo(const CapTo&) = delete;
    CapTo& operator=(const CapTo&) = delete;

private:
    Level previous_;
};

// The fixture of a test that runs once per level, with the seam capped at it:
// derive the suite's fixture from it and name the suite once in
// TAMRIX_AT_EVERY_LEVEL.
class AtEveryLevel : public testing::TestWithParam<Level> {
private:
    CapTo cap_ { GetParam() };
};

} // namespace tamrix::test

// Failure messages say the level's name.
namespace tamrix::isa {
inline void PrintTo(Level level, std::ostream* out)
{
    *out << test::LevelName(level);
}
} // namespace tamrix::isa

#define TAMRIX_AT_EVERY_LEVEL(Suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(Levels, Suite, testing::ValuesIn(tamrix::test::Levels()),                                 \
        [](const testing::TestParamInfo<tamrix::isa::Level>& info) { return tamrix::test::LevelName(info.param); })
