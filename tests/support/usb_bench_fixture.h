#pragma once

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"
#include "tests/usbbench/client.h"

namespace kestavo::test {

// A test that describes its own USB devices: the bench lays them out in a fresh tree, and the real USB
// library reads that tree once the test initialises it. The library keeps its device list for the life
// of the process, so every test runs in a process of its own (as ctest runs them).
class UsbBenchTest : public ::testing::Test {
protected:
    UsbBenchTest()
        : tree_("USB_DEVFS_PATH", (dir_ / "usb").string()),
          sysfs_("USB_SYSFS_PATH", (dir_ / "sysfs").string()) {}

    static void Devices(const std::string& description) { usbbench::Load(description); }

    TempDir dir_;

private:
    ScopedEnv tree_;
    ScopedEnv sysfs_; // the bench lays out the kernel's sysfs entries of its devices there
};

// A root hub on bus 1, a four-port hub on its port 1, and a dongle (vendor 04d2, product 162e) at each
// (bus, address, port, serial) given.
struct PortedDongle {
    int address;
    const char* port;
    const char* serial;
};
inline std::string HubTree(std::initializer_list<PortedDongle> dongles, const std::string& hubExtra = {}) {
    std::string text = "device 1 1 0x1d6b 0x0002\nhub 4\n" + hubExtra +
                       "device 1 2 0x05e3 0x0608\nhub 4\nport 1-1\n" + hubExtra;
    for (const PortedDongle& dongle : dongles) {
        text += "device 1 " + std::to_string(dongle.address) + " 0x04d2 0x162e\nport " + dongle.port +
                "\nserial " + dongle.serial +
                "\nconfiguration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 512\n";
    }
    return text;
}

} // namespace kestavo::test
