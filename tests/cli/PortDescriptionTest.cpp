// The adapter names beside `kestrel-isp ports`, read from a made-up sysfs tree laid out as
// Linux lays out USB serial adapters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "Platform.h"

namespace {

class PortDescriptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = ::testing::TempDir() + "/kestrel-sysfs-names-" + std::to_string(::getpid());
        ASSERT_EQ(std::system(("rm -rf " + root + " && mkdir -p " + root + "/class/tty").c_str()),
                  0);
        // The root hub: a USB device too, above every adapter.
        AddUsbDevice("devices/usb1", "1d6b", "0002", "xHCI Host Controller", "0000:00:14.0");
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + root).c_str()), 0); }

    void MakeDirs(const std::string& relative) {
        ASSERT_EQ(std::system(("mkdir -p " + root + "/" + relative).c_str()), 0);
    }

    // Empty product or serial: the attribute file is absent, as for adapters without them.
    void AddUsbDevice(const std::string& dir, const std::string& vendor,
                      const std::string& productId, const std::string& product,
                      const std::string& serial) {
        MakeDirs(dir);
        std::ofstream(root + "/" + dir + "/idVendor") << vendor << "\n";
        std::ofstream(root + "/" + dir + "/idProduct") << productId << "\n";
        if (!product.empty()) std::ofstream(root + "/" + dir + "/product") << product << "\n";
        if (!serial.empty()) std::ofstream(root + "/" + dir + "/serial") << serial << "\n";
    }

    // /sys/class/tty/NAME/device pointing at deviceDir.
    void AddTty(const std::string& name, const std::string& deviceDir) {
        MakeDirs(deviceDir);
        MakeDirs("class/tty/" + name);
        ASSERT_EQ(::symlink((root + "/" + deviceDir).c_str(),
                            (root + "/class/tty/" + name + "/device").c_str()),
                  0);
    }

    std::string root;
};

TEST_F(PortDescriptionTest, UsbSerialAdapterNamedByItsUsbDeviceNotTheHub) {
    AddUsbDevice("devices/usb1/1-1", "0403", "6001", "FT232R USB UART", "A50285BI");
    AddTty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0");
    EXPECT_EQ(SerialPortDescription("/dev/ttyUSB0", root), "0403:6001 FT232R USB UART (A50285BI)");
}

TEST_F(PortDescriptionTest, NamesTheAdapterLacksAreLeftOut) {
    AddUsbDevice("devices/usb1/1-2", "0483", "5740", "STM32 Virtual ComPort", "");
    AddTty("ttyACM0", "devices/usb1/1-2/1-2:1.0");
    AddUsbDevice("devices/usb1/1-3", "1a86", "7523", "", "");
    AddTty("ttyUSB1", "devices/usb1/1-3/1-3:1.0/ttyUSB1");
    EXPECT_EQ(SerialPortDescription("/dev/ttyACM0", root), "0483:5740 STM32 Virtual ComPort");
    EXPECT_EQ(SerialPortDescription("/dev/ttyUSB1", root), "1a86:7523");
}

TEST_F(PortDescriptionTest, PortsNotOnUsbOrNotInSysfsHaveNone) {
    AddTty("ttyS0", "devices/platform/serial8250");
    // Far below a USB device, but not one of its ports.
    AddUsbDevice("devices/usb1/1-4", "0403", "6010", "Dual RS232", "");
    AddTty("ttyX0", "devices/usb1/1-4/a/b/c/d");
    EXPECT_EQ(SerialPortDescription("/dev/ttyS0", root), "");
    EXPECT_EQ(SerialPortDescription("/dev/ttyX0", root), "");
    EXPECT_EQ(SerialPortDescription("/dev/ttyUSB9", root), "");
}

TEST_F(PortDescriptionTest, LinkToTheDeviceIsNamedAsTheDevice) {
    AddUsbDevice("devices/usb1/1-1", "0403", "6001", "FT232R USB UART", "A50285BI");
    AddTty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0");
    MakeDirs("dev");
    MakeDirs("by-id");
    std::ofstream(root + "/dev/ttyUSB0").put('\n');
    std::string link = root + "/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    ASSERT_EQ(::symlink((root + "/dev/ttyUSB0").c_str(), link.c_str()), 0);
    EXPECT_EQ(SerialPortDescription(link, root), "0403:6001 FT232R USB UART (A50285BI)");
}

}  // namespace
