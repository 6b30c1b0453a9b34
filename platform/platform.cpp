#include "platform/platform.h"

#include "tamrix.h"

#include <new>

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#else
#  include <time.h>
#endif

namespace tamrix::platform {

void ThrowOutOfMemory()
{
    throw std::bad_alloc();
}

bool RunUnlessOutOfMemory(void (*body)(void*), void* context)
{
    try {
        body(context);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

#if defined(_WIN32)

intptr_t SendMessageA(void* window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    return ::SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

void PostMessageA(void* window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    ::PostMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

uint32_t GetTickCount()
{
    return ::GetTickCount();
}

#else

intptr_t SendMessageA(void* window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    auto* host = static_cast<THostWindow*>(window);
    if (host == nullptr || host->Send == nullptr)
        return 0;
    return host->Send(host->Context, message, wParam, lParam);
}

void PostMessageA(void* window, unsigned message, uintptr_t wParam, intptr_t lParam)
{
    auto* host = static_cast<THostWindow*>(window);
    if (host == nullptr || host->Post == nullptr)
        return;
    host->Post(host->Context, message, wParam, lParam);
}

uint32_t GetTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Unsigned arithmetic wraps like the Windows counter does after 49.7 days.
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u
                                 + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

#endif

} // namespace tamrix::platform
