#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "frames/frames.h"
#include "scope/relay_feed.h"
#include "temp_dir.h"
#include "tests/kit/net.h"
#include "tests/kit/table_server.h"
#include "tests/kit/wait.h"

namespace kestavo::scope {
namespace {

using namespace std::chrono_literals;

class RelayFeedTest : public ::testing::Test {
protected:
    // Relays packets whose first sample is `first` until the feed has taken one; gives what it took.
    std::optional<frames::StampedSample> RelayUntilTaken(testkit::TableServer& server, std::uint16_t first) {
        frames::SamplePacket packet;
        packet.samples[0] = first;
        packet.samples[1] = 2;
        packet.samples[2] = 3;
        std::optional<frames::StampedSample> taken;
        testkit::WaitUntil(
            [&] {
                server.Table().RelaySamplePacket(packet);
                // Samples of an earlier call may still be on their way.
                ring->Drain([&](const frames::StampedSample& sample) {
                    if (sample.values[0] == first) {
                        taken = sample;
                    }
                });
                return taken.has_value();
            },
            10s);
        return taken;
    }

    std::shared_ptr<frames::SampleRing> ring = std::make_shared<frames::SampleRing>(1024);
};

TEST_F(RelayFeedTest, WaitsForTheRelayAndFollowsItThroughAStopAndAStart) {
    const int port = testkit::FreePort();
    RelayFeed feed("localhost", std::to_string(port), ring);
    feed.Start();
    ASSERT_TRUE(testkit::WaitUntil([&] { return !feed.Status().lastError.empty(); }));
    EXPECT_NE(feed.Status().lastError.find("Connection refused"), std::string::npos)
        << feed.Status().lastError;
    EXPECT_FALSE(feed.Status().connected);

    testkit::TableServer server(port);
    auto taken = RelayUntilTaken(server, 1);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->values, (std::array<std::uint16_t, 3>{1, 2, 3}));
    EXPECT_TRUE(feed.Status().connected);

    server.Stop();
    ASSERT_TRUE(testkit::WaitUntil([&] { return !feed.Status().connected; }));
    EXPECT_EQ(feed.Status().lastError, "the relay stopped");
    EXPECT_EQ(DescribeFeed(feed.Status(), "localhost", "1").rfind("Not connected: the relay stopped", 0), 0U);

    server.Start();
    taken = RelayUntilTaken(server, 4);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->values[0], 4);
    feed.Stop();
}

TEST_F(RelayFeedTest, ReachesARelayByItsIPv6Address) {
    testkit::TableServer server(testkit::FreePort());
    RelayFeed feed("::1", std::to_string(server.Port()), ring);
    feed.Start();
    EXPECT_TRUE(RelayUntilTaken(server, 7));
}

// Over TLS a handshake that fails shows why and is tried again; one that succeeds feeds the plot.
TEST_F(RelayFeedTest, OverTlsAFailedHandshakeShowsWhyAndIsTriedAgain) {
    test::TempDir dir;
    ASSERT_EQ(std::system((std::string(KESTAVO_MAKE_CERTIFICATES) + " " + dir.Path().string()).c_str()), 0);
    const auto file = [&](const std::string& name) {
        return (dir / name).string();
    };
    const int tlsPort = testkit::FreePort();
    testkit::TableServer server(testkit::FreePort(),
                                {tlsPort, file("server.pem"), file("server.key"), file("ca.pem"), true});
    RelayFeed refused("localhost", std::to_string(tlsPort), ring,
                      client::TlsClientSettings{file("ca.pem"), "", ""});
    refused.Start();
    ASSERT_TRUE(testkit::WaitUntil([&] {
        return refused.Status().lastError.find("certificate required") != std::string::npos &&
               refused.Status().retryInSeconds > 0;
    })) << refused.Status().lastError;
    refused.Stop();

    RelayFeed admitted("localhost", std::to_string(tlsPort), ring,
                       client::TlsClientSettings{file("ca.pem"), file("client.pem"), file("client.key")});
    admitted.Start();
    ASSERT_TRUE(RelayUntilTaken(server, 9));
    EXPECT_TRUE(admitted.Status().connected);
}

} // namespace
} // namespace kestavo::scope
