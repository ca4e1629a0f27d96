#include "FtdiLatencyWin32.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace {

const char kFtdiBus[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
const char kParameters[] = "Device Parameters";

std::atomic<FtdiLatencyReader> g_reader{ReadFtdiLatencyFromRegistry};

// A key that closes itself.
class RegKey {
public:
    RegKey(HKEY parent, const std::string& path) {
        if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) {
            m_key = nullptr;
        }
    }
    ~RegKey() {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY Get() const { return m_key; }
    // The name of the index-th subkey; false past the last.
    bool SubkeyName(DWORD index, std::string* name) const {
        char buffer[256];
        DWORD length = sizeof(buffer);
        if (RegEnumKeyExA(m_key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        name->assign(buffer, length);
        return true;
    }
    bool Text(const char* value, std::string* text) const {
        char buffer[64] = {};
        DWORD type = 0;
        DWORD size = sizeof(buffer) - 1;  // room for the end a stored string may lack
        if (RegQueryValueExA(m_key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                             &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            return false;
        }
        *text = buffer;
        return true;
    }
    bool Number(const char* value, unsigned long* number) const {
        DWORD data = 0;
        DWORD type = 0;
        DWORD size = sizeof(data);
        if (RegQueryValueExA(m_key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD) {
            return false;
        }
        *number = data;
        return true;
    }

private:
    HKEY m_key = nullptr;
};

// The port's latency timer among the instances of one FTDI device.
bool FromDevice(const RegKey& device, const std::string& portName, unsigned long* ms) {
    std::string instance;
    for (DWORD i = 0; device.SubkeyName(i, &instance); ++i) {
        const RegKey parameters(device.Get(), instance + "\\" + kParameters);
        std::string port;
        if (parameters.Get() == nullptr || !parameters.Text("PortName", &port)) continue;
        if (_stricmp(port.c_str(), portName.c_str()) != 0) continue;
        return parameters.Number("LatencyTimer", ms);
    }
    return false;
}

}  // namespace

bool ReadFtdiLatencyFromRegistry(const std::string& portName, unsigned long* ms) {
    const RegKey bus(HKEY_LOCAL_MACHINE, kFtdiBus);
    if (bus.Get() == nullptr) return false;
    std::string name;
    for (DWORD i = 0; bus.SubkeyName(i, &name); ++i) {
        const RegKey device(bus.Get(), name);
        if (device.Get() != nullptr && FromDevice(device, portName, ms)) return true;
    }
    return false;
}

void SetFtdiLatencyReader(FtdiLatencyReader reader) {
    g_reader.store(reader != nullptr ? reader : ReadFtdiLatencyFromRegistry);
}

FtdiLatencyReader CurrentFtdiLatencyReader() { return g_reader.load(); }
