// The adapters beside `kestrel-isp ports` on Windows, from made-up device properties as the
// device manager gives them: Wine has no USB adapters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform.h"

namespace {

struct Device {
    const char* port;
    PortDevice properties;
    const char* description;  // UTF-8: standard output is no console here
};

const Device kDevices[] = {
    {"COM3",
     {L"USB Serial Port (COM3)", {L"FTDIBUS\\COMPORT&VID_0403&PID_6001"}},
     "0403:6001 USB Serial Port (COM3)"},
    {"COM5",
     {L"USB 串行设备 (COM5)", {L"USB\\Vid_0483&Pid_5740&Rev_0200"}},
     u8"0483:5740 USB 串行设备 (COM5)"},
    {"COM1", {L"Communications Port (COM1)", {L"ACPI\\PNP0501"}}, "Communications Port (COM1)"},
    {"COM6", {L"", {L"USB\\VID_12G4&PID_0001", L"USB\\VID_1A86&PID_7523&REV_0254"}}, "1a86:7523"},
};

bool FakeDevice(const std::string& port, PortDevice* out) {
    for (const Device& device : kDevices) {
        if (port != device.port) continue;
        *out = device.properties;
        return true;
    }
    return false;
}

TEST(PortDescriptionWin32, VendorProductAndFriendlyNameAsFarAsKnown) {
    bool (*const real)(const std::string&, PortDevice*) = g_readPortDevice;
    g_readPortDevice = FakeDevice;
    for (const Device& device : kDevices) {
        EXPECT_EQ(device.description, SerialPortDescription(device.port)) << device.port;
    }
    EXPECT_EQ("", SerialPortDescription("COM9")) << "a port no device has";
    g_readPortDevice = real;
}

}  // namespace
