// The main function of the test programs in the Windows build (run under
// Wine). MinGW-w64's OpenMP runtime can deadlock while the process unloads its
// libraries at exit once host threads have run parallel loops, so the programs
// end the process outright once the results are out, with the tests' exit code.
#include <gtest/gtest.h>

#include <cstdio>
#include <windows.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const int failed = RUN_ALL_TESTS();
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), UINT(failed));
    return failed;
}
