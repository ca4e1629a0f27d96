// Windows side of the command line: %APPDATA%, the console's code page and its events.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "Platform.h"
#include "PortList.h"

namespace {

void (*g_interruptHandler)(int exitStatus) = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            g_interruptHandler(130);
            return TRUE;
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_interruptHandler(143);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

std::vector<std::string> ListSerialPorts() { return EnumerateSerialPorts(); }

std::string SettingsFilePath() {
    const char* appData = std::getenv("APPDATA");
    std::string base = appData && *appData ? appData : ".";
    return base + "\\Kestrel\\Config.ini";
}

bool MakeParentDirectories(const std::string& path) {
    for (size_t sep = path.find_first_of("\\/", 3); sep != std::string::npos;
         sep = path.find_first_of("\\/", sep + 1)) {
        std::string dir = path.substr(0, sep);
        if (!::CreateDirectoryA(dir.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

namespace {

// GBK text in another code page, through UTF-16; the text unchanged when it cannot be.
std::string FromGbk(const std::string& gbk, UINT target) {
    constexpr UINT kGbk = 936;
    if (target == kGbk || gbk.empty()) return gbk;
    int wideLength =
        ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    if (wideLength <= 0) return gbk;
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), &wide[0], wideLength);
    int length =
        ::WideCharToMultiByte(target, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return gbk;
    std::string out(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(target, 0, wide.data(), wideLength, &out[0], length, nullptr, nullptr);
    return out;
}

}  // namespace

// A console shows its own code page; a file or a pipe gets UTF-8, which any reader can take.
std::string GbkToConsole(const std::string& gbk) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || ::GetFileType(out) != FILE_TYPE_CHAR) {
        return FromGbk(gbk, CP_UTF8);
    }
    UINT target = ::GetConsoleOutputCP();
    if (target == 0) target = ::GetACP();
    return FromGbk(gbk, target);
}

std::string GbkToUtf8(const std::string& gbk) { return FromGbk(gbk, CP_UTF8); }

// argv comes in the ANSI code page.
std::string PathToUtf8(const std::string& native) {
    if (native.empty()) return native;
    const int wideLength = ::MultiByteToWideChar(CP_ACP, 0, native.data(),
                                                 static_cast<int>(native.size()), nullptr, 0);
    if (wideLength <= 0) return native;
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, native.data(), static_cast<int>(native.size()), &wide[0],
                          wideLength);
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return native;
    std::string out(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &out[0], length, nullptr, nullptr);
    return out;
}

// A COM port's adapter is named by the device manager, not in a file tree; the dialog
// shows bare COM names as well.
std::string SerialPortDescription(const std::string&, const std::string&) { return std::string(); }

// Access to a COM port is not granted by group.
std::string DeviceGroup(const std::string&) { return std::string(); }

bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

// Writes to a closed pipe fail with an error here; no signal ends the process.
void IgnoreClosedOutput() {}

void OnInterrupt(void (*handler)(int exitStatus)) {
    g_interruptHandler = handler;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int MakeTemporaryFile(std::string* path) {
    char folder[MAX_PATH], name[MAX_PATH];
    if (::GetTempPathA(MAX_PATH, folder) == 0 || ::GetTempFileNameA(folder, "kes", 0, name) == 0) {
        return -1;
    }
    *path = name;
    return ::_open(name, _O_WRONLY | _O_BINARY | _O_TRUNC);
}

std::FILE* FdOpenForWriting(int fd) { return ::_fdopen(fd, "wb"); }

void SetBinaryMode(std::FILE* stream) { ::_setmode(::_fileno(stream), _O_BINARY); }
