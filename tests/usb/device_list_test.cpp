#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb/device_list.h"
#include "usb_bench_fixture.h"

namespace kestavo::usb {
namespace {

using ::testing::UnorderedElementsAre;

constexpr char kInterface[] = "configuration 1\n"
                              "interface 0\n"
                              "altsetting 0\n"
                              "endpoint 0x81 bulk 64\n";

class DeviceList : public test::UsbBenchTest {
protected:
    int List() {
        InitializeLibrary();
        return ListDevices(slots, entries, [this](const std::string& text) { messages.push_back(text); });
    }

    // The device file of every device the library itself found.
    static std::set<std::string> LibraryDevices() {
        std::set<std::string> found;
        for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
            for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
                found.insert(std::string(bus->dirname) + "/" + device->filename);
            }
        }
        return found;
    }

    DeviceSlots slots{};
    std::vector<std::string> entries;
    std::vector<std::string> messages;
};

TEST_F(DeviceList, LabelsShowTheStringsThatCanBeRead) {
    Devices(std::string("device 1 1 1234 5678\nmanufacturer Maker\nproduct Gadget\nserial SN01\n") +
            kInterface + "device 1 2 1234 5678\nmanufacturer Maker\nproduct Gadget\n" + kInterface +
            "device 1 3 1234 5678\n" + kInterface +                 //
            "device 1 4 1234 5678\nproduct Gadget\n" + kInterface + //
            "device 1 5 171 1\nserial \"A B\"\n" + kInterface +
            "device 1 6 0x04d2 0x162e\nmanufacturer Maker\nbroken-string product\n" + kInterface);
    EXPECT_EQ(List(), 6);
    EXPECT_THAT(entries, UnorderedElementsAre(" (Maker) Gadget  [SN01] [04D2h:162Eh]",
                                              " (Maker) Gadget  [04D2h:162Eh]", " [04D2h:162Eh]",
                                              " Gadget  [04D2h:162Eh]", " [A B] [00ABh:0001h]",
                                              " (Maker) [04D2h:162Eh]"));
    EXPECT_TRUE(messages.empty());
    // Entry i names the device in slot i.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ASSERT_NE(slots[i], nullptr);
        char ids[32];
        std::snprintf(ids, sizeof ids, "[%04Xh:%04Xh]", slots[i]->descriptor.idVendor,
                      slots[i]->descriptor.idProduct);
        EXPECT_TRUE(entries[i].ends_with(ids)) << entries[i];
    }
    EXPECT_EQ(slots[6], nullptr);
}

TEST_F(DeviceList, DevicesThatCannotBeOpenedAreLeftOutOrShownWithoutStrings) {
    Devices(std::string("device 1 1 1 1\nproduct Fine\n") + kInterface +
            // Never opened at all: the library's own scan leaves it out.
            "device 1 2 2 2\nproduct Refused\nrefuse-open\n" + kInterface +
            // Found by the scan, then gone. This build of the library hands out a handle even when the
            // open fails, so the device is listed, without the strings it can no longer give.
            "device 1 3 3 3\nproduct Vanished\nopen-limit 2\n" + kInterface +
            // Without write permission every request is refused, the strings too.
            "device 1 4 4 4\nproduct Locked\nread-only\n" + kInterface);
    EXPECT_EQ(List(), 3);
    EXPECT_EQ(LibraryDevices(), (std::set<std::string>{"001/001", "001/003", "001/004"}));
    EXPECT_THAT(entries, UnorderedElementsAre(" Fine  [0001h:0001h]", " [0003h:0003h]", " [0004h:0004h]"));
    EXPECT_EQ(slots[3], nullptr);
}

TEST_F(DeviceList, IdenticalDevicesGetIdenticalEntriesAndSlotsOfTheirOwn) {
    Devices(std::string("device 1 7 0x1234 0x5678\nproduct Twin\n") + kInterface +
            "device 2 7 0x1234 0x5678\nproduct Twin\n" + kInterface);
    ASSERT_EQ(List(), 2);
    EXPECT_EQ(entries[0], entries[1]);
    ASSERT_NE(slots[0], slots[1]);
    EXPECT_NE(std::string(slots[0]->bus->dirname), std::string(slots[1]->bus->dirname));
}

TEST_F(DeviceList, NoDeviceListsNothing) {
    Devices("bus 1\n");
    EXPECT_EQ(List(), 0);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(slots[0], nullptr);
}

TEST_F(DeviceList, StopsWhenEverySlotIsTaken) {
    std::string description;
    for (int i = 0; i < 300; ++i) {
        description += "device " + std::to_string(1 + i / 100) + " " + std::to_string(1 + i % 100) + " " +
                       std::to_string(i) + " 1\n" + kInterface;
    }
    Devices(description);
    EXPECT_EQ(List(), 256);
    EXPECT_EQ(entries.size(), 256U);
    const std::set<struct usb_device*> distinct(slots.begin(), slots.end());
    EXPECT_EQ(distinct.size(), 256U);
    EXPECT_EQ(distinct.count(nullptr), 0U);
}

TEST_F(DeviceList, InterfacesAreLookedUpInTheDevicesOwnConfiguration) {
    Devices("device 1 1 1 1\nconfiguration 1\n"
            "interface 1\naltsetting 0\nendpoint 0x81 bulk 64\n"
            "interface 2\naltsetting 0\nendpoint 0x82 bulk 64\n"
            "interface 3\n" // counted, but without an alternate setting
            "device 1 2 2 2\nconfiguration 1\ninterface 0\n"
            "device 1 3 3 3\n");
    ASSERT_EQ(List(), 3);
    struct usb_device* numbered = nullptr;
    struct usb_device* empty = nullptr;
    struct usb_device* unconfigured = nullptr;
    for (std::size_t i = 0; i < 3; ++i) {
        const int vendor = slots[i]->descriptor.idVendor;
        (vendor == 1 ? numbered : vendor == 2 ? empty : unconfigured) = slots[i];
    }

    usb_interface_descriptor* fallback = nullptr;
    EXPECT_EQ(FindInterface(numbered->config, 0, &fallback), nullptr);
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->bInterfaceNumber, 1);
    usb_interface_descriptor* two = FindInterface(numbered->config, 2, &fallback);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->bInterfaceNumber, 2);
    EXPECT_EQ(two->endpoint[0].bEndpointAddress, 0x82);
    EXPECT_EQ(fallback->bInterfaceNumber, 1);
    EXPECT_EQ(FindInterface(numbered->config, 3, &fallback), nullptr) << "no alternate setting, not found";

    EXPECT_EQ(FindInterface(empty->config, 0, &fallback), nullptr);
    EXPECT_EQ(fallback, nullptr);
    EXPECT_EQ(unconfigured->config, nullptr);
    EXPECT_EQ(FindInterface(unconfigured->config, 0, &fallback), nullptr);
    EXPECT_EQ(fallback, nullptr);
}

} // namespace
} // namespace kestavo::usb
