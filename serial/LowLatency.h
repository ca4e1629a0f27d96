// Linux: a USB serial adapter's reply latency lowered for one open period, and put back as it
// was found when the period ends. Two knobs: the driver's low-latency flag (TIOCSSERIAL) and
// the adapter's latency timer in sysfs (FTDI chips hold a short reply 16 ms by default).
#pragma once

#include <string>

#include "LatencyTimer.h"

// The driver's serial flags (those of struct serial_struct), behind a seam: a
// pseudo-terminal has none, so a test stands in for a driver that has.
class ISerialFlags {
public:
    virtual ~ISerialFlags() = default;
    // False when the device's driver keeps no such flags, or refuses.
    virtual bool Get(int fd, int* flags) = 0;
    virtual bool Set(int fd, int flags) = 0;
};

// TIOCGSERIAL and TIOCSSERIAL on the device.
ISerialFlags& DriverSerialFlags();

// Where sysfs is: the folder KESTREL_SYSFS names (for tests), else /sys.
std::string SysfsRoot();

// SYSFS/bus/usb-serial/devices/NAME/latency_timer, NAME being the last part of the port's
// path once symbolic links are resolved (/dev/serial/by-id/usb-... gives ttyUSB0), or of the
// path as given where it does not resolve.
std::string LatencyTimerFile(const std::string& port, const std::string& sysfsRoot);

class CLowLatency {
public:
    explicit CLowLatency(ISerialFlags& flags = DriverSerialFlags());
    CLowLatency(const CLowLatency&) = delete;
    CLowLatency& operator=(const CLowLatency&) = delete;

    // For the device open as fd under the name port: the driver's low-latency flag on, and
    // the adapter's latency timer (found under sysfsRoot) at 1 ms where it is higher. Neither
    // is required: a device without them, or a timer that cannot be written, still works,
    // only slower. Note() says what became of the timer.
    void Lower(int fd, const std::string& port, const std::string& sysfsRoot);

    // Puts back what Lower changed: the flag first (a driver may set its timer from it), then
    // the timer. Once: later calls do nothing. A device gone away refuses, harmlessly.
    void Restore(int fd);

    const LatencyTimerNote& Note() const { return m_note; }

private:
    ISerialFlags& m_flags;
    bool m_flagSet = false;  // the flag was off and Lower turned it on
    std::string m_timerFile;
    int m_timerFound = 0;
    bool m_timerLowered = false;
    LatencyTimerNote m_note;
};
