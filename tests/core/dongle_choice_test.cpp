#include <string>

#include <gtest/gtest.h>

#include "core/dongle_choice.h"
#include "tests/usbbench/usbbench.h"
#include "usb_bench_fixture.h"

namespace kestavo::test {
namespace {

TEST(DongleChoice, ReadsIdsWithOrWithoutSerialAndPlaces) {
    std::string error;
    const auto ids = core::ParseDongleChoice("4D2:162e", error);
    ASSERT_TRUE(ids);
    EXPECT_FALSE(ids->byPlace);
    EXPECT_EQ(ids->vendor, 0x04D2U);
    EXPECT_EQ(ids->product, 0x162EU);
    EXPECT_FALSE(ids->serial);
    EXPECT_EQ(core::Describe(*ids), "04d2:162e");

    const auto serial = core::ParseDongleChoice("04d2:162e:SN:7 b", error);
    ASSERT_TRUE(serial && serial->serial);
    EXPECT_EQ(*serial->serial, "SN:7 b") << "the serial is the whole rest";

    const auto place = core::ParseDongleChoice("001/012", error);
    ASSERT_TRUE(place);
    EXPECT_TRUE(place->byPlace);
    EXPECT_EQ(place->bus, 1);
    EXPECT_EQ(place->address, 12);
    EXPECT_EQ(core::Describe(*place), "001/012");

    const auto port = core::ParseDongleChoice("port:1-1.4", error);
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->byPort);
    EXPECT_EQ(port->port, (usb::PortPath{1, {1, 4}}));
    EXPECT_EQ(core::Describe(*port), "port:1-1.4");

    for (const char* bad :
         {"",           "04d2",       "04d2:",    "12345:1",     "xyz:1",    "04d2:162e:",
          "1/",         "/2",         "1/0",      "-1/2",        "04d2:+1",  "port:",
          "port:1",     "port:1-",    "port:1-0", "port:1-1..2", "port:x-1", "port:1-1.2.3.4.5.6.7",
          "port:1-128", "port:1-1.4 "}) {
        error.clear();
        EXPECT_FALSE(core::ParseDongleChoice(bad, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

class ChoosingADongle : public UsbBenchTest {
protected:
    static std::string Found(const std::string& text, std::string* ambiguity = nullptr) {
        usb_find_busses();
        usb_find_devices();
        std::string error;
        const core::Found found = core::FindDevice(*core::ParseDongleChoice(text, error));
        if (ambiguity != nullptr) {
            *ambiguity = found.ambiguity;
        }
        return found.device == nullptr
                   ? "none"
                   : std::string(found.device->bus->dirname) + "/" + found.device->filename;
    }
};

// Two dongles of one batch, the same serial: the port tells them apart across a replug, and a choice
// by serial names both rather than opening either.
TEST_F(ChoosingADongle, ByPortAcrossAReplugAndNeverASilentPickOfTwo) {
    Devices(HubTree({{5, "1-1.4", "SN7"}, {3, "1-2", "SN7"}, {4, "1-1.1", "SN8"}}));
    usb_init();
    EXPECT_EQ(Found("port:1-2"), "001/003");
    EXPECT_EQ(Found("port:1-1.4"), "001/005");
    EXPECT_EQ(Found("port:1-3"), "none");
    EXPECT_EQ(Found("04d2:162e:SN8"), "001/004");
    std::string ambiguity;
    EXPECT_EQ(Found("04d2:162e:SN7", &ambiguity), "none");
    EXPECT_EQ(ambiguity, "04d2:162e:SN7 matches 2 devices: 001/003 (port 1-2) and 001/005 (port 1-1.4); "
                         "choose one: port:1-2 or port:1-1.4");
    Found("04d2:162e", &ambiguity);
    EXPECT_NE(ambiguity.find("matches 3 devices: 001/003 (port 1-2), 001/004 (port 1-1.1) and 001/005"),
              std::string::npos)
        << ambiguity;

    ASSERT_EQ(usbbench_unplug(1, 3), 0);
    EXPECT_EQ(Found("port:1-2"), "none");
    EXPECT_EQ(Found("04d2:162e:SN7", &ambiguity), "001/005") << "one left is no longer a guess";
    ASSERT_EQ(usbbench_plug_in(1, 3), 0);
    EXPECT_EQ(Found("port:1-2"), "001/006");
}

// Hub nodes are usually root's: for any other user the kernel's sysfs entries answer instead.
TEST_F(ChoosingADongle, WhereTheHubsRefuseTheQuerySysfsAnswersIt) {
    Devices(HubTree({{5, "1-1.4", "SN7"}, {3, "1-2", "SN7"}}, "read-only\n"));
    usbbench_clear_journal();
    usb_init();
    EXPECT_EQ(Found("port:1-1.4"), "001/005");
    EXPECT_EQ(Found("port:1-2"), "001/003");
    EXPECT_EQ(usbbench::Journal().find("hub ports"), std::string::npos) << usbbench::Journal();
}

} // namespace
} // namespace kestavo::test
