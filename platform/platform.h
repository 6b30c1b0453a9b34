// Internal: the few operating-system services the library uses, behind one
// small interface. On Windows these are the real user32/kernel32 calls; on
// other systems a window handle points to the host's THostWindow and the tick
// counter reads a monotonic clock.
#pragma once

#include <cstdint>

namespace tamrix::platform {

// Delivers a message synchronously to the host window; returns the window's
// answer (0 when the handle or its Send member is null).
intptr_t SendMessageA(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Queues a message for the host window without waiting for it.
void PostMessageA(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Milliseconds of a monotonic clock, wrapping modulo 2^32.
uint32_t GetTickCount();

// Throws std::bad_alloc. Kept out of the files that define exported classes:
// MinGW would otherwise export the type information of the standard
// exception classes from the DLL.
[[noreturn]] void ThrowOutOfMemory();

// Runs body(context) and reports whether it finished; false when it ran out
// of memory (std::bad_alloc). Other exceptions pass through. Lives here for
// the same reason as ThrowOutOfMemory: a handler names the type information.
bool RunUnlessOutOfMemory(void (*body)(void*), void* context);

// The same for a callable object.
template <class Body>
bool RunUnlessOutOfMemory(Body& body)
{
    return RunUnlessOutOfMemory([](void* context) { (*static_cast<Body*>(context))(); }, &body);
}

} // namespace tamrix::platform
