// What the command line needs of the operating system. One backend file per system.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Serial devices present in hardware, by the names CSerialPort::Open takes, in the
// scan's order (alphabetical, as the dialog's sorted list shows them).
std::vector<std::string> ListSerialPorts();

// The settings file in the user's configuration directory (may not exist yet).
std::string SettingsFilePath();

// Creates the directories above path that are missing; false when that fails.
bool MakeParentDirectories(const std::string& path);

// Converts GBK text (the jobs' log texts) to the console's encoding.
std::string GbkToConsole(const std::string& gbk);
// Converts GBK text to UTF-8, whatever the console speaks (for JSON).
std::string GbkToUtf8(const std::string& gbk);
// A path or other user text as the system gave it (argv) in UTF-8, as far as it can be told:
// unchanged where the system's names are bytes (Linux), from the ANSI code page on Windows.
std::string PathToUtf8(const std::string& native);

// What the adapter behind a serial device says of itself, e.g. "0403:6001 FT232R USB UART
// (A50285BI)": USB vendor:product, product name and (serial number), as far as they are
// known. Read from the sysfs mounted at sysRoot; empty for a port that is not on USB.
// On Windows: the device's USB vendor:product and its friendly name, from what the system
// gives (below), in the console's encoding; sysRoot is not used.
std::string SerialPortDescription(const std::string& port, const std::string& sysRoot = "/sys");

#ifdef _WIN32
// What Windows knows of the device behind a COM port, from its Ports class entry.
struct PortDevice {
    std::wstring friendlyName;              // e.g. "USB Serial Port (COM3)"
    std::vector<std::wstring> hardwareIds;  // e.g. "FTDIBUS\COMPORT&VID_0403&PID_6001"
};
// Fills *out for the port; false when no present device has it. SetupAPI's reader, which a
// test may replace (Wine has no USB adapters).
extern bool (*g_readPortDevice)(const std::string& port, PortDevice* out);
#endif

// Name of the group that owns the device; empty when it cannot be told.
std::string DeviceGroup(const std::string& path);

// True when standard error is a terminal that can show a progress bar.
bool StderrIsTerminal();

// Lets writes to a closed standard output or error fail instead of ending the process, so
// that a job is never cut off half-way by a reader going away.
void IgnoreClosedOutput();

// Ctrl-C and termination requests: from now on they call handler, on another thread, with
// the exit status the shell would show (130 for an interrupt, 143 for a termination)
// instead of ending the process. Called before any other thread has started.
void OnInterrupt(void (*handler)(int exitStatus));

// Creates a new empty file in the system's temporary folder, its name in *path; its
// descriptor, or -1.
int MakeTemporaryFile(std::string* path);
// A stream writing to the descriptor, which it then owns; null on failure.
std::FILE* FdOpenForWriting(int fd);
// Standard streams carry raw bytes unchanged (no line-end translation).
void SetBinaryMode(std::FILE* stream);
