#include "AppModule.h"

#include <algorithm>

CAppModule g_module;

namespace {
template <class T>
BOOL AddOnce(std::vector<T*>& list, T* item) {
    if (!item) return FALSE;
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
    return TRUE;
}

template <class T>
BOOL RemoveOne(std::vector<T*>& list, T* item) {
    auto at = std::find(list.begin(), list.end(), item);
    if (at == list.end()) return FALSE;
    list.erase(at);
    return TRUE;
}
}  // namespace

BOOL CMessageLoop::AddMessageFilter(CMessageFilter* pFilter) { return AddOnce(m_filters, pFilter); }

BOOL CMessageLoop::RemoveMessageFilter(CMessageFilter* pFilter) {
    return RemoveOne(m_filters, pFilter);
}

BOOL CMessageLoop::AddIdleHandler(CIdleHandler* pHandler) {
    return AddOnce(m_idleHandlers, pHandler);
}

BOOL CMessageLoop::RemoveIdleHandler(CIdleHandler* pHandler) {
    return RemoveOne(m_idleHandlers, pHandler);
}

BOOL CMessageLoop::PreTranslateMessage(MSG* pMsg) {
    // By index and re-checked: a filter may unregister itself (or others) while it runs,
    // for instance when the dialog it serves is destroyed by the key it handles.
    for (size_t i = m_filters.size(); i > 0; --i) {
        if (i > m_filters.size()) continue;
        if (m_filters[i - 1]->PreTranslateMessage(pMsg)) return TRUE;
    }
    return FALSE;
}

BOOL CMessageLoop::OnIdle() {
    BOOL more = FALSE;
    for (size_t i = 0; i < m_idleHandlers.size(); ++i) {
        if (m_idleHandlers[i]->OnIdle()) more = TRUE;
    }
    return more;
}

int CMessageLoop::Run() {
    // Wide throughout: a narrow loop would pass typed characters through the ANSI code page
    // on their way to the Unicode dialog.
    MSG msg = {};
    bool idle = true;
    for (;;) {
        while (idle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle()) idle = false;
        }
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) continue;
        if (!got) break;
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        idle = true;
    }
    return static_cast<int>(msg.wParam);
}

void CAppModule::Term() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_loops.clear();
}

BOOL CAppModule::AddMessageLoop(CMessageLoop* pLoop) {
    if (!pLoop) return FALSE;
    std::lock_guard<std::mutex> hold(m_lock);
    return m_loops.emplace(::GetCurrentThreadId(), pLoop).second ? TRUE : FALSE;
}

BOOL CAppModule::RemoveMessageLoop() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_loops.erase(::GetCurrentThreadId()) ? TRUE : FALSE;
}

CMessageLoop* CAppModule::GetMessageLoop(DWORD threadId) const {
    std::lock_guard<std::mutex> hold(m_lock);
    auto at = m_loops.find(threadId);
    return at == m_loops.end() ? nullptr : at->second;
}
