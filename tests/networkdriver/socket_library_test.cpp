#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kit.h"
#include "networkdriver/network_driver.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

struct Event {
    enum Kind { Connected, Data, Gone } kind;
    NetHandle handle;
    std::int64_t value; // the port, the bytes received, or the reason
};

// What the library reported, for the test to wait on. The callbacks are plain functions, so it lives
// in one place, for the whole process: a report may still arrive while a test ends.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    std::atomic<bool> takeData{true};

    void Add(Event event) {
        {
            std::lock_guard lock(mutex);
            events.push_back(event);
        }
        changed.notify_all();
    }
    std::vector<Event> Of(Event::Kind kind) {
        std::lock_guard lock(mutex);
        std::vector<Event> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [&](const Event& event) { return event.kind == kind; });
        return found;
    }
    // Waits until count events of the kind have come; returns them.
    std::vector<Event> Await(Event::Kind kind, std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] {
            return static_cast<std::size_t>(
                       std::count_if(events.begin(), events.end(),
                                     [&](const Event& event) { return event.kind == kind; })) >= count;
        });
        lock.unlock();
        return Of(kind);
    }
};
Recorder& Reports() {
    static Recorder* recorder = new Recorder;
    return *recorder;
}

bool OnData(NetHandle client) {
    std::int32_t value = 0;
    const std::int32_t got = Reports().takeData ? ReceiveData(client, &value) : 0;
    Reports().Add({Event::Data, client, got});
    return true;
}
bool OnGone(NetHandle client, std::uint32_t reason) {
    Reports().Add({Event::Gone, client, reason});
    return true;
}
bool OnConnected(std::int32_t port, NetHandle client) {
    Reports().Add({Event::Connected, client, port});
    return true;
}

class SocketLibrary : public ::testing::Test {
protected:
    ~SocketLibrary() override {
        if (server != 0) {
            ReleaseSocket(server);
        }
    }

    NetHandle Start(int onPort) {
        server = InitializeSocketWithCallbackANDString(OnData, OnGone, OnConnected, 0, onPort, 1, 1,
                                                       "127.0.0.1", "239.192.0.1", 65500, 65500);
        return server;
    }

    Recorder& recorder = Reports();
    int port = FreePort();
    NetHandle server = 0;
};

TEST_F(SocketLibrary, ClientsConnectOverIpv4AndIpv6WithHandlesOfTheirOwn) {
    ASSERT_NE(Start(port), 0U);
    TcpClient v4("127.0.0.1", port);
    TcpClient v6("::1", port);
    ASSERT_TRUE(v4.Connected());
    ASSERT_TRUE(v6.Connected());
    const auto connected = recorder.Await(Event::Connected, 2);
    ASSERT_EQ(connected.size(), 2U);
    const std::set<std::int64_t> ports{connected[0].value, connected[1].value};
    EXPECT_EQ(ports, (std::set<std::int64_t>{v4.LocalPort(), v6.LocalPort()})) << "each with its own port";
    const std::set<NetHandle> handles{server, connected[0].handle, connected[1].handle};
    EXPECT_EQ(handles.size(), 3U);
    EXPECT_EQ(handles.count(0), 0U);
}

TEST_F(SocketLibrary, APortThatCannotBeListenedOnGivesNoServer) {
    ASSERT_NE(Start(port), 0U);
    EXPECT_EQ(InitializeSocketWithCallbackANDString(OnData, OnGone, OnConnected, 0, port, 1, 1, "", "", 0, 0),
              0U)
        << "in use";
    for (const int bad : {0, -1, 65536, 70000}) {
        EXPECT_EQ(
            InitializeSocketWithCallbackANDString(OnData, OnGone, OnConnected, 0, bad, 1, 1, "", "", 0, 0),
            0U)
            << bad;
    }
}

TEST_F(SocketLibrary, SendsArriveWholeAndInCallOrderFromManyThreads) {
    ASSERT_NE(Start(port), 0U);
    TcpClient client("127.0.0.1", port);
    const NetHandle handle = recorder.Await(Event::Connected, 1).at(0).handle;

    constexpr int kThreads = 4;
    constexpr int kSends = 2000;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kSends; ++i) {
                // Eight bytes: the sender, then its count, so that the test can tell pieces apart.
                const std::uint32_t message[2] = {static_cast<std::uint32_t>(t),
                                                  static_cast<std::uint32_t>(i)};
                EXPECT_EQ(SendData(handle, message, sizeof message), 8);
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    const auto bytes = client.Read(kThreads * kSends * 8);
    ASSERT_TRUE(bytes);
    std::vector<std::uint32_t> next(kThreads, 0);
    for (std::size_t at = 0; at < bytes->size(); at += 8) {
        std::uint32_t message[2];
        std::memcpy(message, bytes->data() + at, 8);
        ASSERT_LT(message[0], static_cast<std::uint32_t>(kThreads));
        EXPECT_EQ(message[1], next[message[0]]++) << "each thread's sends in order, none cut";
    }
    EXPECT_EQ(SendData(0, "x", 1), -1);
    EXPECT_EQ(SendData(handle, nullptr, 4), -1);
}

TEST_F(SocketLibrary, ClientsThatLeaveAreReportedOnceWithTheirReason) {
    ASSERT_NE(Start(port), 0U);
    auto closing = std::make_unique<TcpClient>("127.0.0.1", port);
    auto resetting = std::make_unique<TcpClient>("::1", port);
    const auto connected = recorder.Await(Event::Connected, 2);
    closing->Close();
    resetting->Reset();
    const auto gone = recorder.Await(Event::Gone, 2);
    ASSERT_EQ(gone.size(), 2U);
    std::set<NetHandle> goneHandles{gone[0].handle, gone[1].handle};
    EXPECT_EQ(goneHandles, (std::set<NetHandle>{connected[0].handle, connected[1].handle}));
    EXPECT_EQ(SendData(gone[0].handle, "x", 1), -1) << "a gone client takes nothing more";
    std::this_thread::sleep_for(50ms); // a second report would come now, if there were one
    EXPECT_EQ(recorder.Of(Event::Gone).size(), 2U);
}

TEST_F(SocketLibrary, WhatAClientSendsIsTakenAndDroppedAndItKeepsReceiving) {
    ASSERT_NE(Start(port), 0U);
    TcpClient client("127.0.0.1", port);
    const NetHandle handle = recorder.Await(Event::Connected, 1).at(0).handle;
    ASSERT_TRUE(client.Send("ABCDEFGH"));
    const auto data = recorder.Await(Event::Data, 1);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data[0].handle, handle);
    EXPECT_GT(data[0].value, 0);
    EXPECT_EQ(SendData(handle, "ok", 2), 2);
    const auto reply = client.Read(2);
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::string(reply->begin(), reply->end()), "ok");
}

TEST_F(SocketLibrary, DataNobodyTakesIsDroppedWithoutSpinning) {
    recorder.takeData = false;
    ASSERT_NE(Start(port), 0U);
    TcpClient client("127.0.0.1", port);
    const NetHandle handle = recorder.Await(Event::Connected, 1).at(0).handle;
    const std::string flood(1 << 20, 'x');
    ASSERT_TRUE(client.Send(flood));
    std::int32_t value = 0;
    EXPECT_TRUE(
        WaitUntil([&] { return ReceiveData(handle, &value) == 0 && recorder.Of(Event::Data).size() >= 1; }));
    // With nothing left to read, no more data reports come.
    const std::size_t reports = recorder.Of(Event::Data).size();
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(recorder.Of(Event::Data).size(), reports + 1);
    EXPECT_LT(reports, flood.size() / 1024) << "reports come per chunk, not per byte";
}

TEST_F(SocketLibrary, AStalledClientIsDroppedWhileTheOthersReceiveEverything) {
    ASSERT_NE(Start(port), 0U);
    TcpClient stalled("127.0.0.1", port);
    stalled.ShrinkReceiveBuffer();
    TcpClient reader("127.0.0.1", port);
    const auto connected = recorder.Await(Event::Connected, 2);
    const NetHandle stalledHandle =
        connected[0].value == stalled.LocalPort() ? connected[0].handle : connected[1].handle;
    const NetHandle readerHandle =
        stalledHandle == connected[0].handle ? connected[1].handle : connected[0].handle;

    std::atomic<bool> done{false};
    std::vector<std::uint8_t> received;
    std::thread reading([&] {
        while (!done) {
            if (auto bytes = reader.Read(28 * 100, 200ms)) {
                received.insert(received.end(), bytes->begin(), bytes->end());
            }
        }
    });
    std::uint8_t frame[28] = {};
    std::uint32_t sent = 0;
    const bool dropped = WaitUntil(
        [&] {
            for (int i = 0; i < 100; ++i, ++sent) {
                std::memcpy(frame, &sent, sizeof sent);
                SendData(stalledHandle, frame, sizeof frame);
                SendData(readerHandle, frame, sizeof frame);
            }
            return !recorder.Of(Event::Gone).empty();
        },
        60s);
    done = true;
    reading.join();
    ASSERT_TRUE(dropped);
    const auto gone = recorder.Of(Event::Gone);
    EXPECT_EQ(gone.at(0).handle, stalledHandle);
    EXPECT_EQ(gone.at(0).value, kGoneTooSlow);
    EXPECT_GE(sent * 28U, 4U * 1024 * 1024) << "not before its queue was full";

    if (auto rest = reader.Read(sent * 28U - received.size(), 10s); rest) {
        received.insert(received.end(), rest->begin(), rest->end());
    }
    ASSERT_EQ(received.size(), sent * 28U);
    for (std::uint32_t i = 0; i < sent; ++i) {
        std::uint32_t number = 0;
        std::memcpy(&number, received.data() + i * 28U, sizeof number);
        ASSERT_EQ(number, i);
    }
}

TEST_F(SocketLibrary, ReleasingFlushesWhatWasQueuedThenCloses) {
    ASSERT_NE(Start(port), 0U);
    TcpClient client("127.0.0.1", port);
    const NetHandle handle = recorder.Await(Event::Connected, 1).at(0).handle;
    const std::string goodbye(100000, 'g');
    EXPECT_EQ(SendData(handle, goodbye.data(), static_cast<std::int32_t>(goodbye.size())), 100000);
    EXPECT_EQ(ReleaseSocket(handle), 0);
    EXPECT_EQ(ReleaseSocket(handle), -1) << "a handle is freed once";
    EXPECT_EQ(SendData(handle, "x", 1), -1);
    const auto rest = client.ReadToEnd();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->size(), goodbye.size());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(recorder.Of(Event::Gone).empty()) << "no callback names a released handle";
}

TEST_F(SocketLibrary, ReleasingTheServerStopsAcceptingAndClosesItsClients) {
    ASSERT_NE(Start(port), 0U);
    TcpClient client("127.0.0.1", port);
    recorder.Await(Event::Connected, 1);
    EXPECT_EQ(ReleaseSocket(server), 0);
    server = 0;
    EXPECT_TRUE(client.ClosedByServer());
    EXPECT_TRUE(WaitUntil([&] { return !TcpClient("127.0.0.1", port).Connected(); }));
    EXPECT_EQ(ProcessSocketMessage(0, 1, 2), 0);
    EXPECT_EQ(ReleaseSocket(0), -1);
}

TEST_F(SocketLibrary, HandlesAreNeverGivenOutTwice) {
    std::set<NetHandle> seen;
    for (int round = 0; round < 3; ++round) {
        port = FreePort();
        ASSERT_NE(Start(port), 0U);
        EXPECT_TRUE(seen.insert(server).second);
        for (int i = 0; i < 5; ++i) {
            TcpClient client("127.0.0.1", port);
            ASSERT_TRUE(client.Connected());
        }
        for (const Event& event : recorder.Await(Event::Connected, 5 * (round + 1))) {
            seen.insert(event.handle);
        }
        ReleaseSocket(server);
        server = 0;
    }
    EXPECT_EQ(seen.size(), 3U + 15U);
    EXPECT_EQ(seen.count(0), 0U);
}

} // namespace
} // namespace kestavo::test
