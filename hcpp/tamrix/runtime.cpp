// The process-wide switch of the parallel runtime, and the Windows entry point.
#include "tamrix.h"

#include <omp.h>

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>

// Nothing happens at load or unload; per-thread notifications are turned off
// because the library keeps no per-thread state.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif

namespace tamrix {

void OMPSetDynamic()
{
    omp_set_dynamic(1);
}

} // namespace tamrix
