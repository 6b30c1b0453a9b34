// A host window for tests that records every message it receives. On Windows
// it is a real window owned by a thread that runs a message loop, so the
// library's SendMessageA and PostMessageA are the system's; elsewhere it is a
// THostWindow whose members record.
#pragma once

#include "tamrix.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
#if defined(_WIN32)
    RecordingWindow()
    {
        std::mutex ready;
        std::condition_variable created;
        std::unique_lock<std::mutex> lock(ready);
        loop_ = std::thread([&] {
            // Registered once: registrations from several threads at once race.
            static const ATOM windowClass = [] {
                WNDCLASSA wc{};
                wc.lpfnWndProc = &RecordingWindow::Procedure;
                wc.hInstance = GetModuleHandleA(nullptr);
                wc.lpszClassName = "TamrixTestWindow";
                return RegisterClassA(&wc);
            }();
            HWND hwnd = CreateWindowExA(0, MAKEINTATOM(windowClass), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            {
                std::lock_guard<std::mutex> hold(ready);
                hwnd_ = hwnd, loopThread_ = GetCurrentThreadId();
            }
            created.notify_all();
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
            DestroyWindow(hwnd);
        });
        created.wait(lock, [&] { return loopThread_ != 0; });
    }
    ~RecordingWindow()
    {
        PostThreadMessageA(loopThread_, WM_QUIT, 0, 0);
        loop_.join();
    }
    void* Handle() { return hwnd_; }
#else
    RecordingWindow() : host_{this, &RecordingWindow::Send, &RecordingWindow::Post} { }
    void* Handle() { return &host_; }
#endif
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    // Waits until at least count messages arrived (posted messages travel
    // through the queue) or the timeout passed; returns what arrived.
    std::vector<WindowMessage> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
        return messages_;
    }
    std::vector<WindowMessage> Messages() { return WaitFor(0); }

    // Called with the count after each message, on the handling thread, before a sender is released.
    std::function<void(size_t)> OnMessage;

private:
    // The library sends text only: copied while the sender still waits.
    void Record(unsigned id, uintptr_t wParam, intptr_t lParam, bool sent)
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

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<WindowMessage> messages_;
#if defined(_WIN32)
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT id, WPARAM w, LPARAM l)
    {
        auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self != nullptr && id >= WM_USER) {
            self->Record(id, w, l, InSendMessage() != FALSE);
            return 42;
        }
        return DefWindowProcA(hwnd, id, w, l);
    }
    std::thread loop_;
    DWORD loopThread_ = 0;
    HWND hwnd_ = nullptr;
#else
    static intptr_t Send(void* self, unsigned id, uintptr_t w, intptr_t l)
    {
        static_cast<RecordingWindow*>(self)->Record(id, w, l, true);
        return 42;
    }
    static void Post(void* self, unsigned id, uintptr_t w, intptr_t l)
    {
        static_cast<RecordingWindow*>(self)->Record(id, w, l, false);
    }
    THostWindow host_{};
#endif
};

} // namespace tamrix::test
