// Steps the driver's cases share: starting the program, working its lists and file dialogs,
// waiting for the log, and reading the progress display.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <string>
#include <vector>

#include "AppDriver.h"
#include "resource.h"

namespace steps {

constexpr DWORD kShowMs = 90000;    // the start-up connect may walk every listed port
constexpr DWORD kActionMs = 60000;  // one button's job, with a machine under load
constexpr DWORD kExitMs = 30000;
constexpr DWORD kJobMs = 300000;  // a programming run or a 64 KiB read-out, on a loaded machine

inline bool HaveSim() { return !g_options.simPort.empty(); }

inline bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline std::string SelectedText(HWND hCombo) { return ComboEntry(hCombo, ComboSelection(hCombo)); }

// Starts the program and waits until its window shows.
inline void StartAndShow(AppRun& app) {
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitShown(kShowMs)) << "the main window did not show";
    app.WaitIdle();
}

// Presses a key with the main window in front.
inline void PressOnMain(const AppRun& app, WORD vk) {
    app.Focus();
    PressKey(vk);
}

// Picks a baud-rate entry with the mouse: open the list, click the entry.
inline void PickBaudRate(const AppRun& app, const std::string& rate) {
    HWND hBaud = app.Item(IDC_BAUD_LIST);
    int index = -1;
    for (int i = 0; i < ComboCount(hBaud); ++i) {
        if (ComboEntry(hBaud, i) == rate) index = i;
    }
    ASSERT_GE(index, 0) << rate;
    app.Focus();
    Click(hBaud);
    ASSERT_TRUE(
        WaitUntil([&] { return ::SendMessageA(hBaud, CB_GETDROPPEDSTATE, 0, 0) != 0; }, kActionMs));
    HWND hList = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (hList = app.FindDroppedList()) != nullptr; }, kActionMs));
    ::SendMessageA(hList, LB_SETTOPINDEX, index, 0);  // scrolled so that the entry shows
    app.WaitIdle();
    // The entry's rectangle from the list's top entry and the entry height.
    const LRESULT top = ::SendMessageA(hList, LB_GETTOPINDEX, 0, 0);
    const LRESULT height = ::SendMessageA(hList, LB_GETITEMHEIGHT, 0, 0);
    ASSERT_GT(height, 0);
    RECT client = {};
    ::GetClientRect(hList, &client);
    RECT item = {client.left, static_cast<LONG>((index - top) * height), client.right,
                 static_cast<LONG>((index - top + 1) * height)};
    ASSERT_LE(item.bottom, client.bottom) << "entry " << index << " is not in view";
    POINT middle = {(item.left + item.right) / 2, (item.top + item.bottom) / 2};
    ::ClientToScreen(hList, &middle);
    ClickAt(middle);
    ASSERT_TRUE(
        WaitUntil([&] { return ::SendMessageA(hBaud, CB_GETDROPPEDSTATE, 0, 0) == 0; }, kActionMs));
    app.WaitIdle();
}

// Fills the file name of an open or save dialog and confirms it with Enter.
inline void ChooseFileInDialog(const AppRun& app, const std::string& path) {
    HWND hDialog = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (hDialog = app.FindOtherDialog()) != nullptr; }, kActionMs))
        << "no file dialog";
    ::SetForegroundWindow(hDialog);
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ::GetGUIThreadInfo(::GetWindowThreadProcessId(hDialog, nullptr), &thread) &&
                   thread.hwndFocus != nullptr;
        },
        kActionMs));
    ::SendMessageA(thread.hwndFocus, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PressKey(VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(hDialog); }, kActionMs)) << "dialog stayed";
}

inline void CancelDialog(const AppRun& app) {
    HWND hDialog = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (hDialog = app.FindOtherDialog()) != nullptr; }, kActionMs));
    ::SetForegroundWindow(hDialog);
    PressKey(VK_ESCAPE);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(hDialog); }, kActionMs));
}

// Waits until the log holds the text (a job runs inside its button's handler).
inline bool WaitForLog(const AppRun& app, const std::string& text, DWORD timeoutMs = kActionMs) {
    return WaitUntil([&] { return app.Log().find(text) != std::string::npos; }, timeoutMs);
}

// The log's lines, each without its "\r\n"; a last line without one is kept as it is.
inline std::vector<std::string> LogLines(const std::string& log) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(log.substr(at));
            break;
        }
        lines.push_back(log.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// Whether the line matches the pattern, where each '#' stands for one or more decimal
// digits (the durations in the log) and every other byte stands for itself.
inline bool LineMatches(const std::string& line, const std::string& pattern) {
    size_t i = 0;
    for (char p : pattern) {
        if (p == '#') {
            size_t start = i;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
            if (i == start) return false;
        } else {
            if (i >= line.size() || line[i] != p) return false;
            ++i;
        }
    }
    return i == line.size();
}

// Checks the lines of the log from index `first` on against the patterns, one for one.
inline void ExpectLinesFrom(const std::string& log, size_t first,
                            const std::vector<std::string>& patterns) {
    std::vector<std::string> lines = LogLines(log);
    ASSERT_EQ(first + patterns.size(), lines.size()) << log;
    for (size_t i = 0; i < patterns.size(); ++i) {
        EXPECT_TRUE(LineMatches(lines[first + i], patterns[i]))
            << "line " << first + i << ": " << lines[first + i] << "\nexpected: " << patterns[i];
    }
}

// The progress bar's position and range, read across the process boundary.
inline int BarPos(const AppRun& app) {
    return static_cast<int>(::SendMessageA(app.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
}
inline int BarMin(const AppRun& app) {
    return static_cast<int>(::SendMessageA(app.Item(IDC_PROGRESS), PBM_GETRANGE, TRUE, 0));
}
inline int BarMax(const AppRun& app) {
    return static_cast<int>(::SendMessageA(app.Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0));
}
inline std::string PercentText(const AppRun& app) { return WindowText(app.Item(IDC_PERCENT)); }

}  // namespace steps
