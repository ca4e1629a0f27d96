// The common open and save dialogs (wide forms), explorer style and resizable.
#pragma once

#include <windows.h>
// after windows.h
#include <commdlg.h>

#include <string>

class CFileDialog {
public:
    // filter: pairs of description and pattern, each NUL-terminated, the list ending in an
    // empty string (L"HEX\0*.HEX\0\0"). The first pair is selected.
    CFileDialog(BOOL bOpenFileDialog, const wchar_t* lpszDefExt = nullptr,
                const wchar_t* lpszFileName = nullptr,
                DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                const wchar_t* lpszFilter = nullptr, HWND hWndParent = nullptr);

    // IDOK when the user confirmed a file (m_szFileName holds its full path), IDCANCEL when
    // the dialog was cancelled or could not be shown.
    INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow());

    // The chosen path in the ANSI code page, as fopen and the profile functions take it; false
    // when it does not fit in the MAX_PATH bytes that the narrow dialog's buffer held.
    bool AnsiPath(std::string* path) const;

    BOOL m_bOpenFileDialog;
    OPENFILENAMEW m_ofn;
    wchar_t m_szFileName[MAX_PATH];
    wchar_t m_szFileTitle[256];
};
