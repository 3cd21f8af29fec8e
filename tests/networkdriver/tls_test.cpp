#include <arpa/inet.h>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "clientkit/cpp/tls_client.h"
#include "kit.h"
#include "networkdriver/access.h"
#include "networkdriver/client_statistics.h"
#include "networkdriver/network_driver.h"
#include "networkdriver/tls.h"
#include "temp_dir.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

// What the library reported; the callbacks are plain functions, so it lives for the whole process.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<NetHandle> connected;
    std::map<std::string, std::string> refused; // by the peer's address: why

    static Reports& Get() {
        static auto* reports = new Reports;
        return *reports;
    }
    template <typename Condition> bool Await(Condition condition) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return condition(*this); });
    }
};

bool OnData(NetHandle) {
    return true;
}
bool OnGone(NetHandle, std::uint32_t) {
    return true;
}
bool OnConnected(std::int32_t, NetHandle client) {
    {
        std::lock_guard lock(Reports::Get().mutex);
        Reports::Get().connected.push_back(client);
    }
    Reports::Get().changed.notify_all();
    return true;
}

// A TCP connection to the loopback server from a loopback address of the test's choosing, so that each
// refusal comes from an address of its own (they are reported once a minute for each).
int ConnectFrom(const std::string& source, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class TlsLibrary : public ::testing::Test {
protected:
    TlsLibrary() {
        const std::string command = std::string(KESTAVO_MAKE_CERTIFICATES) + " " + dir.Path().string();
        EXPECT_EQ(std::system(command.c_str()), 0);
        networkdriver::AccessRules rules;
        rules.refused = [](const std::string& peer, const std::string& why) {
            {
                std::lock_guard lock(Reports::Get().mutex);
                Reports::Get().refused[peer.substr(0, peer.find(' '))] = why;
            }
            Reports::Get().changed.notify_all();
        };
        networkdriver::SetAccessRules(std::move(rules));
    }
    ~TlsLibrary() override {
        if (server != 0) {
            ReleaseSocket(server);
        }
    }

    std::string File(const std::string& name) const { return (dir / name).string(); }

    std::shared_ptr<networkdriver::TlsCredentials> Credentials(const std::string& certificate,
                                                               const std::string& clientCa = "ca.pem") {
        std::string error;
        auto credentials = networkdriver::TlsCredentials::Load(
            {File(certificate + ".pem"), File(certificate + ".key"), clientCa.empty() ? "" : File(clientCa)},
            error);
        EXPECT_TRUE(credentials) << error;
        return credentials;
    }

    NetHandle Start(std::shared_ptr<networkdriver::TlsCredentials> credentials, bool plain = true,
                    std::chrono::milliseconds limit = 10s) {
        networkdriver::SetTlsListening({tlsPort, plain, std::move(credentials), limit});
        server = InitializeSocketWithCallbackANDString(OnData, OnGone, OnConnected, 0, plainPort, 1, 1, "",
                                                       "", 65500, 65500);
        networkdriver::SetTlsListening({});
        return server;
    }

    // A TLS client of the server from the address, with the CA and the certificate named (none: none).
    std::unique_ptr<client::TlsConnection> Client(const std::string& ca, const std::string& certificate,
                                                  std::string& error, bool& refused,
                                                  const std::string& from = "127.0.0.1") {
        const int fd = ConnectFrom(from, tlsPort);
        if (fd < 0) {
            error = "cannot connect";
            return nullptr;
        }
        client::TlsClientSettings settings{File(ca), "", ""};
        if (!certificate.empty()) {
            settings.certificate = File(certificate + ".pem");
            settings.key = File(certificate + ".key");
        }
        return client::TlsConnection::Open(fd, "127.0.0.1", settings, 5000, error, refused);
    }

    Reports& reports = Reports::Get();
    TempDir dir;
    int plainPort = FreePort();
    int tlsPort = FreePort();
    NetHandle server = 0;
};

TEST_F(TlsLibrary, InsideTlsEachClientGetsTheFramesOfThePlainRelayByteForByte) {
    ASSERT_NE(Start(Credentials("server")), 0U);
    TcpClient plain("127.0.0.1", plainPort);
    std::string error;
    bool refused = false;
    auto secured = Client("ca.pem", "client", error, refused);
    ASSERT_TRUE(secured) << error;
    ASSERT_TRUE(reports.Await([](Reports& r) { return r.connected.size() == 2; }));
    const std::vector<NetHandle> clients = reports.connected;

    // Frames of every size the relay sends, many more than one TLS record holds, numbered.
    std::vector<std::uint8_t> sent;
    for (std::uint32_t i = 0; i < 20'000; ++i) {
        std::vector<std::uint8_t> frame(i % 97 == 0   ? 264
                                        : i % 13 == 0 ? 8
                                                      : 28,
                                        static_cast<std::uint8_t>(i));
        std::memcpy(frame.data(), &i, sizeof i);
        ASSERT_EQ(
            SendDataToEach(server, clients.data(), 2, frame.data(), static_cast<std::int32_t>(frame.size())),
            2);
        sent.insert(sent.end(), frame.begin(), frame.end());
    }
    const auto overPlain = plain.Read(sent.size());
    ASSERT_TRUE(overPlain);
    EXPECT_TRUE(*overPlain == sent);
    const std::vector<std::uint8_t> overTls = testkit::ReadTls(*secured, sent.size());
    EXPECT_EQ(overTls.size(), sent.size());
    EXPECT_TRUE(overTls == sent) << "the same bytes in the same order";

    // The certificate's subject names the client; a plain one has none.
    const NetHandle tlsClient = networkdriver::PeerSubject(clients[0]).empty() ? clients[1] : clients[0];
    EXPECT_EQ(networkdriver::PeerSubject(tlsClient), "CN=roof-viewer");
    const networkdriver::ClientSnapshot snapshot = networkdriver::TakeClientSnapshot(server);
    ASSERT_EQ(snapshot.connected.size(), 2U);
    EXPECT_EQ(snapshot.connected[0].subject.empty() + snapshot.connected[1].subject.empty(), 1);
    EXPECT_EQ(networkdriver::TlsCountsOf(server).admitted, 1U);

    // Released, the server ends the stream with TLS's own close, not a cut.
    ReleaseSocket(server);
    server = 0;
    bool ended = false;
    EXPECT_TRUE(testkit::ReadTls(*secured, 1, &ended).empty());
    EXPECT_TRUE(ended) << "an orderly end";
}

TEST_F(TlsLibrary, EveryCertificateButAGoodOneIsRefusedInTheHandshakeAndNamed) {
    ASSERT_NE(Start(Credentials("server")), 0U);
    const std::map<std::string, std::pair<std::string, std::string>> cases = {
        {"127.0.0.2", {"", "no certificate"}},
        {"127.0.0.3", {"stranger", "certificate not signed by the client CA"}},
        {"127.0.0.4", {"expired", "certificate expired"}},
        {"127.0.0.5", {"future", "certificate not yet valid"}},
    };
    for (const auto& [from, expected] : cases) {
        std::string error;
        bool refused = false;
        auto connection = Client("ca.pem", expected.first, error, refused, from);
        if (connection) {
            // With TLS 1.3 the client hears of it when it reads.
            std::vector<std::uint8_t> chunk(16);
            for (int i = 0; i < 100 && !refused; ++i) {
                pollfd ready{connection->Fd(), POLLIN, 0};
                ::poll(&ready, 1, 50);
                if (connection->Read(chunk.data(), chunk.size(), error, refused) != -2) {
                    break;
                }
            }
        }
        EXPECT_TRUE(refused) << from << ": " << error;
    }
    // Garbage, and a relay client that says nothing, on the TLS port.
    const int garbage = ConnectFrom("127.0.0.6", tlsPort);
    ASSERT_EQ(::send(garbage, "GET / HTTP/1.0\r\n\r\n", 18, 0), 18);
    ASSERT_TRUE(reports.Await([&](Reports& r) { return r.refused.size() == cases.size() + 1; }));
    ::close(garbage);
    for (const auto& [from, expected] : cases) {
        EXPECT_EQ(reports.refused[from], expected.second) << from;
    }
    EXPECT_EQ(reports.refused["127.0.0.6"], "not TLS");
    EXPECT_TRUE(reports.connected.empty()) << "none is ever entered";
    const networkdriver::TlsCounts counts = networkdriver::TlsCountsOf(server);
    EXPECT_EQ(counts.refused, cases.size() + 1);
    EXPECT_EQ(counts.admitted, 0U);

    // A second refusal from one address within the minute is counted, not reported again.
    std::string error;
    bool refused = false;
    reports.refused.erase("127.0.0.3");
    Client("ca.pem", "stranger", error, refused, "127.0.0.3");
    EXPECT_TRUE(WaitUntil([&] { return networkdriver::TlsCountsOf(server).refused == cases.size() + 2; }));
    EXPECT_EQ(reports.refused.count("127.0.0.3"), 0U);
}

TEST_F(TlsLibrary, AHandshakeNotFinishedInTimeIsDroppedAndCounted) {
    ASSERT_NE(Start(Credentials("server"), true, 300ms), 0U);
    TcpClient silent("127.0.0.1", tlsPort); // a plain relay client: it waits for frames, never speaks
    EXPECT_TRUE(silent.ResetByServer(5s));
    EXPECT_EQ(networkdriver::TlsCountsOf(server).timedOut, 1U);
    ASSERT_TRUE(reports.Await([](Reports& r) { return r.refused.count("127.0.0.1") == 1; }));
    EXPECT_EQ(reports.refused["127.0.0.1"], "handshake not finished within 0.3 s");
    EXPECT_TRUE(reports.connected.empty());
}

TEST_F(TlsLibrary, ReloadedFilesServeTheHandshakesAfterWhileTheClientsConnectedStay) {
    // Files of its own, which a renewal overwrites in place.
    std::filesystem::copy_file(File("server.pem"), File("live.pem"));
    std::filesystem::copy_file(File("server.key"), File("live.key"));
    const auto credentials = Credentials("live");
    ASSERT_NE(Start(credentials, false), 0U);
    EXPECT_FALSE(TcpClient("127.0.0.1", plainPort).Connected()) << "no plain port";
    std::string error;
    bool refused = false;
    auto before = Client("ca.pem", "client", error, refused);
    ASSERT_TRUE(before) << error;
    ASSERT_TRUE(reports.Await([](Reports& r) { return r.connected.size() == 1; }));

    // Renewed with a certificate of the other CA.
    using std::filesystem::copy_options;
    std::filesystem::copy_file(File("server-other.pem"), File("live.pem"), copy_options::overwrite_existing);
    std::filesystem::copy_file(File("server-other.key"), File("live.key"), copy_options::overwrite_existing);
    ASSERT_TRUE(credentials->Reload(error)) << error;
    EXPECT_FALSE(Client("ca.pem", "client", error, refused, "127.0.0.7")) << "the old CA no longer vouches";
    EXPECT_TRUE(refused);
    auto after = Client("other-ca.pem", "client", error, refused);
    ASSERT_TRUE(after) << error;
    ASSERT_TRUE(reports.Await([](Reports& r) { return r.connected.size() == 2; }));
    const std::string frame(28, 'x');
    EXPECT_EQ(SendDataToEach(server, reports.connected.data(), 2, frame.data(), 28), 2);
    EXPECT_EQ(testkit::ReadTls(*before, 28).size(), 28U)
        << "the client from before the renewal still streams";
    EXPECT_EQ(testkit::ReadTls(*after, 28).size(), 28U);

    // A renewal that fails keeps what was loaded.
    std::filesystem::copy_file(File("ca.cnf"), File("live.pem"), copy_options::overwrite_existing);
    EXPECT_FALSE(credentials->Reload(error));
    EXPECT_NE(error.find(File("live.pem")), std::string::npos) << error;
    EXPECT_TRUE(Client("other-ca.pem", "client", error, refused)) << error;
}

TEST(TlsCredentials, FilesThatCannotServeAreRefusedNamingTheFileAndWhy) {
    TempDir dir;
    ASSERT_EQ(std::system((std::string(KESTAVO_MAKE_CERTIFICATES) + " " + dir.Path().string()).c_str()), 0);
    const auto file = [&](const char* name) {
        return (dir / name).string();
    };
    const struct {
        networkdriver::TlsFiles files;
        std::string named;
        std::string why;
    } cases[] = {
        {{file("server.pem"), file("client.key"), ""}, file("client.key"), "does not match the certificate"},
        {{file("missing.pem"), file("server.key"), ""}, file("missing.pem"), "No such file or directory"},
        {{file("server-expired.pem"), file("server-expired.key"), ""}, file("server-expired.pem"), "expired"},
        {{file("ca.cnf"), file("server.key"), ""}, file("ca.cnf"), "not a certificate"},
        {{file("server.pem"), file("server.key"), file("ca.cnf")}, file("ca.cnf"), "not a CA certificate"},
        {{file("server.pem"), dir.Path().string(), ""}, dir.Path().string(), "Is a directory"},
    };
    for (const auto& bad : cases) {
        std::string error;
        EXPECT_FALSE(networkdriver::TlsCredentials::Load(bad.files, error));
        EXPECT_NE(error.find(bad.named), std::string::npos) << error;
        EXPECT_NE(error.find(bad.why), std::string::npos) << error;
    }
}

} // namespace
} // namespace kestavo::test
