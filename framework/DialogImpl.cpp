#include "DialogImpl.h"

#include "AppModule.h"

POINT CenterPosition(const RECT& window, const RECT& centre, const RECT& area) {
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    LONG x = (centre.left + centre.right) / 2 - width / 2;
    LONG y = (centre.top + centre.bottom) / 2 - height / 2;
    if (x + width > area.right) x = area.right - width;
    if (x < area.left) x = area.left;
    if (y + height > area.bottom) y = area.bottom - height;
    if (y < area.top) y = area.top;
    return POINT{x, y};
}

BOOL CDialogImplBase::CenterWindow(HWND hWndCenter) const {
    if (!hWndCenter) hWndCenter = ::GetWindow(m_hWnd, GW_OWNER);
    if (hWndCenter && (!::IsWindowVisible(hWndCenter) || ::IsIconic(hWndCenter))) {
        hWndCenter = nullptr;
    }

    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    HMONITOR hMonitor =
        ::MonitorFromWindow(hWndCenter ? hWndCenter : m_hWnd, MONITOR_DEFAULTTONEAREST);
    if (!::GetMonitorInfoW(hMonitor, &monitor)) return FALSE;

    RECT window = {};
    RECT centre = monitor.rcWork;
    if (!::GetWindowRect(m_hWnd, &window)) return FALSE;
    if (hWndCenter && !::GetWindowRect(hWndCenter, &centre)) return FALSE;

    POINT at = CenterPosition(window, centre, monitor.rcWork);
    return ::SetWindowPos(m_hWnd, nullptr, at.x, at.y, -1, -1,
                          SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND CDialogImplBase::CreateFromTemplate(UINT idd, HWND hWndParent) {
    return ::CreateDialogParamW(g_module.GetResourceInstance(), MAKEINTRESOURCEW(idd), hWndParent,
                                StartDialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CDialogImplBase::RunModalFromTemplate(UINT idd, HWND hWndParent) {
    return ::DialogBoxParamW(g_module.GetResourceInstance(), MAKEINTRESOURCEW(idd), hWndParent,
                             StartDialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialogImplBase::StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam,
                                                  LPARAM lParam) {
    // The object arrives with WM_INITDIALOG; messages before it (WM_SETFONT) get the
    // default processing.
    if (uMsg == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CDialogImplBase*>(lParam);
        self->m_hWnd = hWnd;
        ::SetWindowLongPtrW(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CDialogImplBase*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    if (!self) return FALSE;
    return self->Dispatch(hWnd, uMsg, wParam, lParam);
}

INT_PTR CDialogImplBase::Dispatch(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    LRESULT lResult = 0;
    BOOL handled = ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
    if (uMsg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        m_hWnd = nullptr;
    }
    if (!handled) return FALSE;
    switch (uMsg) {
        // These give their result as the dialog procedure's return value.
        case WM_INITDIALOG:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return static_cast<INT_PTR>(lResult);
        default:
            ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, lResult);
            return TRUE;
    }
}
