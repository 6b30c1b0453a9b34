// Linked into the test programs of the ThreadSanitizer build only (make
// tsan), which runs on LLVM's OpenMP runtime with its race-detection tool.
//
// That runtime (version 14) reports the end of every critical section with a
// return address read from the thread of global id 0, which goes to the first
// thread that enters the runtime. When that is a host thread which has since
// ended (the concurrent-host tests, run one by one by CTest), every later
// critical section crashes in the runtime. So the main thread enters it
// first, before any test, and keeps id 0. This hides no report.
#include <omp.h>

namespace {

// Any entry registers the calling thread with the runtime, the first one
// as id 0; the result is kept so that the call stays.
volatile int threadsSeen = 0;

struct MainThreadFirst {
    MainThreadFirst() { threadsSeen = omp_get_max_threads(); }
};

const MainThreadFirst mainThreadFirst;

} // namespace
