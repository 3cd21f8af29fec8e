#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/dongle.h"
#include "kit.h"
#include "usb_bench_fixture.h"

namespace kestavo::test {
namespace {

class DongleTest : public UsbBenchTest {
protected:
    std::size_t Said(const std::string& start) {
        return static_cast<std::size_t>(std::count_if(
            log.begin(), log.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
    }
    std::vector<std::string> log;
};

// A dongle that is there but answers no read (here every claim, and so every transfer, fails with
// EBUSY) is tried again every tick, and says so once rather than every second.
TEST_F(DongleTest, OneThatAnswersNoReadIsRetriedQuietly) {
    Devices("device 1 2 0x04d2 0x162e\nclaim-fails EBUSY\nconfiguration 1\ninterface 0\naltsetting 0\n"
            "endpoint 0x81 bulk 64\n");
    std::string error;
    core::Dongle dongle(*core::ParseDongleChoice("04d2:162e", error), nullptr,
                        [&](const std::string& line) { log.push_back(line); });
    const auto claims = [] {
        const std::string journal = usbbench::Journal();
        std::size_t count = 0;
        for (auto at = journal.find("claim"); at != std::string::npos; at = journal.find("claim", at + 1)) {
            ++count;
        }
        return count;
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            dongle.Tick();
            return claims() >= 4;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(Said("Dongle opened: 04d2:162e"), 1U);
    EXPECT_EQ(Said("Claiming interface #0!"), 1U);
    EXPECT_EQ(Said("Dongle lost: 04d2:162e (Device or resource busy)"), 1U);
    EXPECT_EQ(Said("Dongle 04d2:162e answers no read; trying again every second, quietly"), 1U);
    for (const std::string& line : log) {
        EXPECT_EQ(Said(line), 1U) << line << ": said again on a later attempt";
    }
}

// Unplugged, the dongle is closed and looked for again; the rescan that finds it gone frees its record,
// which nothing may touch afterwards (AddressSanitizer watches); plugged back, it is opened and read.
TEST_F(DongleTest, OneUnpluggedIsClosedAndOpenedAgainWhenItIsBack) {
    Devices("device 1 2 0x04d2 0x162e\nserial SN1\nconfiguration 1\ninterface 0\naltsetting 0\n"
            "endpoint 0x81 bulk 64\nin-latency-us 1000\n");
    std::string error;
    std::atomic<std::uint64_t> packets{0};
    core::Dongle dongle(
        *core::ParseDongleChoice("04d2:162e:SN1", error), [&](const frames::SamplePacket&) { ++packets; },
        [&](const std::string& line) { log.push_back(line); });
    const auto tickUntil = [&](const auto& condition) {
        return WaitUntil([&] {
            dongle.Tick();
            return condition();
        });
    };
    ASSERT_TRUE(tickUntil([&] { return packets > 10; }));
    usbbench_unplug(1, 2);
    ASSERT_TRUE(tickUntil([&] { return Said("Dongle absent: 04d2:162e:SN1") == 1; })) << log.back();
    EXPECT_EQ(Said("Dongle lost: 04d2:162e:SN1 (No such device)"), 1U);
    EXPECT_FALSE(dongle.IsOpen());
    usbbench_plug_in(1, 2);
    const std::uint64_t before = packets;
    ASSERT_TRUE(tickUntil([&] { return packets > before + 10; })) << log.back();
    EXPECT_EQ(Said("Dongle back: 04d2:162e:SN1 (bus 001, address 002)"), 1U);
    EXPECT_GE(dongle.Counted().transfers, 18) << "both openings counted";
}

} // namespace
} // namespace kestavo::test
