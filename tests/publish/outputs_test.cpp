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

// Transfer `number` of an opening, as the receiver offers it: stamped now, its samples saying its number.
frames::StampedSample Transfer(std::uint32_t number, std::uint32_t opening = 1, std::uint32_t says = 0) {
    const auto packet = Numbered(says == 0 ? number : says);
    return {
        frames::SteadyNowNs(), {packet.samples[0], packet.samples[1], packet.samples[2]}, number, opening};
}

std::int64_t WallNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A message of samples as a subscriber that reads its headers takes it: which transfers the headers say
// it holds, and the numbers its frames carry.
struct Said {
    std::uint64_t seq = 0;
    std::uint64_t count = 0;
    std::uint32_t opening = 0;
    std::int64_t timeNs = 0;
    std::uint64_t dropped = 0;
    std::vector<std::uint32_t> numbers;
};

Said Read(const Subscriber::Message& message) {
    Said said;
    const auto number = [&](const char* name) -> std::uint64_t {
        const auto found = message.headers.find(name);
        return found == message.headers.end() ? 0 : std::stoull(found->second);
    };
    EXPECT_TRUE(message.headers.contains(NatsOutput::kSeqHeader));
    said.seq = number(NatsOutput::kSeqHeader);
    said.count = number(NatsOutput::kCountHeader);
    said.opening = static_cast<std::uint32_t>(number(NatsOutput::kOpenHeader));
    said.timeNs = static_cast<std::int64_t>(number(NatsOutput::kTimeHeader));
    said.dropped = number(NatsOutput::kDroppedHeader);
    frames::FrameDecoder decoder;
    decoder.FeedEach(message.data.data(), message.data.size(), [&](const frames::FrameView& frame) {
        said.numbers.push_back(frame.Sample(0) | (static_cast<std::uint32_t>(frame.Sample(1)) << 16));
    });
    return said;
}

// The samples messages until one holds the frame numbered `last`.
std::vector<Said> ReadUntil(Subscriber& subscriber, std::uint32_t last) {
    std::vector<Said> messages;
    while (messages.empty() || messages.back().numbers.empty() || messages.back().numbers.back() != last) {
        const auto message = subscriber.NextMessage();
        if (!message) {
            break;
        }
        if (message->subject.ends_with(".samples")) {
            messages.push_back(Read(*message));
        }
    }
    return messages;
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

// Every frame in order, and every message saying in its headers which transfers it holds: its first's
// number and opening, how many, and when the first was read, by the host's clock; none across two
// openings. A subscriber that ignores the headers gets exactly the frames it always did.
TEST_F(NatsOutputTest, ASubscriberGetsTheConfigurationThenEveryFrameInOrderEachMessageSayingWhichTheyAre) {
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

    // 20,000 transfers of a first opening, then 100 of a second (their frames numbered on).
    constexpr std::uint32_t kFrames = 20'000;
    std::vector<std::pair<std::int64_t, std::int64_t>> offeredAt; // the host's clock around each read
    for (std::uint32_t n = 0; n < kFrames + 100; ++n) {
        const std::int64_t before = WallNowNs();
        output.Offer(n < kFrames ? Transfer(n) : Transfer(n - kFrames, 2, n));
        offeredAt.emplace_back(before, WallNowNs());
    }
    const std::vector<Said> messages = ReadUntil(subscriber, kFrames + 99);
    std::vector<std::uint32_t> numbers;
    std::int64_t lastTime = 0;
    for (const Said& said : messages) {
        ASSERT_FALSE(said.numbers.empty());
        const std::uint32_t firstNumber = said.numbers.front();
        EXPECT_EQ(said.opening, firstNumber < kFrames ? 1U : 2U);
        EXPECT_EQ(said.seq, said.opening == 1 ? firstNumber : firstNumber - kFrames);
        EXPECT_EQ(said.count, said.numbers.size());
        EXPECT_TRUE(firstNumber >= kFrames || said.numbers.back() < kFrames)
            << "no message spans two openings";
        EXPECT_EQ(said.dropped, 0U);
        EXPECT_GE(said.timeNs, lastTime);
        EXPECT_GE(said.timeNs, offeredAt.at(firstNumber).first - 1'000'000) << "the host's clock at the read";
        EXPECT_LE(said.timeNs, offeredAt.at(firstNumber).second + 1'000'000);
        lastTime = said.timeNs;
        numbers.insert(numbers.end(), said.numbers.begin(), said.numbers.end());
    }
    EXPECT_EQ(numbers, Range(0, kFrames + 100));
    EXPECT_EQ(output.Dropped(), 0U);
    EXPECT_EQ(output.LastSent().opening, 2U);
    EXPECT_EQ(output.LastSent().transfer, 99U);

    // The payloads alone, as a subscriber that knows nothing of headers reads them: the frames as the
    // relay sends them, back to back.
    output.Offer(Transfer(100, 2, 5));
    output.Offer(Transfer(101, 2, 6));
    auto plain = subscriber.Next();
    ASSERT_TRUE(plain);
    std::vector<std::uint8_t> expected;
    for (const std::uint32_t number : {5U, 6U}) {
        const auto frame = frames::SampleFrame(Numbered(number));
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    if (plain->second.size() == frames::kSampleFrameSize) { // the two may have gone in two messages
        const auto second = subscriber.Next();
        ASSERT_TRUE(second);
        plain->second.insert(plain->second.end(), second->second.begin(), second->second.end());
    }
    EXPECT_EQ(plain->second, expected);
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

// A server killed while frames stream: the output holds what fits in its buffer, drops and counts the
// rest, and publishes again once the server is back. The subscriber finds from the numbers exactly what
// it missed, and that is what the publisher said it dropped (the message after the gap says how many),
// or that and what it held in its buffer when the server came back before the subscriber did.
TEST_F(NatsOutputTest, AServerThatStopsAndStartsAgainCostsOnlyFramesTheSubscriberCanFindFromTheNumbers) {
    const int port = testkit::FreePort();
    auto server = std::make_unique<NatsServer>(port);
    ASSERT_TRUE(server->Ready());
    Subscriber subscriber(server->Url(), "kestavo.test.>");
    ASSERT_TRUE(subscriber.Ok());
    NatsOutput::Settings settings = Settings({server->Url()});
    settings.bufferBytes = 64 * 1024; // about 2,000 frames while the server is away
    NatsOutput output(settings, Log());
    std::uint32_t next = 0;
    const auto settled = [&] {
        return testkit::WaitUntil([&] { return output.Sent() + output.Dropped() == output.Offered(); });
    };
    // Offered a thousand at a time, each taken before the next, so that nothing is lost in the ring.
    const auto offer = [&](std::uint32_t count) {
        for (const std::uint32_t end = next + count; next < end;) {
            for (const std::uint32_t chunk = std::min(next + 1000, end); next < chunk; ++next) {
                output.Offer(Transfer(next));
            }
            ASSERT_TRUE(settled());
        }
    };
    offer(1000);
    std::vector<Said> messages = ReadUntil(subscriber, 999);

    server.reset(); // killed, without a word to its clients
    ASSERT_TRUE(Logged("NATS: disconnected"));
    const std::uint64_t sentBefore = output.Sent();
    offer(100'000);
    const std::uint64_t held = output.Sent() - sentBefore; // in the buffer, for when the server is back
    const std::uint64_t dropped = output.Dropped();
    EXPECT_GT(dropped, 90'000U) << "what did not fit in the buffer";
    EXPECT_TRUE(Logged("NATS: dropping samples"));

    server = std::make_unique<NatsServer>(port);
    ASSERT_TRUE(server->Ready());
    ASSERT_TRUE(Logged("NATS: publishing again"));
    ASSERT_TRUE(testkit::WaitUntil([&] { return subscriber.Back(); }));
    offer(10'000);
    const std::vector<Said> after = ReadUntil(subscriber, next - 1);
    messages.insert(messages.end(), after.begin(), after.end());

    // What the numbers say was missed, and what the publisher said of it.
    std::uint64_t expected = 0;
    std::uint64_t missed = 0;
    std::uint64_t saidDropped = 0;
    std::vector<std::uint32_t> numbers;
    for (const Said& said : messages) {
        ASSERT_FALSE(said.numbers.empty());
        EXPECT_EQ(said.seq, said.numbers.front()) << "the headers name the frames the message holds";
        EXPECT_EQ(said.count, said.numbers.size());
        ASSERT_GE(said.seq, expected);
        missed += said.seq - expected;
        saidDropped += said.dropped;
        expected = said.seq + said.count;
        numbers.insert(numbers.end(), said.numbers.begin(), said.numbers.end());
    }
    EXPECT_EQ(expected, next) << "the last one came";
    EXPECT_EQ(numbers.size() + missed, next) << "every frame not received is in a gap the numbers show";
    EXPECT_EQ(saidDropped, dropped);
    EXPECT_TRUE(missed == dropped || missed == dropped + held)
        << missed << " missed, " << dropped << " dropped, " << held << " held";
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
        EXPECT_FALSE(message.more()) << "one part: the samples alone";
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

// With the header, each message is led by a part that says which transfers follow; a subscriber that
// fell past its high-water mark finds there exactly what it missed.
TEST(ZmqOutput, WithTheHeaderASubscriberPastItsHighWaterMarkFindsExactlyWhatItMissed) {
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(testkit::FreePort());
    ZmqOutput output({endpoint, 1000, 64, true}, [](const std::string&) {});
    ASSERT_EQ(output.Error(), "");
    zmq::context_t context;
    zmq::socket_t subscriber(context, zmq::socket_type::sub);
    subscriber.set(zmq::sockopt::subscribe, "");
    // A buffer of its own size, so that the kernel does not grow it to hold all that is sent.
    subscriber.set(zmq::sockopt::rcvbuf, 256 * 1024);
    subscriber.set(zmq::sockopt::rcvtimeo, 50);
    subscriber.connect(endpoint);
    struct Message {
        std::uint64_t transfer;
        std::uint32_t count;
        std::uint32_t opening;
        std::int64_t timeNs;
        std::vector<std::uint32_t> numbers;
    };
    std::vector<Message> messages;
    const auto little = [](const std::uint8_t* at, int width) {
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) {
            value = value << 8 | at[i];
        }
        return value;
    };
    const auto receive = [&] {
        zmq::message_t header;
        zmq::message_t samples;
        if (!subscriber.recv(header)) {
            return false;
        }
        EXPECT_EQ(header.size(), ZmqOutput::kHeaderSize);
        EXPECT_TRUE(header.more());
        EXPECT_TRUE(subscriber.recv(samples, zmq::recv_flags::dontwait)) << "the samples come with it";
        EXPECT_FALSE(samples.more());
        const auto* h = static_cast<const std::uint8_t*>(header.data());
        Message message{little(h, 8),
                        static_cast<std::uint32_t>(little(h + 8, 4)),
                        static_cast<std::uint32_t>(little(h + 12, 4)),
                        static_cast<std::int64_t>(little(h + 16, 8)),
                        {}};
        const auto* bytes = static_cast<const std::uint8_t*>(samples.data());
        for (std::size_t at = 0; at + 6 <= samples.size(); at += 6) {
            message.numbers.push_back(static_cast<std::uint32_t>(little(bytes + at, 4)));
        }
        messages.push_back(std::move(message));
        return true;
    };
    ASSERT_TRUE(testkit::WaitUntil([&] {
        output.Offer(Transfer(0));
        return receive();
    }));
    messages.clear();
    // Read as they come, then not at all while 1.2 million more are offered (more than the kernel's
    // buffers and the sockets' queues hold, some 5 MiB), then read as they come again.
    std::uint32_t next = 1;
    std::vector<std::pair<std::int64_t, std::int64_t>> offeredAt(1); // the host's clock around each read
    const auto offer = [&](std::uint32_t count, bool read) {
        for (const std::uint32_t end = next + count; next < end;) {
            for (const std::uint32_t chunk = std::min(next + (read ? 500 : 20'000), end); next < chunk;
                 ++next) {
                const std::int64_t before = WallNowNs();
                output.Offer(Transfer(next));
                offeredAt.emplace_back(before, WallNowNs());
            }
            ASSERT_TRUE(testkit::WaitUntil([&] {
                if (read) {
                    while (receive()) {
                        if (messages.back().numbers.back() == next - 1) {
                            return true;
                        }
                    }
                    return false;
                }
                return output.Sent() + output.Dropped() == output.Offered();
            })) << "read "
                << read << " next " << next << " last received "
                << (messages.empty() ? 0 : messages.back().numbers.back());
        }
    };
    offer(5000, true);
    offer(1'200'000, false);
    // What reached the subscriber, until one offered after it arrives: then nothing is waiting any more.
    ASSERT_TRUE(testkit::WaitUntil([&] {
        const std::int64_t before = WallNowNs();
        output.Offer(Transfer(next++));
        offeredAt.emplace_back(before, WallNowNs());
        while (receive()) {
            if (messages.back().numbers.back() == next - 1) {
                return true;
            }
        }
        return false;
    }));
    offer(5000, true);

    std::uint64_t expected = messages.front().transfer;
    std::uint64_t missed = 0;
    std::size_t received = 0;
    for (const Message& message : messages) {
        ASSERT_FALSE(message.numbers.empty());
        EXPECT_EQ(message.transfer, message.numbers.front()) << "the header names the samples that follow";
        EXPECT_EQ(message.count, message.numbers.size());
        EXPECT_EQ(message.opening, 1U);
        EXPECT_GE(message.timeNs, offeredAt.at(message.transfer).first - 1'000'000)
            << "the host's clock at the read";
        EXPECT_LE(message.timeNs, offeredAt.at(message.transfer).second + 1'000'000);
        ASSERT_GE(message.transfer, expected);
        missed += message.transfer - expected;
        expected = message.transfer + message.count;
        received += message.numbers.size();
    }
    EXPECT_EQ(expected, next);
    EXPECT_EQ(received + missed, next - messages.front().transfer);
    EXPECT_GT(missed, 200'000U) << "the subscriber was far past its high-water mark";
    EXPECT_EQ(output.Dropped(), 0U) << "the socket's own drops: the publisher cannot tell";
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
