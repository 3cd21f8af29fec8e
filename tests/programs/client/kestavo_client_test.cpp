// kestavo-client as a process of its own against the relay as the programs run it.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kit.h"
#include "temp_dir.h"
#include "tests/kit/child_process.h"
#include "tests/kit/table_server.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

void Relay(testkit::TableServer& server, std::uint16_t first, std::uint16_t count) {
    for (std::uint16_t n = first; n < first + count; ++n) {
        frames::SamplePacket packet;
        packet.samples[0] = n;
        packet.samples[1] = static_cast<std::uint16_t>(n + 1);
        packet.samples[2] = static_cast<std::uint16_t>(n + 2);
        server.Table().RelaySamplePacket(packet);
    }
}

std::vector<std::uint8_t> Bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(KestavoClient, RecordsSigmfInPartsOfTheRolloverSize) {
    TempDir dir;
    testkit::TableServer server(FreePort());
    testkit::ChildProcess client(KESTAVO_CLIENT,
                                 {"--sigmf", (dir / "take").string(), "--sigmf-rollover", "600", "--label",
                                  "Roof dongle", "--count", "250", "--quiet", "127.0.0.1",
                                  std::to_string(server.Port())},
                                 {});
    ASSERT_TRUE(WaitUntil([&] { return server.Table().Entries().size() == 1; }));
    Relay(server, 0, 250);
    ASSERT_EQ(client.WaitExit(10s), 0) << client.Output();

    std::uint16_t n = 0;
    for (const auto& [part, frames] :
         {std::pair{"take-0000", 100}, std::pair{"take-0001", 100}, std::pair{"take-0002", 50}}) {
        const std::vector<std::uint8_t> data = Bytes(dir / (std::string(part) + ".sigmf-data"));
        ASSERT_EQ(data.size(), static_cast<std::size_t>(frames) * 6) << part;
        for (std::size_t at = 0; at < data.size(); at += 6, ++n) {
            for (std::size_t k = 0; k < 3; ++k) {
                ASSERT_EQ(data[at + 2 * k] | data[at + 2 * k + 1] << 8, n + k) << part << " frame " << n;
            }
        }
        std::ifstream metaFile(dir / (std::string(part) + ".sigmf-meta"));
        const nlohmann::json meta = nlohmann::json::parse(metaFile); // throws, failing the test, if not JSON
        // What the SigMF core namespace requires, and what this recording adds.
        EXPECT_EQ(meta["global"]["core:datatype"], "ru16_le");
        EXPECT_EQ(meta["global"]["core:version"], "1.0.0");
        EXPECT_EQ(meta["global"]["core:num_channels"], 3);
        EXPECT_EQ(meta["global"]["core:hw"], "Roof dongle");
        EXPECT_NE(meta["global"]["core:description"].get<std::string>().find("127.0.0.1 port " +
                                                                             std::to_string(server.Port())),
                  std::string::npos);
        ASSERT_EQ(meta["captures"].size(), 1U);
        EXPECT_EQ(meta["captures"][0]["core:sample_start"], 0);
        EXPECT_TRUE(std::regex_match(meta["captures"][0]["core:datetime"].get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        EXPECT_TRUE(meta["annotations"].is_array());
    }
}

TEST(KestavoClient, WithReconnectItWaitsForTheRelayAndComesBackAfterItStops) {
    const int port = FreePort();
    testkit::ChildProcess client(KESTAVO_CLIENT,
                                 {"--reconnect", "--count", "20", "127.0.0.1", std::to_string(port)}, {});
    ASSERT_TRUE(client.WaitFor("connecting again")) << client.Output();
    testkit::TableServer server(port);
    ASSERT_TRUE(WaitUntil([&] { return server.Table().Entries().size() == 1; }, 20s));
    Relay(server, 0, 10);
    server.Stop();
    ASSERT_TRUE(client.WaitFor("stop\n"));
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.Table().Entries().size() == 1; }, 20s));
    Relay(server, 10, 10);
    ASSERT_EQ(client.WaitExit(10s), 0) << client.Output();
    const std::string output = client.Output();
    EXPECT_NE(output.find("samples 9 10 11\n"), std::string::npos);
    EXPECT_NE(output.find("samples 19 20 21\n"), std::string::npos);
}

// Over TLS the relay's certificate is checked against the CA given and the name connected to; a
// handshake that fails on a certificate, either side's, ends the client with status 6 and why.
TEST(KestavoClient, OverTlsItChecksTheRelaysCertificateAndEndsWith6WhenOneIsTurnedDown) {
    TempDir dir;
    ASSERT_EQ(std::system((std::string(KESTAVO_MAKE_CERTIFICATES) + " " + dir.Path().string()).c_str()), 0);
    const auto file = [&](const std::string& name) {
        return (dir / name).string();
    };
    const int tlsPort = FreePort();
    testkit::TableServer server(FreePort(),
                                {tlsPort, file("server.pem"), file("server.key"), file("ca.pem"), true});
    const auto run = [&](const std::string& host, const std::string& ca, const std::string& certificate) {
        std::vector<std::string> arguments = {"--tls", "--ca", file(ca)};
        if (!certificate.empty()) {
            arguments.insert(arguments.end(),
                             {"--cert", file(certificate + ".pem"), "--key", file(certificate + ".key")});
        }
        arguments.insert(arguments.end(), {"--count", "3", host, std::to_string(tlsPort)});
        return std::make_unique<testkit::ChildProcess>(KESTAVO_CLIENT, arguments, std::vector<std::string>{});
    };
    auto admitted = run("localhost", "ca.pem", "client");
    ASSERT_TRUE(WaitUntil([&] { return server.Table().Entries().size() == 1; }));
    Relay(server, 7, 3);
    EXPECT_EQ(admitted->WaitExit(10s), 0) << admitted->Output();
    EXPECT_NE(admitted->Output().find("over TLS\nconfiguration entry=2 code=7\nsamples 7 8 9\n"),
              std::string::npos)
        << admitted->Output();

    for (const auto& [host, ca, certificate, why] :
         {std::tuple{"localhost", "other-ca.pem", "client", "the relay's certificate is not trusted"},
          std::tuple{"127.0.0.2", "ca.pem", "client",
                     "the relay's certificate is not trusted: IP address mismatch"},
          std::tuple{"localhost", "ca.pem", "", "the relay refused this client"},
          std::tuple{"localhost", "ca.pem", "expired",
                     "the relay refused this client: sslv3 alert certificate expired"}}) {
        auto refused = run(host, ca, certificate);
        EXPECT_EQ(refused->WaitExit(10s), 6) << refused->Output();
        EXPECT_NE(refused->Output().find(why), std::string::npos) << refused->Output();
    }
}

} // namespace
} // namespace kestavo::test
