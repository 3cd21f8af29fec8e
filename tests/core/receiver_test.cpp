#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/receiver.h"
#include "frames/frames.h"
#include "kit.h"
#include "usb_bench_fixture.h"

namespace kestavo::test {
namespace {

constexpr char kDongle[] =
    "device 1 2 0x04d2 0x162e\nserial SN1\nconfiguration 1\ninterface 0\naltsetting 0\n"
    "endpoint 0x81 bulk 64\nin-latency-us 1000\n";

class ReceiverTest : public UsbBenchTest {
protected:
    void Log(const std::string& line) {
        std::lock_guard lock(mutex);
        log.push_back(line);
    }
    bool Said(const std::string& line) {
        std::lock_guard lock(mutex);
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    std::mutex mutex;
    std::vector<std::string> log;
};

// The service's road: a kept dongle's transfers reach a relay client, every client is named in the log
// as it comes and goes, and the figures count what happened.
TEST_F(ReceiverTest, AKeptDongleIsRelayedAndEveryClientNamedAndCounted) {
    Devices(kDongle);
    std::string error;
    core::Receiver receiver([this](const std::string& line) { Log(line); });
    const int port = FreePort();
    ASSERT_TRUE(receiver.Relay().Start(port));
    receiver.Keep(*core::ParseDongleChoice("04d2:162e", error));
    auto client = std::make_unique<TcpClient>("127.0.0.1", port);
    const std::string peer = "127.0.0.1 " + std::to_string(client->LocalPort());
    ASSERT_TRUE(WaitUntil([&] {
        receiver.Tick();
        return receiver.Take().framesRelayed > 10;
    }));
    ASSERT_TRUE(client->Read(frames::kConfigurationFrameSize).has_value());
    ASSERT_TRUE(client->Read(frames::kSampleFrameSize).has_value());

    const core::Receiver::Figures figures = receiver.Take();
    EXPECT_TRUE(figures.dongleOpen);
    EXPECT_TRUE(figures.relayRunning);
    EXPECT_EQ(figures.clients, 1U);
    EXPECT_GT(figures.transfers, 0);
    EXPECT_TRUE(Said("Client connected " + peer));
    EXPECT_NE(receiver.Summary().find("1 clients"), std::string::npos) << receiver.Summary();

    client->Reset();
    ASSERT_TRUE(WaitUntil([&] { return Said("Client gone " + peer + " (reset)"); }));
    EXPECT_EQ(receiver.Take().clients, 0U);
    EXPECT_EQ(receiver.Relay().GoneCount(), 1U);
}

// The window's road: with a dispatch, every relay event is handled on the host's own thread while the
// library's thread waits for it, and the table changes only there.
TEST_F(ReceiverTest, ADispatchHandsEveryEventToTheHostsThread) {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<core::RelayEvent> waiting;
    std::size_t handled = 0;
    bool stop = false;
    core::Receiver* host = nullptr;
    std::vector<std::thread::id> handledOn;
    std::thread hostThread([&] {
        std::unique_lock held(lock);
        for (;;) {
            changed.wait(held, [&] { return stop || !waiting.empty(); });
            if (stop) {
                return;
            }
            const core::RelayEvent event = waiting.front();
            waiting.pop_front();
            host->Relay().Handle(event);
            handledOn.push_back(std::this_thread::get_id());
            ++handled;
            changed.notify_all();
        }
    });
    {
        core::Receiver receiver({}, [&](const core::RelayEvent& event) {
            std::unique_lock held(lock);
            const std::size_t mine = handled + waiting.size() + 1;
            waiting.push_back(event);
            changed.notify_all();
            changed.wait(held, [&] { return stop || handled >= mine; });
        });
        host = &receiver;
        const int port = FreePort();
        ASSERT_TRUE(receiver.Relay().Start(port));
        {
            TcpClient client("::1", port);
            ASSERT_TRUE(client.Read(frames::kConfigurationFrameSize).has_value());
            EXPECT_EQ(receiver.Take().clients, 1U);
            ASSERT_TRUE(client.Send("x"));
            ASSERT_TRUE(WaitUntil([&] {
                std::lock_guard held(lock);
                return handled >= 2;
            }));
        }
        ASSERT_TRUE(WaitUntil([&] { return receiver.Take().clients == 0; }));
        {
            std::lock_guard held(lock);
            stop = true;
        }
        changed.notify_all();
    }
    const std::thread::id hostId = hostThread.get_id();
    hostThread.join();
    ASSERT_GE(handledOn.size(), 3U); // connected, data, gone
    for (const std::thread::id on : handledOn) {
        EXPECT_EQ(on, hostId);
    }
}

} // namespace
} // namespace kestavo::test
