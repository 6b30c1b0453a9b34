// Linked into the test programs of the ThreadSanitizer build only (make
// tsan), which runs on LLVM's OpenMP runtime with its race-detection tool.
//
// That runtime (version 14) reports the end of every critical section to the
// tool with a return address it reads from the thread of global id 0, not
// from the calling thread. Id 0 goes to the first thread that enters the
// runtime; when that is a host thread which has since ended, its slot is
// empty and every later critical section crashes in the runtime. A test that
// starts host threads from a main thread which never entered OpenMP (the
// concurrent-host tests, run one by one by CTest) gets exactly that. The main
// thread therefore enters the runtime first, before any test, and keeps id 0
// for the life of the process. This works around the runtime; it hides no
// report.
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
