// Windows: the latency timer an FTDI adapter's driver keeps in the registry for its COM port,
// which only the user can change (Device Manager, the port's Port Settings, Advanced, Latency
// Timer). The port reads it at Open through one replaceable function, so that a test can stand
// in for an adapter.
#pragma once

#include <string>

// Reads the latency timer, in milliseconds, of the port named portName ("COM3"); false when
// the port is not an FTDI adapter's or holds no such value.
typedef bool (*FtdiLatencyReader)(const std::string& portName, unsigned long* ms);

// From the registry: the LatencyTimer beside the PortName naming the port, under
// HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\<device>\<instance>\Device Parameters.
bool ReadFtdiLatencyFromRegistry(const std::string& portName, unsigned long* ms);

// The reader CSerialPort::Open uses from now on; null puts the registry back.
void SetFtdiLatencyReader(FtdiLatencyReader reader);
FtdiLatencyReader CurrentFtdiLatencyReader();
