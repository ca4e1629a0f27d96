// Dialog windows from resource templates: one static dialog procedure that finds the object
// and one dispatch through its message map (BEGIN_MSG_MAP ... END_MSG_MAP). The dialogs are
// Unicode windows (their templates' texts are UTF-16 already), so hand them text through the
// wide functions (WideText.h).
#pragma once

#include <windows.h>

// Where a window goes when it is centred: the position of a window rectangle over the centre
// rectangle, kept inside the area (right and bottom edges first, then left and top).
POINT CenterPosition(const RECT& window, const RECT& centre, const RECT& area);

class CDialogImplBase {
public:
    CDialogImplBase() = default;
    CDialogImplBase(const CDialogImplBase&) = delete;
    CDialogImplBase& operator=(const CDialogImplBase&) = delete;

    // The message map. TRUE when a handler took the message; lResult is then its result.
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& lResult) = 0;

    HWND m_hWnd = nullptr;

    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL ShowWindow(int nCmdShow) const { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL DestroyWindow() const { return ::DestroyWindow(m_hWnd); }
    BOOL IsDialogMessage(MSG* pMsg) const { return ::IsDialogMessageW(m_hWnd, pMsg); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon) const {
        return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL,
                                                   reinterpret_cast<LPARAM>(hIcon)));
    }

    // Centres the window over the reference, or over the owner when none is given; a hidden
    // or minimised reference counts as none, and the window then centres in the work area.
    BOOL CenterWindow(HWND hWndCenter = nullptr) const;

protected:
    ~CDialogImplBase() = default;

    // Modeless: the window handle, or null when the template could not be made a window.
    HWND CreateFromTemplate(UINT idd, HWND hWndParent);
    // Modal: the EndDialog result, or -1 when the dialog could not be shown.
    INT_PTR RunModalFromTemplate(UINT idd, HWND hWndParent);

private:
    static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
};

// T supplies IDD (the template's resource id) and the message map.
template <class T>
class CDialogImpl : public CDialogImplBase {
public:
    HWND Create(HWND hWndParent) { return CreateFromTemplate(T::IDD, hWndParent); }
    INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow()) {
        return RunModalFromTemplate(T::IDD, hWndParent);
    }
    BOOL EndDialog(int nRetCode) const { return ::EndDialog(m_hWnd, nRetCode); }

protected:
    ~CDialogImpl() = default;
};

// The same as CDialogImpl: our templates hold standard controls only, so no control hosting
// is needed beyond the dialog manager's.
template <class T>
class CAxDialogImpl : public CDialogImpl<T> {
protected:
    ~CAxDialogImpl() = default;
};

// Message map. Handlers:
//   LRESULT OnX(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)       (messages)
//   LRESULT OnX(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled)      (commands)
// Entries are tried in order; a handler that clears bHandled lets the search go on, and a
// message that no entry takes goes to the dialog manager's default processing.
#define BEGIN_MSG_MAP(theClass)                                                   \
public:                                                                           \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, \
                              LRESULT& lResult) override {                        \
        (void)hWnd;                                                               \
        (void)uMsg;                                                               \
        (void)wParam;                                                             \
        (void)lParam;                                                             \
        (void)lResult;                                                            \
        BOOL bHandled = TRUE;                                                     \
        (void)bHandled;

#define MESSAGE_HANDLER(msg, func)                      \
    if (uMsg == (msg)) {                                \
        bHandled = TRUE;                                \
        lResult = func(uMsg, wParam, lParam, bHandled); \
        if (bHandled) return TRUE;                      \
    }

#define COMMAND_ID_HANDLER(id, func)                                                              \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) {                                           \
        bHandled = TRUE;                                                                          \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
        if (bHandled) return TRUE;                                                                \
    }

#define COMMAND_HANDLER(id, code, func)                                                           \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code)) {               \
        bHandled = TRUE;                                                                          \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
        if (bHandled) return TRUE;                                                                \
    }

#define END_MSG_MAP() \
    return FALSE;     \
    }
