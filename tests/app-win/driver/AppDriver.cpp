#include "AppDriver.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "resource.h"

DriverOptions g_options;

const wchar_t kMainCaption[] = L"Kestrel串口烧录工具";

namespace {
constexpr UINT kSendTimeoutMs = 30000;

LRESULT SendWait(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutA(hWnd, msg, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

void SendInputs(std::vector<INPUT>& inputs) {
    ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    ::Sleep(30);  // lets the system deliver them before the next step looks
}

INPUT KeyInput(WORD vk, bool up) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return in;
}
}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(10);
    }
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

std::string SimFile(const std::string& name) { return g_options.simCtl + "\\" + name; }

std::string SimAnswer(const std::string& request, DWORD timeoutMs) {
    if (g_options.simCtl.empty()) return std::string();
    const std::string ack = SimFile("ack");
    ::DeleteFileA(ack.c_str());
    // Written beside and renamed into place, so the runner never reads half a request.
    const std::string draft = SimFile("request.draft");
    if (!WriteWholeFile(draft, request + "\n") ||
        !::MoveFileExA(draft.c_str(), SimFile("request").c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return std::string();
    }
    std::string answer;
    if (!WaitUntil(
            [&] {
                answer = ReadWholeFile(ack);
                return !answer.empty();
            },
            timeoutMs)) {
        return std::string();
    }
    ::DeleteFileA(ack.c_str());
    if (answer.back() == '\n') answer.pop_back();
    return answer;
}

bool SimRequest(const std::string& request, DWORD timeoutMs) {
    return SimAnswer(request, timeoutMs) == request;
}

std::map<std::string, std::string> ReadConfig(const std::string& path) {
    std::map<std::string, std::string> keys;
    std::istringstream in(ReadWholeFile(path));
    std::string line;
    bool inConfig = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inConfig = line == "[Config]";
            continue;
        }
        size_t eq = line.find('=');
        if (inConfig && eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

std::string WindowText(HWND hWnd) {
    LRESULT length = SendWait(hWnd, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return std::string();
    std::vector<char> text(static_cast<size_t>(length) + 1);
    LRESULT copied = SendWait(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    if (copied <= 0) return std::string();
    return std::string(text.data(), static_cast<size_t>(copied));
}

std::wstring WideWindowText(HWND hWnd) {
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(hWnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeoutMs,
                               &length) ||
        static_cast<LRESULT>(length) <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> text(length + 1);
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                               SMTO_NORMAL, kSendTimeoutMs, &copied) ||
        static_cast<LRESULT>(copied) <= 0) {
        return std::wstring();
    }
    return std::wstring(text.data(), copied);
}

int ComboCount(HWND hCombo) { return static_cast<int>(SendWait(hCombo, CB_GETCOUNT, 0, 0)); }

std::string ComboEntry(HWND hCombo, int index) {
    // Across processes the list's text comes back in UTF-16 whatever form is asked for, so
    // ask for that and convert to the ANSI code page the program itself uses.
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(hCombo, CB_GETLBTEXTLEN, index, 0, SMTO_NORMAL, kSendTimeoutMs,
                               &length) ||
        static_cast<LRESULT>(length) < 0) {
        return std::string();
    }
    std::vector<wchar_t> text(length + 1);
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(hCombo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()),
                               SMTO_NORMAL, kSendTimeoutMs, &copied) ||
        static_cast<LRESULT>(copied) < 0) {
        return std::string();
    }
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(copied), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(copied), &out[0], bytes, nullptr,
                          nullptr);
    return out;
}

int ComboSelection(HWND hCombo) { return static_cast<int>(SendWait(hCombo, CB_GETCURSEL, 0, 0)); }

bool IsChecked(HWND hButton) { return SendWait(hButton, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void ClickAt(POINT screen) {
    ::SetCursorPos(screen.x, screen.y);
    std::vector<INPUT> inputs(2);
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInputs(inputs);
}

void Click(HWND hWnd) {
    RECT rect = {};
    ::GetWindowRect(hWnd, &rect);
    ClickAt(POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

void PressKey(WORD vk) {
    std::vector<INPUT> inputs = {KeyInput(vk, false), KeyInput(vk, true)};
    SendInputs(inputs);
}

void TypeText(const std::string& ascii) {
    std::vector<INPUT> inputs;
    for (char c : ascii) {
        SHORT vk = ::VkKeyScanA(c);
        bool shift = (vk >> 8) & 1;
        if (shift) inputs.push_back(KeyInput(VK_SHIFT, false));
        inputs.push_back(KeyInput(static_cast<WORD>(vk & 0xFF), false));
        inputs.push_back(KeyInput(static_cast<WORD>(vk & 0xFF), true));
        if (shift) inputs.push_back(KeyInput(VK_SHIFT, true));
    }
    SendInputs(inputs);
}

AppRun::AppRun(const std::string& caseName) {
    m_dir = g_options.workRoot + "\\" + caseName;
    ::CreateDirectoryA(g_options.workRoot.c_str(), nullptr);
    ::CreateDirectoryA(m_dir.c_str(), nullptr);
    m_exePath = m_dir + "\\Kestrel_Bootloader.exe";
    m_iniPath = m_dir + "\\Config.ini";
    ::DeleteFileA(m_iniPath.c_str());
    ::CopyFileA(g_options.appPath.c_str(), m_exePath.c_str(), FALSE);
}

AppRun::~AppRun() {
    if (m_process.hProcess) {
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process.hProcess, 99);
            ::WaitForSingleObject(m_process.hProcess, 10000);
        }
        ::CloseHandle(m_process.hProcess);
        ::CloseHandle(m_process.hThread);
    }
}

void AppRun::WriteConfig(const std::string& text) const {
    std::ofstream out(m_iniPath, std::ios::binary | std::ios::trunc);
    out << text;
}

bool AppRun::Start(int showCommand, const std::string& arguments) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    if (showCommand >= 0) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(showCommand);
    }
    std::string commandLine = "\"" + m_exePath + "\"";
    if (!arguments.empty()) commandLine += " " + arguments;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    return ::CreateProcessA(m_exePath.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            m_dir.c_str(), &startup, &m_process) != FALSE;
}

bool AppRun::WaitShown(DWORD timeoutMs) {
    const DWORD pid = m_process.dwProcessId;
    return WaitUntil(
        [&] {
            if (!m_main) {
                for (HWND h = nullptr; (h = ::FindWindowExW(nullptr, h, nullptr, kMainCaption));) {
                    DWORD owner = 0;
                    ::GetWindowThreadProcessId(h, &owner);
                    if (owner == pid) m_main = h;
                }
                if (!m_main) return false;
            }
            if (!::IsWindowVisible(m_main)) {
                m_sawHidden = true;
                return false;
            }
            m_logWhenShown = Log();
            return true;
        },
        timeoutMs);
}

int AppRun::WaitExit(DWORD timeoutMs) {
    if (!m_process.hProcess) return -1;
    if (::WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(m_process.hProcess, &code);
    return static_cast<int>(code);
}

void AppRun::WaitIdle() const {
    ::WaitForInputIdle(m_process.hProcess, kSendTimeoutMs);
    ::Sleep(100);
    ::WaitForInputIdle(m_process.hProcess, kSendTimeoutMs);
}

namespace {
struct WindowSearch {
    DWORD pid;
    HWND main;
    const char* className;
    HWND found;
};

// A visible top-level window of the class, of the process, other than its main window.
BOOL CALLBACK MatchWindow(HWND h, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(h, &owner);
    char cls[64] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    if (owner == search->pid && h != search->main && ::IsWindowVisible(h) &&
        ::lstrcmpiA(cls, search->className) == 0) {
        search->found = h;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND AppRun::FindOtherDialog() const {
    WindowSearch search = {m_process.dwProcessId, m_main, "#32770", nullptr};
    ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND AppRun::FindDroppedList() const {
    WindowSearch search = {m_process.dwProcessId, m_main, "ComboLBox", nullptr};
    ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void AppRun::Focus() const {
    ::SetForegroundWindow(m_main);
    WaitUntil([&] { return ::GetForegroundWindow() == m_main; }, 5000);
}

std::string AppRun::Log() const { return WindowText(Item(IDC_LOG)); }
