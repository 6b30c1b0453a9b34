// The host-window and clock layer that stands in for the Windows calls.
#include "platform/platform.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Message {
    unsigned id;
    uintptr_t wParam;
    intptr_t lParam;
    bool sent;
};

struct Recorder {
    std::vector<Message> messages;
    static intptr_t Send(void* self, unsigned id, uintptr_t w, intptr_t l)
    {
        static_cast<Recorder*>(self)->messages.push_back({ id, w, l, true });
        return 42;
    }
    static void Post(void* self, unsigned id, uintptr_t w, intptr_t l)
    {
        static_cast<Recorder*>(self)->messages.push_back({ id, w, l, false });
    }
};

TEST(HostWindow, SendAndPostReachTheHostWithTheirArguments)
{
    Recorder rec;
    THostWindow window { &rec, &Recorder::Send, &Recorder::Post };
    EXPECT_EQ(tamrix::platform::SendMessageA(&window, 0x465, 65535, -7), 42);
    tamrix::platform::PostMessageA(&window, 13369, 3, 1500);
    ASSERT_EQ(rec.messages.size(), 2u);
    EXPECT_EQ(rec.messages[0].id, 0x465u);
    EXPECT_EQ(rec.messages[0].wParam, 65535u);
    EXPECT_EQ(rec.messages[0].lParam, -7);
    EXPECT_TRUE(rec.messages[0].sent);
    EXPECT_EQ(rec.messages[1].id, 13369u);
    EXPECT_EQ(rec.messages[1].wParam, 3u);
    EXPECT_EQ(rec.messages[1].lParam, 1500);
    EXPECT_FALSE(rec.messages[1].sent);
}

TEST(HostWindow, NullHandleOrMemberDropsTheMessage)
{
    Recorder rec;
    THostWindow noMembers { &rec, nullptr, nullptr };
    EXPECT_EQ(tamrix::platform::SendMessageA(&noMembers, 1, 2, 3), 0);
    tamrix::platform::PostMessageA(&noMembers, 1, 2, 3);
    EXPECT_EQ(tamrix::platform::SendMessageA(nullptr, 1, 2, 3), 0);
    tamrix::platform::PostMessageA(nullptr, 1, 2, 3);
    EXPECT_TRUE(rec.messages.empty());
}

TEST(TickCount, CountsMillisecondsMonotonically)
{
    const uint32_t t0 = tamrix::platform::GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t elapsed = tamrix::platform::GetTickCount() - t0; // wraps like the Windows counter
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 5000u);
}

} // namespace
