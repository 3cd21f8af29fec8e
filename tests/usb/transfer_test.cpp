#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kit.h"
#include "usb/transfer.h"
#include "usb_bench_fixture.h"

namespace kestavo::usb {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Dongle(const std::string& endpoints, const std::string& stream = "") {
    return "device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n" + endpoints + stream;
}

// Opens the emulated device as Open does, and runs the connection with every message and every
// relayed packet captured.
class Transfers : public test::UsbBenchTest {
protected:
    ~Transfers() override { StopTransfers(params, readSide, writeSide); }

    // Opens the device at this address of bus 1 and prepares the connection; false when the
    // preparation stopped.
    bool Open(const std::string& description, int address = 2) {
        Devices(description);
        InitializeLibrary();
        return OpenDevice(Device(address));
    }

    static struct usb_device* Device(int address) {
        for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
            for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
                if (device->devnum == address) {
                    return device;
                }
            }
        }
        ADD_FAILURE() << "no device at address " << address;
        return nullptr;
    }

    bool OpenDevice(struct usb_device* device) {
        params.device = device;
        params.deviceHandle = usb_open(device);
        params.vendorId = device->descriptor.idVendor;
        params.productId = device->descriptor.idProduct;
        params.stopRequest = 0;
        return PrepareConnection(
            params, readSide, writeSide, [this](const std::string& text) { messages.push_back(text); },
            [this](const frames::SamplePacket& packet) {
                {
                    std::lock_guard lock(packetsMutex);
                    packets.push_back(packet);
                }
                packetArrived.notify_all();
            });
    }

    // Waits until the reader has relayed count packets.
    bool AwaitPackets(std::size_t count) {
        std::unique_lock lock(packetsMutex);
        return packetArrived.wait_for(lock, 10s, [&] { return packets.size() >= count; });
    }

    TransferStatistics Statistics() {
        std::lock_guard lock(StatisticsLock());
        return readSide->statistics;
    }

    // Waits until the read side's statistics satisfy condition.
    template <typename Condition> bool AwaitStatistics(Condition condition) {
        return test::WaitUntil([&] { return condition(Statistics()); });
    }

    // Waits until the device has seen a read submitted that it will never complete.
    static bool AwaitPendingRead(int submitted, int address = 2) {
        return test::WaitUntil(
            [&] { return usbbench::Counters(1, address).submitted >= static_cast<unsigned>(submitted); });
    }

    TestParams params;
    std::unique_ptr<TransferContext> readSide;
    std::unique_ptr<TransferContext> writeSide;
    std::vector<std::string> messages;
    std::mutex packetsMutex;
    std::condition_variable packetArrived;
    std::vector<frames::SamplePacket> packets;
};

TEST_F(Transfers, EndpointsAreTakenByDirectionOrByExactAddress) {
    const std::string endpoints = "endpoint 0x03 bulk 64\nendpoint 0x83 bulk 64\n"
                                  "endpoint 0x02 bulk 64\nendpoint 0x82 bulk 64\n";
    ASSERT_TRUE(Open(Dongle(endpoints)));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readSide->endpoint.bEndpointAddress, 0x83);
    EXPECT_EQ(writeSide->endpoint.bEndpointAddress, 0x03);
    StopTransfers(params, readSide, writeSide);

    params.endpointAddress = 2;
    ASSERT_TRUE(OpenDevice(params.device));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readSide->endpoint.bEndpointAddress, 0x82);
    EXPECT_EQ(writeSide->endpoint.bEndpointAddress, 0x02);
}

TEST_F(Transfers, MissingInterfacesAndEndpointsAreReportedAndTheOtherSideStillWorks) {
    ASSERT_TRUE(Open(Dongle("endpoint 0x81 bulk 64\n", "in sequence 010203040506\n")));
    EXPECT_EQ(messages,
              (std::vector<std::string>{"failed locating EP00h!\n", "Error in creating the write test!"}));
    ASSERT_NE(readSide, nullptr);
    EXPECT_EQ(writeSide, nullptr);
    Resume(*readSide);
    ASSERT_TRUE(AwaitPackets(1));

    messages.clear();
    params.interfaceNumber = 7;
    EXPECT_EQ(CreateTransferContext(params, 0x80,
                                    [this](const std::string& text) { messages.push_back(text); }, {}),
              nullptr);
    EXPECT_THAT(messages, ElementsAre("failed locating interface 07h!\n"));
}

TEST_F(Transfers, TheInterfaceFallsBackToTheFirstUsableOneOrTheConnectionStops) {
    ASSERT_TRUE(Open("device 1 2 1 2\nconfiguration 1\n"
                     "interface 1\naltsetting 0\nendpoint 0x81 bulk 64\nendpoint 0x01 bulk 64\n"
                     "interface 2\naltsetting 0\nendpoint 0x82 bulk 64\n"
                     "device 1 3 0x1234 0xABCD\nconfiguration 1\ninterface 0\n"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(params.interfaceNumber, 1);
    EXPECT_EQ(readSide->endpoint.bEndpointAddress, 0x81);
    StopTransfers(params, readSide, writeSide);

    params.interfaceNumber = 0;
    EXPECT_FALSE(OpenDevice(Device(3)));
    EXPECT_THAT(messages, ElementsAre("Device 1234:ABCD does not have any interfaces!"));
    EXPECT_EQ(readSide, nullptr);
    EXPECT_EQ(writeSide, nullptr);
}

TEST_F(Transfers, TheBufferSizeMustBeAWholeNumberOfPackets) {
    std::string description;
    const std::vector<int> sizes{10, 0, 8, 16, 32, 64, 512};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        description += "device 1 " + std::to_string(i + 1) +
                       " 1 1\nconfiguration 1\ninterface 0\naltsetting 0\n" + "endpoint 0x81 bulk " +
                       std::to_string(sizes[i]) + "\nendpoint 0x01 bulk 64\n";
    }
    ASSERT_TRUE(Open(description, 1));
    EXPECT_THAT(messages,
                ElementsAre("buffer size 4096 is not an interval of EP81h maximum packet size of 10!\n",
                            "Error in creating the read test!"));
    EXPECT_EQ(readSide, nullptr);
    StopTransfers(params, readSide, writeSide);

    messages.clear();
    ASSERT_TRUE(OpenDevice(Device(2)));
    EXPECT_THAT(messages,
                ElementsAre("buffer size 4096 is not an interval of EP81h maximum packet size of 0!\n",
                            "Error in creating the read test!"));
    StopTransfers(params, readSide, writeSide);

    for (std::size_t address = 3; address <= sizes.size(); ++address) {
        messages.clear();
        ASSERT_TRUE(OpenDevice(Device(static_cast<int>(address))));
        EXPECT_TRUE(messages.empty()) << messages.front();
        EXPECT_NE(readSide, nullptr) << "maximum packet size " << sizes[address - 1];
        StopTransfers(params, readSide, writeSide);
    }
}

TEST_F(Transfers, EachReadBecomesASamplePacketAndTheFirstPassesWarmUpTheStatistics) {
    // Six bytes, then an empty transfer: its packet repeats what the buffer held.
    ASSERT_TRUE(Open(Dongle("endpoint 0x81 bulk 64\n", "in sequence 010203040506;;A1A2A3A4A5A6;\n"
                                                       "in-silence-after 2\n")));
    Resume(*readSide);
    ASSERT_TRUE(AwaitPackets(2));
    ASSERT_TRUE(AwaitPendingRead(3));
    {
        std::lock_guard lock(packetsMutex);
        EXPECT_EQ(packets[0].samples[0], 0x0102);
        EXPECT_EQ(packets[0].samples[1], 0x0304);
        EXPECT_EQ(packets[0].samples[2], 0x0506);
        EXPECT_EQ(packets[1].samples[0], 0x0102) << "an empty read leaves the buffer as it was";
    }
    EXPECT_EQ(Statistics().firstTick, 0U) << "two passes leave no trace";
    EXPECT_EQ(Statistics().transferCount, 0);
}

TEST_F(Transfers, TheThirdPassStartsTheCountAndTheFourthIsCounted) {
    // Two devices alike, one falling silent after three transfers, the other after four.
    const std::string interface = "configuration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 64\n"
                                  "endpoint 0x01 bulk 64\nin sequence 010203040506\n";
    ASSERT_TRUE(Open("device 1 2 1 1\n" + interface + "in-silence-after 3\n" + "device 1 3 1 1\n" +
                     interface + "in-silence-after 4\n"));
    Resume(*readSide);
    ASSERT_TRUE(AwaitPendingRead(4));
    TransferStatistics statistics = Statistics();
    EXPECT_NE(statistics.firstTick, 0U);
    EXPECT_EQ(statistics.firstTick, statistics.lastTick);
    EXPECT_EQ(statistics.totalBytes, 0);
    EXPECT_EQ(statistics.transferCount, 0);
    StopTransfers(params, readSide, writeSide);

    ASSERT_TRUE(OpenDevice(Device(3)));
    Resume(*readSide);
    ASSERT_TRUE(AwaitPendingRead(5, 3));
    statistics = Statistics();
    EXPECT_EQ(statistics.totalBytes, 6);
    EXPECT_EQ(statistics.transferCount, 1);
}

TEST_F(Transfers, AFailedReadRelaysNothingAndCountsAsATransferWithoutBytes) {
    // Transfers 3 and 4 (counting from 0) fail: one with the timeout code, one otherwise.
    ASSERT_TRUE(Open(Dongle("endpoint 0x81 bulk 64\n", "in sequence 010203040506\nin-fail ETIMEDOUT 3 1\n"
                                                       "in-silence-after 6\n")));
    Resume(*readSide);
    ASSERT_TRUE(AwaitPendingRead(7));
    ASSERT_TRUE(AwaitStatistics([](const TransferStatistics& s) { return s.transferCount == 3; }));
    const TransferStatistics statistics = Statistics();
    EXPECT_EQ(statistics.totalBytes, 12);
    EXPECT_EQ(statistics.timeoutErrors, 1);
    EXPECT_EQ(statistics.otherErrors, 0);
    std::lock_guard lock(packetsMutex);
    EXPECT_EQ(packets.size(), 5U);
}

TEST_F(Transfers, EveryKindOfFailedReadIsCountedAndTheReaderCarriesOn) {
    // Each errno a usbfs transfer can end with: transfers 3 to 5 fail with it, then data flows again.
    std::string description;
    const std::vector<std::string> errors{"EPIPE",      "EOVERFLOW", "EPROTO",    "EILSEQ", "ESHUTDOWN",
                                          "ECONNRESET", "ENOMEM",    "EREMOTEIO", "EIO",    "ENOSR",
                                          "EXDEV",      "EINVAL",    "ETIMEDOUT"};
    for (std::size_t i = 0; i < errors.size(); ++i) {
        description += "device 1 " + std::to_string(i + 1) +
                       " 1 1\nconfiguration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 64\n"
                       "endpoint 0x01 bulk 64\nin counter\nin-fail " +
                       errors[i] + " 3 3\n";
    }
    ASSERT_TRUE(Open(description, 1));
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (i > 0) {
            ASSERT_TRUE(OpenDevice(Device(static_cast<int>(i + 1))));
        }
        Resume(*readSide);
        ASSERT_TRUE(AwaitStatistics([](const TransferStatistics& s) { return s.transferCount >= 6; }))
            << errors[i];
        const TransferStatistics statistics = Statistics();
        EXPECT_EQ(statistics.timeoutErrors + statistics.otherErrors, 3) << errors[i];
        EXPECT_EQ(statistics.timeoutErrors, errors[i] == "ETIMEDOUT" ? 3 : 0) << errors[i];
        EXPECT_GE(statistics.totalBytes, 3 * 64) << errors[i];
        StopTransfers(params, readSide, writeSide);
    }
    EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(Transfers, StoppingEndsAPendingReadAtOnce) {
    ASSERT_TRUE(Open(Dongle("endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\n", "in-silence-after 0\n")));
    Resume(*readSide);
    ASSERT_TRUE(AwaitPendingRead(1));
    const auto started = std::chrono::steady_clock::now();
    StopTransfers(params, readSide, writeSide);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, 5s) << "the read's own timeout is 30 s";
    EXPECT_EQ(params.deviceHandle, nullptr);
    EXPECT_EQ(readSide, nullptr);
    EXPECT_EQ(writeSide, nullptr);
    std::lock_guard lock(packetsMutex);
    EXPECT_TRUE(packets.empty()) << "the read the stop ended is not relayed";
}

TEST_F(Transfers, AnUnpluggedDeviceFailsEveryReadWithoutSpinning) {
    ASSERT_TRUE(Open(Dongle("endpoint 0x81 bulk 64\n", "in-unplug-after 5\n")));
    Resume(*readSide);
    ASSERT_TRUE(AwaitStatistics([](const TransferStatistics& s) { return s.otherErrors >= 1; }));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(AwaitStatistics([](const TransferStatistics& s) { return s.otherErrors >= 6; }));
    // Five more failures took at least five rests between them.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 5 * 15ms);
    EXPECT_EQ(Statistics().totalBytes, 2 * 64);
    StopTransfers(params, readSide, writeSide);
}

TEST_F(Transfers, AnIsochronousEndpointIsNeverReadAndItsWorkerStillStops) {
    ASSERT_TRUE(Open(Dongle("endpoint 0x81 isochronous 64\nendpoint 0x02 bulk 64\n")));
    EXPECT_EQ(params.isochronous, 1);
    Resume(*readSide);
    ASSERT_TRUE(test::WaitUntil([&] { return readSide->running == 1; }));
    StopTransfers(params, readSide, writeSide);
    EXPECT_EQ(usbbench::Counters(1, 2).submitted, 0U);
    EXPECT_THAT(usbbench::Journal(), ::testing::Not(HasSubstr("submit")));
}

} // namespace
} // namespace kestavo::usb
