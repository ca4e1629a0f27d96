// Windows side of the command line: %APPDATA%, the console's code page and its events.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

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

// UTF-16 text in a code page.
std::string FromWide(const std::wstring& wide, UINT target) {
    const int wideLength = static_cast<int>(wide.size());
    int length =
        ::WideCharToMultiByte(target, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(target, 0, wide.data(), wideLength, &out[0], length, nullptr, nullptr);
    return out;
}

// GBK text in another code page, through UTF-16; the text unchanged when it cannot be.
std::string FromGbk(const std::string& gbk, UINT target) {
    constexpr UINT kGbk = 936;
    if (target == kGbk || gbk.empty()) return gbk;
    int wideLength =
        ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    if (wideLength <= 0) return gbk;
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), &wide[0], wideLength);
    const std::string out = FromWide(wide, target);
    return out.empty() ? gbk : out;
}

// A console shows its own code page; a file or a pipe gets UTF-8, which any reader can take.
UINT OutputCodePage() {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || ::GetFileType(out) != FILE_TYPE_CHAR) return CP_UTF8;
    const UINT target = ::GetConsoleOutputCP();
    return target != 0 ? target : ::GetACP();
}

}  // namespace

std::string GbkToConsole(const std::string& gbk) { return FromGbk(gbk, OutputCodePage()); }

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

namespace {

// GUID_DEVCLASS_PORTS, spelt out: no GUID library needed.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::wstring PortNameOf(HDEVINFO set, SP_DEVINFO_DATA* info) {
    HKEY key = ::SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return std::wstring();
    wchar_t name[256] = {};
    DWORD size = sizeof name - sizeof name[0], type = 0;
    const LONG result =
        ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    ::RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name) : std::wstring();
}

// A text property of the device: its one string, or each of a list's.
std::vector<std::wstring> DeviceTexts(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
    DWORD size = 0;
    ::SetupDiGetDeviceRegistryPropertyW(set, info, property, nullptr, nullptr, 0, &size);
    if (size == 0) return {};
    // Two spare characters end the list whatever the property held.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (!::SetupDiGetDeviceRegistryPropertyW(
            set, info, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
        return {};
    }
    std::vector<std::wstring> texts;
    for (const wchar_t* p = buffer.data(); *p != L'\0'; p += std::wcslen(p) + 1) {
        texts.emplace_back(p);
    }
    return texts;
}

bool ReadPortDeviceFromSetupApi(const std::string& port, PortDevice* out) {
    HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return false;
    const std::wstring wanted(port.begin(), port.end());  // COM names are ASCII
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof info;
    bool found = false;
    for (DWORD i = 0; !found && ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        if (::lstrcmpiW(PortNameOf(set, &info).c_str(), wanted.c_str()) != 0) continue;
        found = true;
        const std::vector<std::wstring> names = DeviceTexts(set, &info, SPDRP_FRIENDLYNAME);
        out->friendlyName = names.empty() ? std::wstring() : names.front();
        out->hardwareIds = DeviceTexts(set, &info, SPDRP_HARDWAREID);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return found;
}

// The four hex digits after key in the ID, in lower case as sysfs gives them; else empty.
std::string HexAfter(const std::wstring& id, const wchar_t* key) {
    const size_t at = id.find(key);
    if (at == std::wstring::npos || id.size() < at + std::wcslen(key) + 4) return std::string();
    std::string hex;
    for (size_t k = at + std::wcslen(key); hex.size() < 4; ++k) {
        if (!std::iswxdigit(id[k])) return std::string();
        hex += static_cast<char>(std::towlower(id[k]));
    }
    return hex;
}

// "0403:6001" from the first ID naming a USB vendor and product: a USB device's
// ("USB\VID_0403&PID_6001&REV_0600") or a bus driver's beneath it (FTDI's
// "FTDIBUS\COMPORT&VID_0403&PID_6001"); empty when none does.
std::string UsbIds(const std::vector<std::wstring>& ids) {
    for (std::wstring id : ids) {
        std::transform(id.begin(), id.end(), id.begin(),
                       [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
        const std::string vendor = HexAfter(id, L"VID_"), product = HexAfter(id, L"PID_");
        if (!vendor.empty() && !product.empty()) return vendor + ":" + product;
    }
    return std::string();
}

}  // namespace

bool (*g_readPortDevice)(const std::string& port, PortDevice* out) = ReadPortDeviceFromSetupApi;

// As the Linux listing has it, with the name the device manager shows where Linux shows the
// product and serial number.
std::string SerialPortDescription(const std::string& port, const std::string&) {
    PortDevice device;
    if (!g_readPortDevice(port, &device)) return std::string();
    std::string text = UsbIds(device.hardwareIds);
    const std::string name = FromWide(device.friendlyName, OutputCodePage());
    if (!text.empty() && !name.empty()) text += " ";
    return text + name;
}

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
