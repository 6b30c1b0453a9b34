// A host window for tests that records every message it receives. On Windows
// it is a real window owned by a thread that runs a message loop, so the
// library's SendMessageA and PostMessageA are the system's; elsewhere it is a
// THostWindow whose members record.
#pragma once

#include "tamrix.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#endif

namespace tamrix::test {

struct WindowMessage {
    unsigned id;
    uintptr_t wParam;
    intptr_t lParam;
    bool sent;        // delivered synchronously (SendMessage), not posted
    std::string text; // for sent messages: the zero-terminated text at lParam
};

class RecordingWindow {
public:
    // The library sends text only: lParam of a sent message is copied as a C
    // string while the sender still waits (the text belongs to the sender).
    RecordingWindow();
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    // The handle to pass to the library.
    void* Handle();

    // Waits until at least count messages arrived (posted messages travel
    // through the queue) or the timeout passed; returns what arrived.
    std::vector<WindowMessage> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::vector<WindowMessage> Messages();

    // Called with the number of messages so far, after each one is recorded,
    // on the thread that handles the message (before a sender is released).
    std::function<void(size_t)> OnMessage;

private:
    void Record(unsigned id, uintptr_t wParam, intptr_t lParam, bool sent);

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<WindowMessage> messages_;
#if defined(_WIN32)
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    std::thread loop_;
    DWORD loopThread_ = 0;
    HWND hwnd_ = nullptr;
#else
    static intptr_t Send(void* self, unsigned id, uintptr_t w, intptr_t l);
    static void Post(void* self, unsigned id, uintptr_t w, intptr_t l);
    THostWindow host_{};
#endif
};

inline void RecordingWindow::Record(unsigned id, uintptr_t wParam, intptr_t lParam, bool sent)
{
    WindowMessage m{id, wParam, lParam, sent, {}};
    if (sent && lParam != 0)
        m.text = reinterpret_cast<const char*>(lParam);
    size_t count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(m));
        count = messages_.size();
    }
    if (OnMessage)
        OnMessage(count);
    arrived_.notify_all();
}

inline std::vector<WindowMessage> RecordingWindow::WaitFor(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
    return messages_;
}

inline std::vector<WindowMessage> RecordingWindow::Messages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

#if defined(_WIN32)

inline LRESULT CALLBACK RecordingWindow::Procedure(HWND hwnd, UINT id, WPARAM w, LPARAM l)
{
    auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self != nullptr && id >= WM_USER) {
        self->Record(id, w, l, InSendMessage() != FALSE);
        return 42;
    }
    return DefWindowProcA(hwnd, id, w, l);
}

inline RecordingWindow::RecordingWindow()
{
    std::mutex ready;
    std::condition_variable created;
    bool done = false;
    loop_ = std::thread([&] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &RecordingWindow::Procedure;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TamrixTestWindow";
        RegisterClassA(&wc); // fails harmlessly when already registered
        HWND hwnd = CreateWindowExA(0, "TamrixTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                    nullptr);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        {
            std::lock_guard<std::mutex> lock(ready);
            hwnd_ = hwnd;
            loopThread_ = GetCurrentThreadId();
            done = true;
        }
        created.notify_all();
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
        DestroyWindow(hwnd);
    });
    std::unique_lock<std::mutex> lock(ready);
    created.wait(lock, [&] { return done; });
}

inline RecordingWindow::~RecordingWindow()
{
    PostThreadMessageA(loopThread_, WM_QUIT, 0, 0);
    loop_.join();
}

inline void* RecordingWindow::Handle() { return hwnd_; }

#else

inline intptr_t RecordingWindow::Send(void* self, unsigned id, uintptr_t w, intptr_t l)
{
    static_cast<RecordingWindow*>(self)->Record(id, w, l, true);
    return 42;
}

inline void RecordingWindow::Post(void* self, unsigned id, uintptr_t w, intptr_t l)
{
    static_cast<RecordingWindow*>(self)->Record(id, w, l, false);
}

inline RecordingWindow::RecordingWindow() : host_{this, &RecordingWindow::Send, &RecordingWindow::Post} { }

inline RecordingWindow::~RecordingWindow() = default;

inline void* RecordingWindow::Handle() { return &host_; }

#endif

} // namespace tamrix::test
