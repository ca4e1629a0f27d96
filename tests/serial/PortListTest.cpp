// Port discovery on a made-up /sys/class/tty tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "PortList.h"

namespace {

class SysfsPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = ::testing::TempDir() + "/kestrel-sysfs-" + std::to_string(::getpid());
        ASSERT_EQ(std::system(("rm -rf " + root + " && mkdir -p " + root).c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + root).c_str()), 0); }

    // A tty entry; withDevice gives it a device link, uartType writes its "type" file.
    void AddTty(const std::string& name, bool withDevice, int uartType = -1) {
        std::string dir = root + "/" + name;
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        if (withDevice) {
            ASSERT_EQ(::symlink(root.c_str(), (dir + "/device").c_str()), 0);
        }
        if (uartType >= 0) std::ofstream(dir + "/type") << uartType << "\n";
    }

    std::string root;
};

TEST_F(SysfsPortsTest, ListsHardwarePortsSortedAndSkipsPlaceholdersAndVirtualTtys) {
    AddTty("ttyUSB0", true);
    AddTty("ttyS0", true, 4);  // a 16550A that exists
    AddTty("ttyS1", true, 0);  // a placeholder without a UART
    AddTty("tty1", false);     // a virtual console
    AddTty("ttyACM2", true);
    AddTty("ttyACM10", true);
    AddTty("ptmx", false);
    EXPECT_EQ(SerialPortsInSysfs(root), (std::vector<std::string>{"/dev/ttyACM10", "/dev/ttyACM2",
                                                                  "/dev/ttyS0", "/dev/ttyUSB0"}));
}

TEST_F(SysfsPortsTest, MissingClassDirectoryGivesNoPorts) {
    EXPECT_TRUE(SerialPortsInSysfs(root + "/none").empty());
}

}  // namespace
