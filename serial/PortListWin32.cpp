// Windows port discovery from the registry's serial device map.
#include <algorithm>

#include "PortList.h"

const char kSerialDeviceMapKey[] = "Hardware\\DeviceMap\\SerialComm";

namespace {
constexpr DWORD kNameCapacity = MAX_PATH;
constexpr DWORD kDataCapacity = MAX_PATH;
}  // namespace

std::vector<std::string> ReadSerialDeviceMap(HKEY root, const char* subKey) {
    std::vector<std::string> names;
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

std::vector<std::string> EnumerateSerialPorts() {
    std::vector<std::string> ports = ReadSerialDeviceMap(HKEY_LOCAL_MACHINE, kSerialDeviceMapKey);
    // Case-insensitive, as a sorted combo box orders them.
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return ::lstrcmpiA(a.c_str(), b.c_str()) < 0;
    });
    return ports;
}
