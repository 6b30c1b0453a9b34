// The soak as part of the suite: a fixed number of cases of every operation
// from fixed seeds, each against its reference.
#include "soak.h"

#include <gtest/gtest.h>

namespace {

class Soak : public testing::TestWithParam<soak::Operation> {};

TEST_P(Soak, FixedCasesMatchTheReference)
{
    for (uint64_t index = 0; index < 150; ++index) {
        const std::string difference = soak::Difference(GetParam(), soak::CaseSeed(1, index));
        ASSERT_EQ(difference, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, Soak, testing::ValuesIn(soak::Operations()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
