// The main function of the test programs in the Windows build (run under
// Wine). MinGW-w64's OpenMP runtime on its POSIX-thread library can deadlock
// while the process unloads its libraries at exit once host threads have run
// parallel loops: every test has passed and printed its results, and the
// process never ends. The test programs therefore end the process outright
// once the results are out, which skips that unloading; the exit code is the
// tests' own.
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
