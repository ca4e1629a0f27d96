// The common open and save dialogs (narrow forms), explorer style and resizable.
#pragma once

#include <windows.h>
// after windows.h
#include <commdlg.h>

class CFileDialog {
public:
    // filter: pairs of description and pattern, each NUL-terminated, the list ending in an
    // empty string ("HEX\0*.HEX\0\0"). The first pair is selected.
    CFileDialog(BOOL bOpenFileDialog, const char* lpszDefExt = nullptr,
                const char* lpszFileName = nullptr,
                DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                const char* lpszFilter = nullptr, HWND hWndParent = nullptr);

    // IDOK when the user confirmed a file (m_szFileName holds its full path), IDCANCEL when
    // the dialog was cancelled or could not be shown.
    INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow());

    BOOL m_bOpenFileDialog;
    OPENFILENAMEA m_ofn;
    char m_szFileName[MAX_PATH];
    char m_szFileTitle[256];
};
