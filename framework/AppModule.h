// The application module with one message loop per thread, and the loop itself with its
// message filters and idle handlers.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <vector>

// Sees each message before it is translated and dispatched.
class CMessageFilter {
public:
    // TRUE when the filter took the message: it is then neither translated nor dispatched.
    virtual BOOL PreTranslateMessage(MSG* pMsg) = 0;

protected:
    ~CMessageFilter() = default;
};

// Gets time while the thread's queue is empty.
class CIdleHandler {
public:
    // TRUE to be called again while the queue stays empty; FALSE to wait for the next message.
    virtual BOOL OnIdle() = 0;

protected:
    ~CIdleHandler() = default;
};

class CMessageLoop {
public:
    // Adding the same object twice registers it once.
    BOOL AddMessageFilter(CMessageFilter* pFilter);
    // FALSE when it was not registered.
    BOOL RemoveMessageFilter(CMessageFilter* pFilter);
    BOOL AddIdleHandler(CIdleHandler* pHandler);
    BOOL RemoveIdleHandler(CIdleHandler* pHandler);

    // Runs until WM_QUIT and returns its wParam. A failed GetMessage is skipped.
    int Run();

    // Offers the message to the filters, the last registered first; TRUE when one took it.
    BOOL PreTranslateMessage(MSG* pMsg);
    // Calls every idle handler; TRUE when one of them wants more idle time.
    BOOL OnIdle();

private:
    std::vector<CMessageFilter*> m_filters;
    std::vector<CIdleHandler*> m_idleHandlers;
};

class CAppModule {
public:
    // Resources (dialog templates, icons) are loaded from this instance.
    void Init(HINSTANCE hInstance) { m_hInstance = hInstance; }
    void Term();

    HINSTANCE GetResourceInstance() const { return m_hInstance; }

    // Registers the loop for the calling thread; FALSE when the thread already has one.
    BOOL AddMessageLoop(CMessageLoop* pLoop);
    // Unregisters the calling thread's loop; FALSE when it had none.
    BOOL RemoveMessageLoop();
    // The loop registered for the thread, or null.
    CMessageLoop* GetMessageLoop(DWORD threadId = ::GetCurrentThreadId()) const;

private:
    HINSTANCE m_hInstance = nullptr;
    mutable std::mutex m_lock;
    std::map<DWORD, CMessageLoop*> m_loops;
};

// The process's one module.
extern CAppModule g_module;
