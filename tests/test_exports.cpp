// The shared library's own run-time setting. Its exports are checked on the
// library file (check_exports.sh); every other test program resolves them.
#include "tamrix.h"

#include <gtest/gtest.h>

#include <omp.h>

namespace {

TEST(Runtime, OMPSetDynamicTurnsOnTheRuntimesDynamicMode)
{
    omp_set_dynamic(0);
    tamrix::OMPSetDynamic();
    EXPECT_NE(omp_get_dynamic(), 0);
    omp_set_dynamic(0);
}

} // namespace
