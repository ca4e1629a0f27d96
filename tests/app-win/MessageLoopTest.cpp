#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "AppModule.h"

namespace {
constexpr UINT kProbeMessage = WM_APP + 7;

// Drops whatever an earlier test left in this thread's queue.
void DrainQueue() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

class RecordingFilter : public CMessageFilter {
public:
    RecordingFilter(std::vector<std::string>& log, const char* name, BOOL take)
        : m_log(log), m_name(name), m_take(take) {}
    BOOL PreTranslateMessage(MSG* pMsg) override {
        if (pMsg->message == kProbeMessage) m_log.push_back(m_name);
        return pMsg->message == kProbeMessage ? m_take : FALSE;
    }

private:
    std::vector<std::string>& m_log;
    std::string m_name;
    BOOL m_take;
};

// Unregisters itself when it sees the probe, as a dialog does when a key destroys it.
class SelfRemovingFilter : public CMessageFilter {
public:
    explicit SelfRemovingFilter(CMessageLoop& loop) : m_loop(loop) {}
    BOOL PreTranslateMessage(MSG* pMsg) override {
        if (pMsg->message != kProbeMessage) return FALSE;
        ++m_seen;
        m_loop.RemoveMessageFilter(this);
        return TRUE;
    }
    int m_seen = 0;

private:
    CMessageLoop& m_loop;
};

// Posts the next step from its idle time: a probe first, then the quit message.
class StepIdleHandler : public CIdleHandler {
public:
    BOOL OnIdle() override {
        ++m_calls;
        if (m_calls == 1) ::PostThreadMessageA(::GetCurrentThreadId(), kProbeMessage, 0, 0);
        if (m_calls == 2) ::PostQuitMessage(3);
        return FALSE;
    }
    int m_calls = 0;
};

LRESULT CALLBACK CountingWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kProbeMessage) {
        auto* count = reinterpret_cast<int*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
        ++*count;
        return 0;
    }
    return ::DefWindowProcA(hWnd, msg, wParam, lParam);
}

HWND CreateCountingWindow(int* count) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = CountingWndProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "KestrelCountingWindow";
    ::RegisterClassA(&wc);  // a second registration fails harmlessly
    HWND hWnd = ::CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
    ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(count));
    return hWnd;
}
}  // namespace

TEST(MessageLoop, RunEndsWithTheQuitCode) {
    DrainQueue();
    CMessageLoop loop;
    ::PostQuitMessage(7);
    EXPECT_EQ(7, loop.Run());
}

TEST(MessageLoop, FiltersAreAskedLastRegisteredFirst) {
    DrainQueue();
    std::vector<std::string> log;
    RecordingFilter first(log, "first", FALSE);
    RecordingFilter second(log, "second", FALSE);
    CMessageLoop loop;
    loop.AddMessageFilter(&first);
    loop.AddMessageFilter(&second);
    ::PostThreadMessageA(::GetCurrentThreadId(), kProbeMessage, 0, 0);
    ::PostQuitMessage(0);
    loop.Run();
    EXPECT_EQ((std::vector<std::string>{"second", "first"}), log);
}

TEST(MessageLoop, FilterThatTakesAMessageStopsItsDispatch) {
    DrainQueue();
    int dispatched = 0;
    HWND hWnd = CreateCountingWindow(&dispatched);
    std::vector<std::string> log;
    RecordingFilter earlier(log, "earlier", FALSE);
    RecordingFilter taker(log, "taker", TRUE);
    CMessageLoop loop;
    loop.AddMessageFilter(&earlier);
    loop.AddMessageFilter(&taker);
    ::PostMessageA(hWnd, kProbeMessage, 0, 0);
    ::PostQuitMessage(0);
    loop.Run();
    EXPECT_EQ(0, dispatched);
    EXPECT_EQ(std::vector<std::string>{"taker"}, log);

    loop.RemoveMessageFilter(&taker);
    ::PostMessageA(hWnd, kProbeMessage, 0, 0);
    ::PostQuitMessage(0);
    loop.Run();
    EXPECT_EQ(1, dispatched);
    ::DestroyWindow(hWnd);
}

TEST(MessageLoop, FilterMayUnregisterItselfWhileItRuns) {
    DrainQueue();
    std::vector<std::string> log;
    RecordingFilter below(log, "below", FALSE);
    CMessageLoop loop;
    SelfRemovingFilter remover(loop);
    loop.AddMessageFilter(&below);
    loop.AddMessageFilter(&remover);
    ::PostThreadMessageA(::GetCurrentThreadId(), kProbeMessage, 0, 0);
    ::PostThreadMessageA(::GetCurrentThreadId(), kProbeMessage, 0, 0);
    ::PostQuitMessage(0);
    loop.Run();
    EXPECT_EQ(1, remover.m_seen);
    EXPECT_EQ(std::vector<std::string>{"below"}, log);  // only the second probe reached it
}

TEST(MessageLoop, IdleHandlersRunEachTimeTheQueueEmpties) {
    DrainQueue();
    StepIdleHandler idle;
    CMessageLoop loop;
    loop.AddIdleHandler(&idle);
    EXPECT_EQ(3, loop.Run());
    EXPECT_EQ(2, idle.m_calls);
}

TEST(MessageLoop, RemovedIdleHandlerIsNotCalled) {
    DrainQueue();
    StepIdleHandler idle;
    CMessageLoop loop;
    loop.AddIdleHandler(&idle);
    EXPECT_TRUE(loop.RemoveIdleHandler(&idle));
    EXPECT_FALSE(loop.RemoveIdleHandler(&idle));
    ::PostQuitMessage(1);
    loop.Run();
    EXPECT_EQ(0, idle.m_calls);
}

TEST(AppModule, KeepsOneLoopPerThread) {
    CMessageLoop mainLoop;
    ASSERT_TRUE(g_module.AddMessageLoop(&mainLoop));
    CMessageLoop another;
    EXPECT_FALSE(g_module.AddMessageLoop(&another));
    EXPECT_EQ(&mainLoop, g_module.GetMessageLoop());

    const DWORD mainThread = ::GetCurrentThreadId();
    CMessageLoop* seenFromWorker = nullptr;
    CMessageLoop* workerOwn = nullptr;
    CMessageLoop* mainSeenFromWorker = nullptr;
    std::thread worker([&] {
        seenFromWorker = g_module.GetMessageLoop();
        CMessageLoop workerLoop;
        g_module.AddMessageLoop(&workerLoop);
        workerOwn = g_module.GetMessageLoop() == &workerLoop ? &workerLoop : nullptr;
        mainSeenFromWorker = g_module.GetMessageLoop(mainThread);
        g_module.RemoveMessageLoop();
    });
    worker.join();
    EXPECT_EQ(nullptr, seenFromWorker);
    EXPECT_NE(nullptr, workerOwn);
    EXPECT_EQ(&mainLoop, mainSeenFromWorker);

    EXPECT_TRUE(g_module.RemoveMessageLoop());
    EXPECT_EQ(nullptr, g_module.GetMessageLoop());
    EXPECT_FALSE(g_module.RemoveMessageLoop());
}
