// Works Kestrel_Bootloader.exe from outside, as a person at the screen would: starts it in a
// folder of its own, finds its window, reads its controls, clicks and types.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>

// Set once by main from the command line.
struct DriverOptions {
    std::string appPath;         // the program under test
    std::string workRoot;        // a folder for the cases' own folders
    std::string simPort;         // COM port with the simulated bootloader behind it; empty: none
    std::string simCtl;          // the runner's control folder for the simulator; empty: none
    bool englishLocale = false;  // the runner put Wine in an English locale (run.sh --english)
};
extern DriverOptions g_options;

extern const wchar_t kMainCaption[];  // the main window's caption, found in any locale

// Polls the condition every 10 ms until it holds or timeoutMs have passed.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// The whole content of a file, or empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& data);
// The keys of section [Config], parsed from the file's text.
std::map<std::string, std::string> ReadConfig(const std::string& path);

// The simulator behind g_options.simPort, replaced by the test runner on request: "sim
// [OPTIONS]" ends it (its flash goes to SimFile("flash.bin")) and starts a fresh one on the
// same port with the extra kestrel-sim options; "stop" ends it and leaves the port without
// a device. Returns once the runner has answered; false when it failed or did not answer
// within timeoutMs.
bool SimRequest(const std::string& request, DWORD timeoutMs = 60000);
// A request whose answer says more: "speed" gives "speed N", the baud rate the program set
// on the simulator's line. Empty when the runner did not answer within timeoutMs.
std::string SimAnswer(const std::string& request, DWORD timeoutMs = 60000);
// A file in the runner's control folder: "wire.log" (the current simulator's traffic),
// "flash.bin" (the flash of the last simulator ended), the sample firmware "blinky.hex"
// and "blinky.bin", and files the cases put there for the simulator to load.
std::string SimFile(const std::string& name);

// Text of a window (any process), through WM_GETTEXT: the narrow form, in the driver's ANSI
// code page, and the wide form, which holds the characters whatever the code page.
std::string WindowText(HWND hWnd);
std::wstring WideWindowText(HWND hWnd);
// Entries and selection of a combo box.
int ComboCount(HWND hCombo);
std::string ComboEntry(HWND hCombo, int index);
int ComboSelection(HWND hCombo);
bool IsChecked(HWND hButton);

// Input, as the system's input queue receives it from a mouse and keyboard.
void ClickAt(POINT screen);
void Click(HWND hWnd);  // the middle of the window
void PressKey(WORD vk);
void TypeText(const std::string& ascii);

// One run of the program in a fresh folder of its own (the settings file lies beside it).
class AppRun {
public:
    explicit AppRun(const std::string& caseName);
    ~AppRun();  // ends the program if it still runs
    AppRun(const AppRun&) = delete;
    AppRun& operator=(const AppRun&) = delete;

    void WriteConfig(const std::string& text) const;
    std::map<std::string, std::string> Config() const { return ReadConfig(m_iniPath); }
    bool ConfigExists() const { return FileExists(m_iniPath); }
    const std::string& Dir() const { return m_dir; }

    // Starts the program; showCommand < 0 gives it no show command of its own.
    bool Start(int showCommand = -1, const std::string& arguments = std::string());
    // Waits for the main window of this process. Records whether it was seen hidden before
    // it became visible, and the log text at the first moment it was seen visible.
    bool WaitShown(DWORD timeoutMs);
    // The exit code, or -1 when the process did not end in time.
    int WaitExit(DWORD timeoutMs);
    // Waits until the program waits for input with nothing left to do.
    void WaitIdle() const;
    // The first visible top-level dialog of this process other than the main window.
    HWND FindOtherDialog() const;
    // The open list of a drop-down combo box of this process, or null.
    HWND FindDroppedList() const;
    // Brings the main window to the front so that keys go to it.
    void Focus() const;

    HWND Item(int id) const { return ::GetDlgItem(m_main, id); }
    std::string Log() const;

    HWND m_main = nullptr;
    bool m_sawHidden = false;
    std::string m_logWhenShown;

private:
    std::string m_dir;
    std::string m_exePath;
    std::string m_iniPath;
    PROCESS_INFORMATION m_process = {};
};
