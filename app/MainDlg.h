// The program's one window: the settings controls, the buttons that run the device jobs,
// the log view and the progress display. It is the jobs' host.
#pragma once

#include <string>

#include "AppModule.h"
#include "CString.h"
#include "DeviceJobs.h"
#include "DialogImpl.h"
#include "JobHost.h"
#include "ProgressBar.h"
#include "SerialLink.h"
#include "UpdateUI.h"
#include "resource.h"

class CMainDlg final : public CAxDialogImpl<CMainDlg>,
                       public CUpdateUI<CMainDlg>,
                       public CMessageFilter,
                       public CIdleHandler,
                       public IJobHost,
                       private IBarWidgets {
public:
    enum { IDD = IDD_MAIN_DIALOG };

    CMainDlg();
    // Frees the image, then closes and destroys the serial port.
    ~CMainDlg();

    BOOL PreTranslateMessage(MSG* pMsg) override;
    BOOL OnIdle() override;

    BEGIN_MSG_MAP(CMainDlg)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    COMMAND_ID_HANDLER(ID_APP_ABOUT, OnAbout)
    COMMAND_ID_HANDLER(IDOK, OnCloseCommand)
    COMMAND_ID_HANDLER(IDCANCEL, OnCloseCommand)
    COMMAND_HANDLER(IDC_VERIFY, BN_CLICKED, OnOptionCheckBox)
    COMMAND_HANDLER(IDC_RUN_PROGRAM, BN_CLICKED, OnOptionCheckBox)
    COMMAND_HANDLER(IDC_SELECT_FILE, BN_CLICKED, OnSelectFile)
    COMMAND_HANDLER(IDC_BAUD_LIST, CBN_SELCHANGE, OnBaudChange)
    COMMAND_HANDLER(IDC_PORT_LIST, CBN_SELCHANGE, OnPortChange)
    COMMAND_HANDLER(IDC_CHIP_INFO, BN_CLICKED, OnChipInfo)
    COMMAND_HANDLER(IDC_START, BN_CLICKED, OnStart)
    COMMAND_HANDLER(IDC_RECONNECT, BN_CLICKED, OnReconnect)
    COMMAND_HANDLER(IDC_READ_FLASH, BN_CLICKED, OnReadFlash)
    COMMAND_HANDLER(IDC_ERASE_ALL, BN_CLICKED, OnOptionCheckBox)
    COMMAND_HANDLER(IDC_ERASE_PAGES, BN_CLICKED, OnOptionCheckBox)
    COMMAND_HANDLER(IDC_CLEAR_LOG, BN_CLICKED, OnClearLog)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnAbout(WORD, WORD, HWND, BOOL&);
    LRESULT OnCloseCommand(WORD, WORD wID, HWND, BOOL&);
    // Verify, run, erase all and erase pages: one option and one setting each.
    LRESULT OnOptionCheckBox(WORD, WORD wID, HWND, BOOL&);
    LRESULT OnSelectFile(WORD, WORD, HWND, BOOL&);
    LRESULT OnBaudChange(WORD, WORD, HWND, BOOL&);
    LRESULT OnPortChange(WORD, WORD, HWND, BOOL&);
    LRESULT OnChipInfo(WORD, WORD, HWND, BOOL&);
    LRESULT OnStart(WORD, WORD, HWND, BOOL&);
    LRESULT OnReconnect(WORD, WORD, HWND, BOOL&);
    LRESULT OnReadFlash(WORD, WORD, HWND, BOOL&);
    LRESULT OnClearLog(WORD, WORD, HWND, BOOL&);

    // The jobs' host: the log view, the progress bar and label, the port list, the save
    // prompt and the "COMM" setting.
    void AppendLog(const std::string& text) override;
    void AppendHexLog(const unsigned char* bytes, int count) override;
    void StageBegan(JobStage stage, int total) override;
    void StageProgress(JobStage stage, int done, int total) override;
    void StageEnded(JobStage stage, bool ok) override;
    void FileSaved(const std::string& path) override;
    int PortCount() override;
    std::string PortAt(int index) override;
    void SelectPort(int index) override;
    bool PromptSaveFile(std::string* path) override;
    void StorePort(const std::string& port) override;

private:
    // The bar and its label, drawn by m_bar from the stage events.
    void SetBarRange(int max) override;
    void SetBarPos(int pos) override;
    int GetBarPos() override;
    void SetPercentLabel(const std::string& text) override;

    // Appends at the end of the log view, wherever the user left the caret or selection.
    void AppendToLogView(const std::wstring& text);

    void FetchControls();
    void LoadSettings();
    void SelectStoredPort();
    // Text of a combo box entry in the ANSI code page (port names, rates); empty when the index
    // is not valid.
    static CString ComboText(HWND hCombo, int index);
    int IsChecked(int id) const;
    void SetCheck(int id, int checked) const;

    CString m_strIniPath;
    HWND m_hFilePathEdit = nullptr;
    HWND m_hBaudList = nullptr;
    HWND m_hPortList = nullptr;
    HWND m_hProgress = nullptr;
    HWND m_hLogView = nullptr;
    HWND m_hPercentText = nullptr;
    CProgressBar m_bar{*this};

    // The one serial port, behind its link, feeding the process's one receive ring; created
    // at start-up, destroyed with the dialog.
    CSerialLink m_link{g_rxRing};
    // The options and the image the buttons work with, on that link.
    CDeviceJobs m_jobs;
};
