// The file dialogs' set-up and the chosen path in the form the program stores and opens.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "FileDialog.h"

namespace {
const wchar_t kFilter[] = L"HEX 文件(*.HEX)\0*.HEX\0All Files(*.*)\0*.*\0";
}  // namespace

TEST(FileDialog, WideFilterAndBuffersAreHandedToTheSystem) {
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY, kFilter);
    EXPECT_EQ(sizeof(OPENFILENAMEW), dialog.m_ofn.lStructSize);
    EXPECT_EQ(kFilter, dialog.m_ofn.lpstrFilter);
    EXPECT_EQ(1u, dialog.m_ofn.nFilterIndex);
    EXPECT_EQ(dialog.m_szFileName, dialog.m_ofn.lpstrFile);
    EXPECT_EQ(static_cast<DWORD>(MAX_PATH), dialog.m_ofn.nMaxFile);
    EXPECT_EQ(256u, dialog.m_ofn.nMaxFileTitle);
    EXPECT_EQ(static_cast<DWORD>(OFN_HIDEREADONLY | OFN_EXPLORER | OFN_ENABLESIZING),
              dialog.m_ofn.Flags);
}

TEST(FileDialog, ChosenPathComesBackInTheAnsiCodePage) {
    CFileDialog dialog(TRUE, nullptr, L"C:\\fw\\app.hex");
    std::string path;
    ASSERT_TRUE(dialog.AnsiPath(&path));
    EXPECT_EQ("C:\\fw\\app.hex", path);
}

TEST(FileDialog, PathOfMaxPathBytesWithTheTerminatorFits) {
    const std::wstring longest(MAX_PATH - 1, L'a');
    CFileDialog dialog(FALSE, nullptr, longest.c_str());
    std::string path;
    ASSERT_TRUE(dialog.AnsiPath(&path));
    EXPECT_EQ(std::string(MAX_PATH - 1, 'a'), path);
}

TEST(FileDialog, PathLongerThanTheNarrowBufferIsRefused) {
    if (::GetACP() != 936) GTEST_SKIP() << "needs a double-byte ANSI code page";
    const std::wstring path = L"C:\\" + std::wstring(130, L'固');  // 263 bytes in GBK
    CFileDialog dialog(FALSE, nullptr, path.c_str());
    std::string narrow = "unchanged";
    EXPECT_FALSE(dialog.AnsiPath(&narrow));
    EXPECT_EQ("unchanged", narrow);
}
