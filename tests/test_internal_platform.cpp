// The window messages and the tick counter. Messages sent and posted to a
// window are checked where the library sends them (the median's progress,
// the training's epochs); here a window that is none.
#include "platform/platform.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(HostWindow, NullHandleOrMembersDropTheMessage)
{
    EXPECT_EQ(tamrix::platform::SendMessageA(nullptr, tamrix::kMedianProgressMessage, 2, 3), 0);
    tamrix::platform::PostMessageA(nullptr, tamrix::kMedianProgressMessage, 2, 3);
#if !defined(_WIN32)
    THostWindow noMembers { nullptr, nullptr, nullptr };
    EXPECT_EQ(tamrix::platform::SendMessageA(&noMembers, 1, 2, 3), 0);
    tamrix::platform::PostMessageA(&noMembers, 1, 2, 3);
#endif
}

TEST(TickCount, CountsMillisecondsMonotonically)
{
    const uint32_t t0 = tamrix::platform::GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t elapsed = tamrix::platform::GetTickCount() - t0; // wraps like the Windows counter
    EXPECT_GE(elapsed, 40u); // the Windows counter ticks in steps of 10 to 16 ms
    EXPECT_LT(elapsed, 5000u);
}

} // namespace
