// Linux only: <linux/serial.h> and sysfs.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "LowLatency.h"

namespace {

constexpr int kLowestMs = 1;

class DriverFlags final : public ISerialFlags {
public:
    bool Get(int fd, int* flags) override {
        struct serial_struct info {};
        if (ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
        *flags = info.flags;
        return true;
    }
    bool Set(int fd, int flags) override {
        // Everything else as the driver has it now: only the flags change.
        struct serial_struct info {};
        if (ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
        info.flags = flags;
        return ioctl(fd, TIOCSSERIAL, &info) == 0;
    }
};

// The number in a sysfs attribute; false when there is none to read.
bool ReadNumber(const std::string& path, int* value) {
    std::ifstream in(path);
    return static_cast<bool>(in >> *value);
}

// 0, or the errno of the failed write.
int WriteNumber(const std::string& path, int value) {
    // Truncated as a shell's echo into it would: sysfs ignores it, a plain file needs it.
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return errno;
    const std::string text = std::to_string(value);
    int error = 0;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        error = errno != 0 ? errno : EIO;
    }
    close(fd);
    return error;
}

}  // namespace

ISerialFlags& DriverSerialFlags() {
    static DriverFlags flags;
    return flags;
}

std::string SysfsRoot() {
    const char* root = std::getenv("KESTREL_SYSFS");
    return root != nullptr && *root != '\0' ? root : "/sys";
}

std::string LatencyTimerFile(const std::string& port, const std::string& sysfsRoot) {
    char resolved[PATH_MAX];
    const std::string device = realpath(port.c_str(), resolved) != nullptr ? resolved : port;
    const std::string name = device.substr(device.rfind('/') + 1);
    return sysfsRoot + "/bus/usb-serial/devices/" + name + "/latency_timer";
}

CLowLatency::CLowLatency(ISerialFlags& flags) : m_flags(flags) {}

void CLowLatency::Lower(int fd, const std::string& port, const std::string& sysfsRoot) {
    m_note = LatencyTimerNote();
    m_note.port = port;
    // The timer is read before the flag is set: a driver may lower it from the flag, and
    // what is put back at the end is what the adapter had before this program came.
    m_timerFile = LatencyTimerFile(port, sysfsRoot);
    int found = 0;
    const bool haveTimer = ReadNumber(m_timerFile, &found);

    int flags = 0;
    if (m_flags.Get(fd, &flags) && (flags & ASYNC_LOW_LATENCY) == 0) {
        m_flagSet = m_flags.Set(fd, flags | ASYNC_LOW_LATENCY);
    }

    if (!haveTimer || found <= kLowestMs) return;
    m_note.foundMs = found;
    m_timerFound = found;
    const int error = WriteNumber(m_timerFile, kLowestMs);
    if (error == 0) {
        m_timerLowered = true;
        m_note.kind = LatencyTimerNote::Lowered;
    } else {
        m_note.kind = LatencyTimerNote::NotLowered;
        m_note.error = error;
    }
}

void CLowLatency::Restore(int fd) {
    if (m_flagSet) {
        int flags = 0;
        if (m_flags.Get(fd, &flags)) (void)m_flags.Set(fd, flags & ~ASYNC_LOW_LATENCY);
        m_flagSet = false;
    }
    if (m_timerLowered) {
        (void)WriteNumber(m_timerFile, m_timerFound);
        m_timerLowered = false;
    }
}
