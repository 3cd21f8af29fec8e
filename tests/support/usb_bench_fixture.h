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
    UsbBenchTest() : tree_("USB_DEVFS_PATH", (dir_ / "usb").string()) {}

    static void Devices(const std::string& description) { usbbench::Load(description); }

    TempDir dir_;

private:
    ScopedEnv tree_;
};

} // namespace kestavo::test
