// Linux port discovery, separate so that it can be tried on a made-up sysfs tree.
#pragma once

#include <string>
#include <vector>

// The ttys under classDir (normally /sys/class/tty) that have a device behind them and are
// not an 8250 placeholder without a UART (type 0), as /dev paths in the dialog's sorted order.
std::vector<std::string> SerialPortsInSysfs(const std::string& classDir);
