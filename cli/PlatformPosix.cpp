// Linux side of the command line: the port list's override, the adapters' USB names from
// sysfs, XDG config dir, iconv.
#include <grp.h>
#include <iconv.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Platform.h"
#include "PortList.h"

std::vector<std::string> ListSerialPorts() {
    const char* override = std::getenv("KESTREL_PORTS");
    if (!override) return EnumerateSerialPorts();
    std::vector<std::string> ports;
    std::string list = override;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(':', begin);
        if (end == std::string::npos) end = list.size();
        if (end > begin) ports.push_back(list.substr(begin, end - begin));
        begin = end + 1;
    }
    std::sort(ports.begin(), ports.end(), PortNameLess);
    return ports;
}

namespace {

// A sysfs attribute's text without its newline; empty when there is none.
std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

}  // namespace

std::string SerialPortDescription(const std::string& port, const std::string& sysRoot) {
    // A /dev/serial/by-id link names the tty it points at.
    char resolved[PATH_MAX];
    std::string device = ::realpath(port.c_str(), resolved) ? resolved : port;
    std::string name = device.substr(device.rfind('/') + 1);
    if (name.empty()) return std::string();
    // The USB device is the parent of a ttyACM's device (an interface) and the grandparent
    // of a ttyUSB's (a usb-serial port). One level more at most: a tty that is not on USB
    // must not take the name of whatever lies far above it.
    std::string dir = sysRoot + "/class/tty/" + name + "/device";
    for (int level = 0; level < 3; ++level) {
        dir += "/..";
        std::string vendor = ReadAttribute(dir + "/idVendor");
        if (vendor.empty()) continue;
        std::string text = vendor + ":" + ReadAttribute(dir + "/idProduct");
        std::string product = ReadAttribute(dir + "/product");
        std::string serial = ReadAttribute(dir + "/serial");
        if (!product.empty()) text += " " + product;
        if (!serial.empty()) text += " (" + serial + ")";
        return text;
    }
    return std::string();
}

std::string SettingsFilePath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : ".") + "/.config";
    }
    return base + "/kestrel/Config.ini";
}

bool MakeParentDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// The terminal here speaks UTF-8.
std::string GbkToConsole(const std::string& gbk) { return GbkToUtf8(gbk); }

std::string GbkToUtf8(const std::string& gbk) {
    iconv_t cd = ::iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string out(gbk.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(gbk.data());
    size_t inLeft = gbk.size();
    char* dst = &out[0];
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (::iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) break;  // cannot happen: UTF-8 is at most 1.5x GBK
        // A byte that is not GBK goes through as it is rather than being lost.
        if (outLeft == 0) break;
        *dst++ = *in++;
        --inLeft;
        --outLeft;
    }
    out.resize(out.size() - outLeft);
    ::iconv_close(cd);
    return out;
}

// Names are bytes here; what is not UTF-8 is left for the JSON writer to mend.
std::string PathToUtf8(const std::string& native) { return native; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void IgnoreClosedOutput() { ::signal(SIGPIPE, SIG_IGN); }

void OnInterrupt(void (*handler)(int exitStatus)) {
    // Blocked here, inherited by every thread started later: only the waiter sees them, so
    // the handler may take locks and close the port, which a signal handler could not.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals, handler]() {
        for (;;) {
            int number = 0;
            if (::sigwait(&signals, &number) == 0) handler(128 + number);
        }
    }).detach();
}

std::string DeviceGroup(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::string();
    const struct group* owner = ::getgrgid(st.st_gid);
    return owner ? owner->gr_name : std::string();
}

int MakeTemporaryFile(std::string* path) {
    const char* folder = std::getenv("TMPDIR");
    std::string name =
        std::string(folder != nullptr && *folder ? folder : "/tmp") + "/kestrel-XXXXXX";
    const int fd = ::mkstemp(&name[0]);
    if (fd >= 0) *path = name;
    return fd;
}

std::FILE* FdOpenForWriting(int fd) { return ::fdopen(fd, "wb"); }

// No line-end translation here.
void SetBinaryMode(std::FILE*) {}
