#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "DialogImpl.h"
#include "TestResources.h"

namespace {
constexpr UINT kAskForAnswer = WM_APP + 1;
constexpr WORD kOtherNotification = 5;  // BN_DOUBLECLICKED

void PumpPending() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

WPARAM Command(WORD id, WORD code) { return MAKEWPARAM(id, code); }

class CProbeDlg : public CDialogImpl<CProbeDlg> {
public:
    enum { IDD = IDD_PROBE };

    BEGIN_MSG_MAP(CProbeDlg)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(kAskForAnswer, OnAsk)
    COMMAND_ID_HANDLER(IDOK, OnOk)
    COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
    COMMAND_HANDLER(IDC_PROBE_BUTTON, BN_CLICKED, OnButton)
    COMMAND_HANDLER(IDC_PROBE_PASS_ON, BN_CLICKED, OnDecline)
    COMMAND_ID_HANDLER(IDC_PROBE_PASS_ON, OnFallback)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
        m_calls.push_back("init");
        m_initHandle = m_hWnd;
        m_unicodeAtInit = ::IsWindowUnicode(m_hWnd) != FALSE;
        if (m_endAtOnce) ::PostMessageA(m_hWnd, WM_COMMAND, Command(IDCANCEL, 0), 0);
        return TRUE;
    }
    LRESULT OnAsk(UINT, WPARAM, LPARAM, BOOL&) { return 42; }
    LRESULT OnOk(WORD code, WORD, HWND, BOOL&) {
        m_calls.push_back("ok:" + std::to_string(code));
        return 0;
    }
    LRESULT OnCancel(WORD, WORD id, HWND, BOOL&) {
        m_calls.push_back("cancel");
        if (m_modal) EndDialog(id);
        return 0;
    }
    LRESULT OnButton(WORD, WORD, HWND, BOOL&) {
        m_calls.push_back("button");
        return 0;
    }
    LRESULT OnDecline(WORD, WORD, HWND, BOOL& bHandled) {
        m_calls.push_back("decline");
        bHandled = FALSE;
        return 0;
    }
    LRESULT OnFallback(WORD, WORD, HWND, BOOL&) {
        m_calls.push_back("fallback");
        return 0;
    }

    std::vector<std::string> m_calls;
    HWND m_initHandle = nullptr;
    bool m_unicodeAtInit = false;
    bool m_modal = false;
    bool m_endAtOnce = false;
};

class CMissingDlg : public CDialogImpl<CMissingDlg> {
public:
    enum { IDD = IDD_MISSING };
    BEGIN_MSG_MAP(CMissingDlg)
    END_MSG_MAP()
};

class DialogDispatch : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nullptr, m_dlg.Create(nullptr)); }
    void TearDown() override {
        if (m_dlg.m_hWnd) ::DestroyWindow(m_dlg.m_hWnd);
        PumpPending();
    }
    LRESULT Send(UINT msg, WPARAM wParam, LPARAM lParam = 0) {
        return ::SendMessageA(m_dlg.m_hWnd, msg, wParam, lParam);
    }
    CProbeDlg m_dlg;
};
}  // namespace

TEST_F(DialogDispatch, InitDialogFindsTheObjectAndItsHandle) {
    EXPECT_EQ(std::vector<std::string>{"init"}, m_dlg.m_calls);
    EXPECT_NE(nullptr, m_dlg.m_initHandle);
    EXPECT_EQ(m_dlg.m_initHandle, m_dlg.m_hWnd);
    EXPECT_FALSE(::IsWindowVisible(m_dlg.m_hWnd));  // the template has no WS_VISIBLE
}

// Unicode windows hold their texts in UTF-16, whatever the system's ANSI code page is.
TEST_F(DialogDispatch, DialogAndItsControlsAreUnicodeWindows) {
    EXPECT_TRUE(m_dlg.m_unicodeAtInit);
    EXPECT_TRUE(::IsWindowUnicode(m_dlg.m_hWnd));
    EXPECT_TRUE(::IsWindowUnicode(::GetDlgItem(m_dlg.m_hWnd, IDC_PROBE_BUTTON)));
    const wchar_t text[] = L"串口号";
    ASSERT_TRUE(::SetWindowTextW(::GetDlgItem(m_dlg.m_hWnd, IDC_PROBE_BUTTON), text));
    wchar_t back[16] = {};
    ::GetWindowTextW(::GetDlgItem(m_dlg.m_hWnd, IDC_PROBE_BUTTON), back, 16);
    EXPECT_EQ(std::wstring(text), std::wstring(back));
}

TEST_F(DialogDispatch, CommandMatchesOnIdAndNotificationCode) {
    m_dlg.m_calls.clear();
    Send(WM_COMMAND, Command(IDC_PROBE_BUTTON, BN_CLICKED));
    Send(WM_COMMAND, Command(IDC_PROBE_BUTTON, kOtherNotification));
    EXPECT_EQ(std::vector<std::string>{"button"}, m_dlg.m_calls);
}

TEST_F(DialogDispatch, IdOnlyEntryTakesEveryNotificationCode) {
    m_dlg.m_calls.clear();
    Send(WM_COMMAND, Command(IDOK, 0));
    Send(WM_COMMAND, Command(IDOK, BN_CLICKED));
    Send(WM_COMMAND, Command(IDOK, kOtherNotification));
    EXPECT_EQ((std::vector<std::string>{"ok:0", "ok:0", "ok:5"}), m_dlg.m_calls);
}

TEST_F(DialogDispatch, HandlerThatDeclinesLetsTheNextEntryRun) {
    m_dlg.m_calls.clear();
    Send(WM_COMMAND, Command(IDC_PROBE_PASS_ON, BN_CLICKED));
    EXPECT_EQ((std::vector<std::string>{"decline", "fallback"}), m_dlg.m_calls);
}

TEST_F(DialogDispatch, HandledResultReachesTheSender) { EXPECT_EQ(42, Send(kAskForAnswer, 0)); }

TEST_F(DialogDispatch, CloseBoxBecomesCancelThroughDefaultProcessing) {
    m_dlg.m_calls.clear();
    Send(WM_CLOSE, 0);
    PumpPending();
    EXPECT_EQ(std::vector<std::string>{"cancel"}, m_dlg.m_calls);
    EXPECT_TRUE(::IsWindow(m_dlg.m_hWnd));  // closing is the handler's business
}

TEST_F(DialogDispatch, DestroyedWindowLeavesNoHandleBehind) {
    HWND hWnd = m_dlg.m_hWnd;
    ::DestroyWindow(hWnd);
    EXPECT_EQ(nullptr, m_dlg.m_hWnd);
    EXPECT_FALSE(::IsWindow(hWnd));
}

TEST_F(DialogDispatch, IconsSetOnTheWindowAreReturnedByIt) {
    HICON big = static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128),
                                                IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    HICON small = static_cast<HICON>(::LoadImageA(
        ::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    ASSERT_NE(nullptr, big);
    ASSERT_NE(nullptr, small);
    m_dlg.SetIcon(big, TRUE);
    m_dlg.SetIcon(small, FALSE);
    EXPECT_EQ(reinterpret_cast<LRESULT>(big), Send(WM_GETICON, ICON_BIG));
    EXPECT_EQ(reinterpret_cast<LRESULT>(small), Send(WM_GETICON, ICON_SMALL));
}

TEST(DialogCreation, ModalDialogReturnsTheEndDialogCode) {
    CProbeDlg dlg;
    dlg.m_modal = true;
    dlg.m_endAtOnce = true;
    EXPECT_EQ(IDCANCEL, dlg.DoModal(nullptr));
    EXPECT_EQ((std::vector<std::string>{"init", "cancel"}), dlg.m_calls);
    EXPECT_TRUE(dlg.m_unicodeAtInit);
}

TEST(DialogCreation, MissingTemplateGivesNoWindow) {
    CMissingDlg dlg;
    EXPECT_EQ(nullptr, dlg.Create(nullptr));
    EXPECT_EQ(nullptr, dlg.m_hWnd);
    EXPECT_EQ(-1, dlg.DoModal(nullptr));
}

TEST(Centring, WindowGoesToTheMiddleOfTheCentreRectangle) {
    RECT window = {0, 0, 200, 100};
    RECT centre = {100, 100, 500, 400};
    RECT area = {0, 0, 1024, 768};
    POINT at = CenterPosition(window, centre, area);
    EXPECT_EQ(200, at.x);
    EXPECT_EQ(200, at.y);
}

TEST(Centring, WindowPastTheRightAndBottomEdgesIsPulledBack) {
    RECT window = {0, 0, 200, 100};
    RECT centre = {900, 700, 1100, 800};
    RECT area = {0, 0, 1024, 768};
    POINT at = CenterPosition(window, centre, area);
    EXPECT_EQ(1024 - 200, at.x);
    EXPECT_EQ(768 - 100, at.y);
}

TEST(Centring, WindowLargerThanTheAreaKeepsItsLeftAndTopInside) {
    RECT window = {0, 0, 1200, 900};
    RECT area = {10, 20, 1034, 788};
    POINT at = CenterPosition(window, area, area);
    EXPECT_EQ(10, at.x);
    EXPECT_EQ(20, at.y);
}

TEST(Centring, WithoutReferenceTheDialogCentresInTheWorkArea) {
    CProbeDlg dlg;
    ASSERT_NE(nullptr, dlg.Create(nullptr));
    ASSERT_TRUE(dlg.CenterWindow());
    RECT work = {};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    RECT rect = {};
    ::GetWindowRect(dlg.m_hWnd, &rect);
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    EXPECT_EQ((work.left + work.right) / 2 - width / 2, rect.left);
    EXPECT_EQ((work.top + work.bottom) / 2 - height / 2, rect.top);
    ::DestroyWindow(dlg.m_hWnd);
}

TEST(Centring, HiddenReferenceCountsAsNone) {
    CProbeDlg reference;
    ASSERT_NE(nullptr, reference.Create(nullptr));
    ::SetWindowPos(reference.m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    CProbeDlg dlg;
    ASSERT_NE(nullptr, dlg.Create(nullptr));
    ASSERT_TRUE(dlg.CenterWindow(reference.m_hWnd));  // hidden: the work area decides
    RECT work = {};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    RECT rect = {};
    ::GetWindowRect(dlg.m_hWnd, &rect);
    EXPECT_EQ((work.left + work.right) / 2 - (rect.right - rect.left) / 2, rect.left);

    ::ShowWindow(reference.m_hWnd, SW_SHOWNOACTIVATE);
    ASSERT_TRUE(dlg.CenterWindow(reference.m_hWnd));  // visible at the corner: over it
    ::GetWindowRect(dlg.m_hWnd, &rect);
    RECT refRect = {};
    ::GetWindowRect(reference.m_hWnd, &refRect);
    LONG expectedX = (refRect.left + refRect.right) / 2 - (rect.right - rect.left) / 2;
    if (expectedX < work.left) expectedX = work.left;
    EXPECT_EQ(expectedX, rect.left);
    ::DestroyWindow(dlg.m_hWnd);
    ::DestroyWindow(reference.m_hWnd);
}
