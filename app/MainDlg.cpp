#include "MainDlg.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <cstdlib>

#include "AboutDlg.h"
#include "FileDialog.h"
#include "Format.h"
#include "PortLists.h"
#include "Settings.h"
#include "WideText.h"

namespace {
const wchar_t kHexFilter[] = L"HEX 文件(*.HEX)\0*.HEX\0All Files(*.*)\0*.*\0";
const wchar_t kBinFilter[] = L"BIN 文件(*.BIN)\0*.BIN\0All Files(*.*)\0*.*\0";

// A click on one of these stores the box's state in one option and in one setting.
struct OptionCheckBox {
    int id;
    const char* key;
    bool JobOptions::*option;
    bool checkedMeansOff;  // "erase pages" checked is erase-all off
};
const OptionCheckBox kOptionCheckBoxes[] = {
    {IDC_VERIFY, kKeyVerifyFlag, &JobOptions::verify, false},
    {IDC_RUN_PROGRAM, kKeyRunProgramFlag, &JobOptions::runProgram, false},
    {IDC_ERASE_ALL, kKeyEraseFlag, &JobOptions::eraseAll, false},
    {IDC_ERASE_PAGES, kKeyEraseFlag, &JobOptions::eraseAll, true},
};

HICON LoadAppIcon(int metricX, int metricY) {
    return static_cast<HICON>(
        ::LoadImageA(g_module.GetResourceInstance(), MAKEINTRESOURCEA(IDI_APP_ICON), IMAGE_ICON,
                     ::GetSystemMetrics(metricX), ::GetSystemMetrics(metricY), LR_DEFAULTCOLOR));
}
}  // namespace

CMainDlg::CMainDlg() : m_jobs(*this, m_link) { m_jobs.SetChipPolicy(ChipPolicy::Dialog); }

CMainDlg::~CMainDlg() {
    m_jobs.FreeImage();
    m_link.DestroyPort();
}

BOOL CMainDlg::PreTranslateMessage(MSG* pMsg) { return IsDialogMessage(pMsg); }

BOOL CMainDlg::OnIdle() { return FALSE; }

LRESULT CMainDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    CenterWindow();

    SetIcon(LoadAppIcon(SM_CXICON, SM_CYICON), TRUE);
    SetIcon(LoadAppIcon(SM_CXSMICON, SM_CYSMICON), FALSE);

    if (CMessageLoop* loop = g_module.GetMessageLoop()) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    UIAddChildWindowContainer(m_hWnd);

    FetchControls();
    // The default limit (about 32K characters) would silently drop every later message of
    // a long session; a limit of 0 lifts it to the control's maximum.
    ::SendMessageW(m_hLogView, EM_SETLIMITTEXT, 0, 0);

    FillPortList(m_hPortList);
    FillBaudList(m_hBaudList);
    m_link.CreatePort();
    LoadSettings();
    m_jobs.Reconnect();
    return TRUE;
}

LRESULT CMainDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    if (CMessageLoop* loop = g_module.GetMessageLoop()) {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    return 0;
}

void CMainDlg::FetchControls() {
    m_hLogView = GetDlgItem(IDC_LOG);
    m_hFilePathEdit = GetDlgItem(IDC_FILE_PATH);
    m_hBaudList = GetDlgItem(IDC_BAUD_LIST);
    m_hPortList = GetDlgItem(IDC_PORT_LIST);
    m_hProgress = GetDlgItem(IDC_PROGRESS);
    m_hPercentText = GetDlgItem(IDC_PERCENT);
}

void CMainDlg::LoadSettings() {
    m_strIniPath = SettingsPathOfProgram();

    CString filePath = ReadTextSetting(m_strIniPath, kKeyFilePath);
    m_jobs.SetFilePath(filePath.Str());
    ::SetWindowTextW(m_hFilePathEdit, FromAnsi(filePath.Str()).c_str());

    m_jobs.SetPort(ReadTextSetting(m_strIniPath, kKeyPort).Str());
    SelectStoredPort();

    m_jobs.SetBaudRate(ReadIntSetting(m_strIniPath, kKeyBaudRate, kDefaultBaudRate));
    CString rate;
    rate.Format("%d", m_jobs.Options().baudRate);
    ::SendMessageW(m_hBaudList, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(FromAnsi(rate.Str()).c_str()));

    m_jobs.SetEraseAll(
        FlagFromStored(ReadIntSetting(m_strIniPath, kKeyEraseFlag, kDefaultEraseFlag)) != 0);
    SetCheck(IDC_ERASE_ALL, m_jobs.Options().eraseAll);
    SetCheck(IDC_ERASE_PAGES, !m_jobs.Options().eraseAll);

    m_jobs.SetVerify(
        FlagFromStored(ReadIntSetting(m_strIniPath, kKeyVerifyFlag, kDefaultVerifyFlag)) != 0);
    SetCheck(IDC_VERIFY, m_jobs.Options().verify);

    m_jobs.SetRunProgram(FlagFromStored(ReadIntSetting(m_strIniPath, kKeyRunProgramFlag,
                                                       kDefaultRunProgramFlag)) != 0);
    SetCheck(IDC_RUN_PROGRAM, m_jobs.Options().runProgram);
}

void CMainDlg::SelectStoredPort() {
    const std::string& port = m_jobs.Options().port;
    if (!port.empty()) {
        // The first entry that begins with the stored name, ignoring case; the stored name
        // stays the one to connect with even when a longer entry is shown.
        ::SendMessageW(m_hPortList, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(FromAnsi(port).c_str()));
        return;
    }
    if (::SendMessageW(m_hPortList, CB_GETCOUNT, 0, 0) > 0) {
        ::SendMessageW(m_hPortList, CB_SETCURSEL, 0, 0);
        m_jobs.SetPort(ComboText(m_hPortList, 0).Str());
    }
}

CString CMainDlg::ComboText(HWND hCombo, int index) {
    LRESULT length = ::SendMessageW(hCombo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0) return CString();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = ::SendMessageW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                    reinterpret_cast<LPARAM>(&text[0]));
    if (copied == CB_ERR || copied < 0) return CString();
    text.resize(static_cast<size_t>(copied));
    return CString(ToAnsi(text));
}

int CMainDlg::IsChecked(int id) const {
    return ::SendMessageW(GetDlgItem(id), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void CMainDlg::SetCheck(int id, int checked) const {
    ::SendMessageW(GetDlgItem(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

LRESULT CMainDlg::OnAbout(WORD, WORD, HWND, BOOL&) {
    CAboutDlg about;
    about.DoModal(::GetActiveWindow());
    return 0;
}

LRESULT CMainDlg::OnCloseCommand(WORD, WORD wID, HWND, BOOL&) {
    DestroyWindow();
    ::PostQuitMessage(wID);
    return 0;
}

LRESULT CMainDlg::OnOptionCheckBox(WORD, WORD wID, HWND, BOOL&) {
    for (const OptionCheckBox& box : kOptionCheckBoxes) {
        if (box.id != wID) continue;
        const bool on = (IsChecked(box.id) != 0) != box.checkedMeansOff;
        JobOptions options = m_jobs.Options();
        options.*box.option = on;
        m_jobs.SetOptions(options);
        WriteSetting(m_strIniPath, box.key, on ? "1" : "0");
        break;
    }
    return 0;
}

LRESULT CMainDlg::OnSelectFile(WORD, WORD, HWND, BOOL&) {
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY, kHexFilter);
    std::string path;
    if (dialog.DoModal(::GetActiveWindow()) != IDOK || !dialog.AnsiPath(&path)) return 0;
    m_jobs.SetFilePath(path);
    // The path as it is stored and opened, so that the box never shows another one.
    ::SetWindowTextW(m_hFilePathEdit, FromAnsi(path).c_str());
    WriteSetting(m_strIniPath, kKeyFilePath, path.c_str());
    return 0;
}

LRESULT CMainDlg::OnBaudChange(WORD, WORD, HWND, BOOL&) {
    int index = static_cast<int>(::SendMessageW(m_hBaudList, CB_GETCURSEL, 0, 0));
    CString text = ComboText(m_hBaudList, index);
    int rate = std::atoi(text);
    if (rate == m_jobs.Options().baudRate) return 0;
    m_jobs.SetBaudRate(rate);
    WriteSetting(m_strIniPath, kKeyBaudRate, text);
    m_jobs.Reconnect();
    return 0;
}

LRESULT CMainDlg::OnPortChange(WORD, WORD, HWND, BOOL&) {
    m_jobs.Disconnect();
    int index = static_cast<int>(::SendMessageW(m_hPortList, CB_GETCURSEL, 0, 0));
    m_jobs.SetPort(ComboText(m_hPortList, index).Str());
    WriteSetting(m_strIniPath, kKeyPort, m_jobs.Options().port.c_str());
    return 0;
}

LRESULT CMainDlg::OnChipInfo(WORD, WORD, HWND, BOOL&) {
    m_jobs.ReadChipInfo();
    return 0;
}

LRESULT CMainDlg::OnStart(WORD, WORD, HWND, BOOL&) {
    m_jobs.Program();
    return 0;
}

LRESULT CMainDlg::OnReconnect(WORD, WORD, HWND, BOOL&) {
    m_jobs.Reconnect();
    return 0;
}

LRESULT CMainDlg::OnReadFlash(WORD, WORD, HWND, BOOL&) {
    m_jobs.ReadOut();
    return 0;
}

LRESULT CMainDlg::OnClearLog(WORD, WORD, HWND, BOOL&) {
    ::SendMessageW(m_hLogView, EM_SETSEL, 0, -1);
    ::SendMessageW(m_hLogView, EM_SCROLLCARET, 0, 0);
    ::SendMessageW(m_hLogView, WM_CLEAR, 0, 0);
    return 0;
}

void CMainDlg::AppendLog(const std::string& text) { AppendToLogView(FromGbk(text)); }

void CMainDlg::AppendToLogView(const std::wstring& text) {
    int end = ::GetWindowTextLengthW(m_hLogView);
    ::SendMessageW(m_hLogView, EM_SETSEL, end, end);
    ::SendMessageW(m_hLogView, EM_SCROLLCARET, 0, 0);
    ::SendMessageW(m_hLogView, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

void CMainDlg::AppendHexLog(const unsigned char* bytes, int count) {
    AppendLog(HexBytes(bytes, count));
}

void CMainDlg::StageBegan(JobStage /*stage*/, int total) { m_bar.Began(total); }

void CMainDlg::StageProgress(JobStage /*stage*/, int done, int total) {
    m_bar.Progress(done, total);
}

void CMainDlg::StageEnded(JobStage /*stage*/, bool /*ok*/) { m_bar.Ended(); }

// The path came from the save dialog in the ANSI code page, not GBK.
void CMainDlg::FileSaved(const std::string& path) { AppendToLogView(FromAnsi(path)); }

void CMainDlg::SetBarRange(int max) {
    ::SendMessageW(m_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, max));
}

void CMainDlg::SetBarPos(int pos) { ::SendMessageW(m_hProgress, PBM_SETPOS, pos, 0); }

int CMainDlg::GetBarPos() {
    return static_cast<int>(::SendMessageW(m_hProgress, PBM_GETPOS, 0, 0));
}

void CMainDlg::SetPercentLabel(const std::string& text) {
    ::SetWindowTextW(m_hPercentText, FromGbk(text).c_str());
}

int CMainDlg::PortCount() {
    return static_cast<int>(::SendMessageW(m_hPortList, CB_GETCOUNT, 0, 0));
}

std::string CMainDlg::PortAt(int index) { return ComboText(m_hPortList, index).Str(); }

void CMainDlg::SelectPort(int index) { ::SendMessageW(m_hPortList, CB_SETCURSEL, index, 0); }

bool CMainDlg::PromptSaveFile(std::string* path) {
    CFileDialog dialog(FALSE, nullptr, nullptr, OFN_HIDEREADONLY, kBinFilter);
    return dialog.DoModal(::GetActiveWindow()) == IDOK && dialog.AnsiPath(path);
}

void CMainDlg::StorePort(const std::string& port) {
    WriteSetting(m_strIniPath, kKeyPort, port.c_str());
}
