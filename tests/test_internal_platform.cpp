// The window messages and the tick counter: on Windows the system's calls to
// a real window, elsewhere the host's THostWindow members.
#include "nnet.h"
#include "platform/platform.h"
#include "recording_window.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using tamrix::test::RecordingWindow;

namespace {

TEST(HostWindow, SendWaitsForTheWindowAndPostArrivesLater)
{
    RecordingWindow window;
    const char text[] = "37 %";
    EXPECT_EQ(tamrix::platform::SendMessageA(
                  window.Handle(), tamrix::kMedianProgressMessage, 24247, reinterpret_cast<intptr_t>(text)),
        42);
    // Sent synchronously: already recorded when the call returns.
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].id, tamrix::kMedianProgressMessage);
    EXPECT_EQ(messages[0].wParam, 24247u);
    EXPECT_EQ(messages[0].text, "37 %");
    EXPECT_TRUE(messages[0].sent);

    tamrix::platform::PostMessageA(window.Handle(), nnet::kLearnEpochMessage, 3, 1500);
    messages = window.WaitFor(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].id, nnet::kLearnEpochMessage);
    EXPECT_EQ(messages[1].wParam, 3u);
    EXPECT_EQ(messages[1].lParam, 1500);
    EXPECT_FALSE(messages[1].sent);
}

TEST(HostWindow, NullHandleDropsTheMessage)
{
    EXPECT_EQ(tamrix::platform::SendMessageA(nullptr, tamrix::kMedianProgressMessage, 2, 3), 0);
    tamrix::platform::PostMessageA(nullptr, nnet::kLearnEpochMessage, 2, 3);
}

#if !defined(_WIN32)
TEST(HostWindow, NullMembersDropTheMessage)
{
    int calls = 0;
    THostWindow noMembers { &calls, nullptr, nullptr };
    EXPECT_EQ(tamrix::platform::SendMessageA(&noMembers, 1, 2, 3), 0);
    tamrix::platform::PostMessageA(&noMembers, 1, 2, 3);
    EXPECT_EQ(calls, 0);
}
#endif

TEST(TickCount, CountsMillisecondsMonotonically)
{
    const uint32_t t0 = tamrix::platform::GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t elapsed = tamrix::platform::GetTickCount() - t0; // wraps like the Windows counter
    EXPECT_GE(elapsed, 40u); // the Windows counter ticks in steps of 10 to 16 ms
    EXPECT_LT(elapsed, 5000u);
}

} // namespace
