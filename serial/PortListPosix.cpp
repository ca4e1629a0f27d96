// Linux port discovery from sysfs.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "PortList.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// 8250-style drivers register a placeholder for every possible UART; "type" is 0 for
// the ones with no hardware behind them.
bool IsPlaceholderUart(const std::string& sysDir) {
    std::ifstream typeFile(sysDir + "/type");
    int type = -1;
    return typeFile >> type && type == 0;
}

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
    int folded = ::strcasecmp(a.c_str(), b.c_str());
    return folded != 0 ? folded < 0 : a < b;
}

std::vector<std::string> SerialPortsInSysfs(const std::string& classDir) {
    std::vector<std::string> ports;
    DIR* dir = ::opendir(classDir.c_str());
    if (!dir) return ports;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string sysDir = classDir + "/" + name;
        if (!Exists(sysDir + "/device") || IsPlaceholderUart(sysDir)) continue;
        ports.push_back("/dev/" + name);
    }
    ::closedir(dir);
    std::sort(ports.begin(), ports.end(), PortNameLess);
    return ports;
}

std::vector<std::string> EnumerateSerialPorts() { return SerialPortsInSysfs("/sys/class/tty"); }
