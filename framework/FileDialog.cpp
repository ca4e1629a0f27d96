#include "FileDialog.h"

#include "WideText.h"

CFileDialog::CFileDialog(BOOL bOpenFileDialog, const wchar_t* lpszDefExt,
                         const wchar_t* lpszFileName, DWORD dwFlags, const wchar_t* lpszFilter,
                         HWND hWndParent)
    : m_bOpenFileDialog(bOpenFileDialog), m_ofn(), m_szFileName(), m_szFileTitle() {
    if (lpszFileName) ::lstrcpynW(m_szFileName, lpszFileName, MAX_PATH);
    m_ofn.lStructSize = sizeof(m_ofn);
    m_ofn.hwndOwner = hWndParent;
    m_ofn.lpstrFilter = lpszFilter;
    m_ofn.nFilterIndex = 1;
    m_ofn.lpstrFile = m_szFileName;
    m_ofn.nMaxFile = MAX_PATH;
    m_ofn.lpstrFileTitle = m_szFileTitle;
    m_ofn.nMaxFileTitle = sizeof(m_szFileTitle) / sizeof(m_szFileTitle[0]);
    m_ofn.lpstrDefExt = lpszDefExt;
    m_ofn.Flags = dwFlags | OFN_EXPLORER | OFN_ENABLESIZING;
}

INT_PTR CFileDialog::DoModal(HWND hWndParent) {
    if (!m_ofn.hwndOwner) m_ofn.hwndOwner = hWndParent;
    BOOL ok = m_bOpenFileDialog ? ::GetOpenFileNameW(&m_ofn) : ::GetSaveFileNameW(&m_ofn);
    return ok ? IDOK : IDCANCEL;
}

bool CFileDialog::AnsiPath(std::string* path) const {
    std::string narrow = ToAnsi(m_szFileName);
    // The narrow dialog's buffer held MAX_PATH bytes with the terminator.
    if (narrow.size() >= MAX_PATH) return false;
    *path = narrow;
    return true;
}
