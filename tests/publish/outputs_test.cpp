// The outputs against real servers and subscribers on loopback: nats-server (one, and two joined as a
// cluster, and one that stops and starts again) with libnats subscribers, and a ZeroMQ subscriber.
#include <chrono>
#include <csignal>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include <gtest/gtest.h>

#include "frames/frame_decoder.h"
#include "nats_kit.h"
#include "publish/nats_output.h"
#include "publish/outputs.h"
#include "publish/zmq_output.h"
#include "tests/kit/net.h"
#include "tests/kit/wait.h"

namespace kestavo::publish {
namespace {

using test::NatsServer;
using test::Subscriber;

using namespace std::chrono_literals;

frames::SamplePacket Numbered(std::uint32_t number) {
    frames::SamplePacket packet;
    packet.samples[0] = static_cast<std::uint16_t>(number);
    packet.samples[1] = static_cast<std::uint16_t>(number >> 16);
    packet.samples[2] = 7;
    return packet;
}

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t end) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t n = first; n < end; ++n) {
        numbers.push_back(n);
    }
    return numbers;
}

class NatsOutputTest : public ::testing::Test {
protected:
    NatsOutput::Settings Settings(std::vector<std::string> servers) {
        NatsOutput::Settings settings;
        settings.servers = std::move(servers);
        settings.samplesSubject = "kestavo.test.samples";
        settings.configurationSubject = "kestavo.test.config";
        return settings;
    }
    LogFn Log() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines += line + "\n";
        };
    }
    bool Logged(const std::string& text) {
        return testkit::WaitUntil([&] {
            std::lock_guard lock(mutex);
            return lines.find(text) != std::string::npos;
        });
    }

    std::mutex mutex;
    std::string lines;
};

TEST_F(NatsOutputTest, ASubscriberGetsTheConfigurationThenEveryFrameInOrder) {
    NatsServer server(testkit::FreePort());
    ASSERT_TRUE(server.Ready());
    Subscriber subscriber(server.Url(), "kestavo.test.>");
    ASSERT_TRUE(subscriber.Ok());
    NatsOutput output(Settings({server.Url()}), Log());
    const auto first = subscriber.Next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->first, "kestavo.test.config");
    const auto configuration = frames::ConfigurationFrame();
    EXPECT_EQ(first->second, std::vector<std::uint8_t>(configuration.begin(), configuration.end()));

    constexpr std::uint32_t kFrames = 20'000;
    for (std::uint32_t n = 0; n < kFrames; ++n) {
        output.Offer(Numbered(n));
    }
    EXPECT_EQ(subscriber.NumbersUntil(kFrames - 1), Range(0, kFrames));
    EXPECT_EQ(output.Dropped(), 0U);
}

TEST_F(NatsOutputTest, TwoServersJoinedAsAClusterLoseNothing) {
    const int routeA = testkit::FreePort();
    const int routeB = testkit::FreePort();
    const auto cluster = [](int own, int other) {
        return std::vector<std::string>{"--cluster_name", "kestavo",
                                        "--cluster",      "nats://127.0.0.1:" + std::to_string(own),
                                        "--routes",       "nats://127.0.0.1:" + std::to_string(other)};
    };
    NatsServer a(testkit::FreePort(), cluster(routeA, routeB));
    NatsServer b(testkit::FreePort(), cluster(routeB, routeA));
    ASSERT_TRUE(a.Ready() && b.Ready());
    Subscriber subscriber(b.Url(), "kestavo.test.>");
    ASSERT_TRUE(subscriber.Ok());
    NatsOutput output(Settings({a.Url()}), Log());
    // The configuration is published once, maybe before the route knows of the subscriber; frames
    // are offered until one has crossed, then the ones that count.
    std::vector<std::uint32_t> numbers;
    ASSERT_TRUE(testkit::WaitUntil([&] {
        output.Offer(Numbered(0));
        const auto message = subscriber.Next(20ms);
        return message && message->first == "kestavo.test.samples";
    }));
    constexpr std::uint32_t kFrames = 20'000;
    for (std::uint32_t n = 1; n <= kFrames; ++n) {
        output.Offer(Numbered(n));
    }
    numbers = subscriber.NumbersUntil(kFrames);
    numbers.erase(numbers.begin(), std::find(numbers.begin(), numbers.end(), 1U));
    EXPECT_EQ(numbers, Range(1, kFrames + 1));
    EXPECT_EQ(output.Dropped(), 0U);
}

TEST_F(NatsOutputTest, AServerThatStopsAndStartsAgainCostsOnlyCountedFrames) {
    const int port = testkit::FreePort();
    auto server = std::make_unique<NatsServer>(port);
    ASSERT_TRUE(server->Ready());
    Subscriber subscriber(server->Url(), "kestavo.test.>");
    ASSERT_TRUE(subscriber.Ok());
    NatsOutput::Settings settings = Settings({server->Url()});
    settings.bufferBytes = 64 * 1024; // about 2,300 frames while the server is away
    NatsOutput output(settings, Log());
    std::uint32_t next = 0;
    const auto offer = [&](std::uint32_t count) {
        for (std::uint32_t end = next + count; next < end; ++next) {
            output.Offer(Numbered(next));
        }
    };
    const auto settled = [&] {
        return testkit::WaitUntil([&] { return output.Sent() + output.Dropped() == output.Offered(); });
    };
    offer(1000);
    EXPECT_EQ(subscriber.NumbersUntil(999), Range(0, 1000));

    server.reset(); // killed, without a word to its clients
    ASSERT_TRUE(Logged("NATS: disconnected"));
    offer(100'000);
    ASSERT_TRUE(settled());
    EXPECT_GT(output.Dropped(), 90'000U) << "what did not fit in the buffer";
    EXPECT_TRUE(Logged("NATS: dropping samples"));

    server = std::make_unique<NatsServer>(port);
    ASSERT_TRUE(server->Ready());
    ASSERT_TRUE(Logged("NATS: publishing again"));
    // Once the subscriber is back too, everything offered arrives, in order.
    std::uint32_t mark = 0;
    ASSERT_TRUE(testkit::WaitUntil([&] {
        mark = next;
        offer(1);
        const auto message = subscriber.Next(50ms);
        return message && message->first == "kestavo.test.samples";
    }));
    offer(10'000);
    auto numbers = subscriber.NumbersUntil(next - 1);
    numbers.erase(numbers.begin(), std::find(numbers.begin(), numbers.end(), mark + 1));
    EXPECT_EQ(numbers, Range(mark + 1, next));
    ASSERT_TRUE(settled());
    EXPECT_EQ(output.Offered(), next);
}

TEST(ZmqOutput, ASubscriberReadingThreeShortsAnItemGetsEverySample) {
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(testkit::FreePort());
    ZmqOutput output({endpoint, 1000, 64}, [](const std::string&) {});
    ASSERT_EQ(output.Error(), "");
    zmq::context_t context;
    zmq::socket_t subscriber(context, zmq::socket_type::sub);
    subscriber.set(zmq::sockopt::subscribe, "");
    subscriber.set(zmq::sockopt::rcvtimeo, 50);
    subscriber.connect(endpoint);
    std::vector<std::uint32_t> numbers;
    const auto receive = [&] {
        zmq::message_t message;
        if (!subscriber.recv(message)) {
            return false;
        }
        EXPECT_EQ(message.size() % 6, 0U);
        const auto* bytes = static_cast<const std::uint8_t*>(message.data());
        for (std::size_t at = 0; at + 6 <= message.size(); at += 6) {
            numbers.push_back(static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 |
                                                         bytes[at + 2] << 16 | bytes[at + 3] << 24));
            EXPECT_EQ(bytes[at + 4] | bytes[at + 5] << 8, 7);
        }
        return true;
    };
    // A subscriber joins a moment after it connects; what it missed before does not count.
    ASSERT_TRUE(testkit::WaitUntil([&] {
        output.Offer(Numbered(0));
        return receive();
    }));
    // Offered a thousand at a time, each read before the next, so that a subscriber sharing the two cores
    // is never a high-water mark behind.
    constexpr std::uint32_t kSamples = 50'000;
    for (std::uint32_t n = 1; n <= kSamples;) {
        for (const std::uint32_t end = n + 1000; n < end; ++n) {
            output.Offer(Numbered(n));
        }
        ASSERT_TRUE(testkit::WaitUntil([&] {
            receive();
            return !numbers.empty() && numbers.back() == n - 1;
        }));
    }
    numbers.erase(numbers.begin(), std::find(numbers.begin(), numbers.end(), 1U));
    EXPECT_EQ(numbers, Range(1, kSamples + 1));
}

TEST(OutputOptions, AreCheckedAsBothProgramsTakeThem) {
    EXPECT_EQ(CheckNatsServers("nats://127.0.0.1:4222,nats://[::1]:4223"), "");
    EXPECT_EQ(SplitNatsServers("127.0.0.1:4222,tls://a:1"),
              (std::vector<std::string>{"nats://127.0.0.1:4222", "tls://a:1"}));
    EXPECT_NE(CheckNatsServers("http://a:1"), "");
    EXPECT_NE(CheckNatsServers("nats://a:1,"), "");
    EXPECT_EQ(CheckNatsSubject("site.dongle-1"), "");
    for (const char* bad : {"", "a..b", "a.", ".a", "a.*", "a b", "a.>"}) {
        EXPECT_NE(CheckNatsSubject(bad), "") << bad;
    }
    EXPECT_EQ(CheckZmqEndpoint("tcp://*:5555"), "");
    EXPECT_NE(CheckZmqEndpoint("5555"), "");
    EXPECT_EQ(SubjectBase("SN 1.2*", 0x1234, 0x5678), "kestavo.SN_1_2_");
    EXPECT_EQ(SubjectBase("", 0x4d2, 0x162e), "kestavo.04D2_162E");
}

} // namespace
} // namespace kestavo::publish
