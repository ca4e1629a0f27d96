#include "PortLists.h"

const char kBaudRates[] = "1200;2400;4800;9600;19200;38400;43000;56000;57600;115200;";
const char kSerialDeviceMapKey[] = "Hardware\\DeviceMap\\SerialComm";

namespace {
constexpr DWORD kNameCapacity = MAX_PATH;
constexpr DWORD kDataCapacity = MAX_PATH;
}  // namespace

void FillComboBox(HWND hCombo, const std::vector<CString>& entries) {
    ::SendMessageA(hCombo, CB_RESETCONTENT, 0, 0);
    for (const CString& entry : entries) {
        ::SendMessageA(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.GetString()));
    }
}

std::vector<CString> ReadSerialDeviceMap(HKEY root, const char* subKey) {
    std::vector<CString> names;
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(root, subKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return names;

    char valueName[kNameCapacity];
    // One spare byte keeps the text terminated whatever the read left in the buffer.
    BYTE data[kDataCapacity + 1] = {};
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = kNameCapacity;
        DWORD dataSize = kDataCapacity;
        LONG result =
            ::RegEnumValueA(hKey, index, valueName, &nameSize, nullptr, nullptr, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        names.emplace_back(reinterpret_cast<const char*>(data));
    }
    ::RegCloseKey(hKey);
    return names;
}

std::vector<CString> SplitBaudRates(const char* list) {
    std::vector<CString> entries;
    CString rest(list);
    for (;;) {
        const char* text = rest.GetString();
        const char* semicolon = text;
        while (*semicolon && *semicolon != ';') ++semicolon;
        if (!*semicolon) break;
        entries.emplace_back(text, static_cast<int>(semicolon - text));
        rest = CString(semicolon + 1);
    }
    return entries;
}

void FillPortList(HWND hPortList) {
    FillComboBox(hPortList, ReadSerialDeviceMap(HKEY_LOCAL_MACHINE, kSerialDeviceMapKey));
}

void FillBaudList(HWND hBaudList) { FillComboBox(hBaudList, SplitBaudRates(kBaudRates)); }
