#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/receiver.h"
#include "core/texts.h"
#include "frames/frames.h"
#include "kit.h"
#include "usb_bench_fixture.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

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

// The reader is held back only by clients that cannot keep up, and every wait is counted and said at
// most once a minute: a real dongle goes on producing meanwhile, and what is not read is lost in it.
TEST_F(ReceiverTest, EveryWaitOfTheReaderForSlowClientsIsCountedAndSaidOnceAMinute) {
    core::Receiver receiver([this](const std::string& line) { Log(line); });
    const int port = FreePort();
    ASSERT_TRUE(receiver.Relay().Start(port));
    const int fd = ConnectTo("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Take().clients == 1; }));
    std::atomic<std::size_t> pause{0}; // microseconds between reads
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> received{0};
    std::thread reading([&] {
        std::vector<std::uint8_t> buffer(64 * 1024);
        while (!done) {
            const std::size_t chunk = pause == 0 ? buffer.size() : frames::kSampleFrameSize;
            const ssize_t got = ::recv(fd, buffer.data(), chunk, MSG_DONTWAIT);
            if (got > 0) {
                received += static_cast<std::uint64_t>(got);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(got > 0 ? pause.load() : 200));
        }
    });
    // However the test ends, a failed assertion too, the client's thread ends and its socket closes.
    struct Ending {
        std::atomic<bool>& done;
        std::thread& reading;
        int fd;
        ~Ending() {
            done = true;
            reading.join();
            ::close(fd);
        }
    } const ending{done, reading, fd};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_FALSE(receiver.HeldBackReport(start)) << "the first call only begins the minute";

    // A client that keeps up, at 10,000 frames a second, past the point where the reader would wait
    // for one that did not; it could fall so far behind only if a busy machine left it unscheduled
    // for most of two seconds.
    frames::SamplePacket packet;
    std::uint64_t sent = 0;
    for (auto tick = std::chrono::steady_clock::now(); sent * frames::kSampleFrameSize < 640 * 1024;) {
        for (int i = 0; i < 10; ++i, ++sent) {
            receiver.Deliver(packet);
        }
        tick += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(tick);
    }
    EXPECT_TRUE(WaitUntil(
        [&] { return received == frames::kConfigurationFrameSize + sent * frames::kSampleFrameSize; }));
    EXPECT_EQ(receiver.Take().heldBackTimes, 0U);
    EXPECT_FALSE(receiver.HeldBackReport(start + 61s)) << "nothing to say of a minute without a wait";

    // One that reads a frame at a time: the reader, far faster, is held back to it once the kernel's
    // socket buffers, which may take several MiB however slowly the client reads, are full too.
    pause = 20;
    const std::uint64_t keptUp = receiver.Take().heldBackTimes;
    for (std::uint64_t more = 0;
         receiver.Take().heldBackTimes == keptUp && more * frames::kSampleFrameSize < 16 * 1024 * 1024;) {
        for (int i = 0; i < 1000; ++i, ++more, ++sent) {
            receiver.Deliver(packet);
        }
    }
    const core::Receiver::Figures figures = receiver.Take();
    EXPECT_GT(figures.heldBackTimes, keptUp);
    EXPECT_GT(figures.heldBackNs, 0U);
    EXPECT_EQ(receiver.Take().clients, 1U) << "held back to it, not dropped";
    EXPECT_FALSE(receiver.HeldBackReport(start + 90s)) << "once a minute";
    const auto line = receiver.HeldBackReport(start + 122s);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, core::texts::ReaderHeldBack(figures.heldBackNs));
    EXPECT_TRUE(line->starts_with("Reader held back ") &&
                line->ends_with(" ms in the last minute: the clients could not keep up"))
        << *line;
    EXPECT_FALSE(receiver.HeldBackReport(start + 183s)) << "the next minute had no wait";
}

// Every transfer numbered from 0 at each opening, the openings counted from 1: the numbers the outputs
// and the recording are given run exactly as the dongle's own count (the emulated one's samples count its
// transfers since it was plugged in), through an unplugging and back, and the stamps rise with them. A
// read that does not fail is a transfer even when the unplugging ended it with nothing new.
TEST_F(ReceiverTest, NumbersEveryTransferFromZeroAtEachOpeningAsTheDongleCountsThem) {
    Devices(std::string(kDongle) + "in counter\n");
    std::string error;
    core::Receiver receiver([this](const std::string& line) { Log(line); });
    frames::SampleRing ring(1 << 16);
    receiver.FeedPlot(&ring);
    std::vector<frames::StampedSample> taken;
    const auto drain = [&] {
        ring.Drain([&](const frames::StampedSample& sample) { taken.push_back(sample); });
    };
    receiver.Keep(*core::ParseDongleChoice("04d2:162e", error));
    const auto tickUntil = [&](const auto& condition) {
        return WaitUntil([&] {
            receiver.Tick();
            drain();
            return condition();
        });
    };
    ASSERT_TRUE(tickUntil([&] { return taken.size() > 50; }));
    usbbench_unplug(1, 2);
    ASSERT_TRUE(tickUntil([&] { return !receiver.Take().dongleOpen; }));
    const std::size_t first = taken.size();
    usbbench_plug_in(1, 2);
    ASSERT_TRUE(tickUntil([&] { return taken.size() > first + 50; }));
    receiver.Release();
    receiver.FeedPlot(nullptr);
    drain();

    EXPECT_EQ(receiver.Openings(), 2U);
    EXPECT_EQ(ring.Overwritten(), 0U);
    std::uint32_t opening = 1;
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < taken.size(); ++i) {
        const frames::StampedSample& sample = taken[i];
        if (sample.opening != opening) {
            ASSERT_EQ(sample.opening, opening + 1) << i;
            opening = sample.opening;
            expected = 0;
        }
        ASSERT_EQ(sample.transfer, expected) << i;
        const bool lastOfOpening = i + 1 == taken.size() || taken[i + 1].opening != opening;
        if (sample.values[0] != static_cast<std::uint16_t>(expected)) {
            // The read the unplugging ended returned nothing new: its samples are those of the one before.
            EXPECT_TRUE(lastOfOpening && i > 0 && sample.values == taken[i - 1].values) << "at " << i;
        }
        if (i > 0) {
            EXPECT_GE(sample.timeNs, taken[i - 1].timeNs);
        }
        ++expected;
    }
    EXPECT_EQ(opening, 2U);
}

} // namespace
} // namespace kestavo::test
