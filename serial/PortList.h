// The serial ports present on this machine. One backend file per operating system.
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

// Serial devices present in hardware, by the names CSerialPort::Open takes, in the order a
// sorted drop-down list shows them.
std::vector<std::string> EnumerateSerialPorts();

// The sources the list is read from, open to tests with a made-up source.
#ifdef _WIN32
// Where the system lists its serial ports (under HKEY_LOCAL_MACHINE).
extern const char kSerialDeviceMapKey[];

// The value data (device names) of the key, in enumeration order. A key that does not open
// gives none; a value whose read fails (other than at the end) still gives an entry, with
// whatever the data buffer holds.
std::vector<std::string> ReadSerialDeviceMap(HKEY root, const char* subKey);
#else
// The ttys under classDir (normally /sys/class/tty) that have a device behind them and are
// not an 8250 placeholder without a UART (type 0), as /dev paths in the sorted list's order.
std::vector<std::string> SerialPortsInSysfs(const std::string& classDir);

// Case-insensitive first, then byte order: the order of the sorted list.
bool PortNameLess(const std::string& a, const std::string& b);
#endif
