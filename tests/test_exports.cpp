// The shared library exports its public interface and nothing else.
#include "tamrix.h"

#include <gtest/gtest.h>

#include <omp.h>

#if !defined(_WIN32)
#    include <dlfcn.h>
#endif

namespace {

#if !defined(_WIN32)
// The complete list of exports is checked on the library file itself
// (check_exports.sh); this checks that a client resolves them at run time.
TEST(Exports, PublicFunctionsResolveAtRunTime)
{
    Dl_info info {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&tamrix::Bin), &info), 0);
    void* lib = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr) << info.dli_fname;
    EXPECT_EQ(dlsym(lib, "_ZN6tamrix3BinEiiPvS0_iii"), reinterpret_cast<void*>(&tamrix::Bin));
    EXPECT_NE(dlsym(lib, "_ZN6tamrix13OMPSetDynamicEv"), nullptr);
    dlclose(lib);
}
#endif

TEST(Runtime, OMPSetDynamicTurnsOnTheRuntimesDynamicMode)
{
    omp_set_dynamic(0);
    tamrix::OMPSetDynamic();
    EXPECT_NE(omp_get_dynamic(), 0);
    omp_set_dynamic(0);
}

} // namespace
