#include <cstdlib>
#include <filesystem>
#include <future>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/command_line.h"
#include "app/relay_callbacks.h"
#include "app/resource.h"
#include "clientkit/cpp/tls_client.h"
#include "kit.h"
#include "networkdriver/access.h"
#include "temp_dir.h"
#include "window_fixture.h"

namespace kestavo::test {
namespace {

TEST(CommandLine, TakesTheAccessOptionsAndNamesABadOne) {
    QString output;
    int exitCode = -1;
    const auto options = app::ReadCommandLine(
        {"kestavo", "--listen", "::1", "--allow", "10.0.0.0/8", "--allow", "::1/128", "--max-clients", "5",
         "--max-per-address", "2", "--nats", "127.0.0.1:4222,nats://b:1", "--zmq", "tcp://*:5555"},
        output, exitCode);
    ASSERT_TRUE(options) << output.toStdString();
    EXPECT_EQ(options->access.listen, (std::vector<std::string>{"::1"}));
    EXPECT_EQ(options->access.allow, (std::vector<std::string>{"10.0.0.0/8", "::1/128"}));
    EXPECT_EQ(options->access.maxClients, 5);
    EXPECT_EQ(options->access.maxPerAddress, 2);
    EXPECT_EQ(options->outputs.nats, (std::vector<std::string>{"nats://127.0.0.1:4222", "nats://b:1"}));
    EXPECT_EQ(options->outputs.zmq, "tcp://*:5555");

    EXPECT_FALSE(app::ReadCommandLine({"kestavo", "--help"}, output, exitCode));
    EXPECT_EQ(exitCode, 0);
    for (const char* option :
         {"--listen", "--allow", "--max-clients", "--max-per-address", "--nats", "--nats-subject", "--zmq"}) {
        EXPECT_TRUE(output.contains(QString::fromLatin1(option))) << option;
    }
    for (const auto& [arguments, named] :
         {std::pair{QStringList{"kestavo", "--allow", "10.0.0.0/99"}, "--allow"},
          std::pair{QStringList{"kestavo", "--listen", "here"}, "--listen"},
          std::pair{QStringList{"kestavo", "--max-clients", "-3"}, "--max-clients"},
          std::pair{QStringList{"kestavo", "--max-per-address", "two"}, "--max-per-address"},
          std::pair{QStringList{"kestavo", "--nats", "http://a:1"}, "--nats"},
          std::pair{QStringList{"kestavo", "--nats-subject", "a.*"}, "--nats-subject"},
          std::pair{QStringList{"kestavo", "--zmq", "5555"}, "--zmq"}}) {
        EXPECT_FALSE(app::ReadCommandLine(arguments, output, exitCode));
        EXPECT_EQ(exitCode, 2);
        EXPECT_TRUE(output.contains(QString::fromLatin1(named))) << output.toStdString();
    }
}

// With rules in force, Start says which, and each refused peer gets a line in the log.
TEST_F(WindowTest, StartSaysWhatAccessRulesAreInForceAndTheLogNamesARefusedPeer) {
    std::string error;
    networkdriver::AccessRules rules;
    rules.allow.push_back(*networkdriver::ParseNetwork("127.0.0.0/8", error));
    rules.refused = app::ReportRefusalToCurrentDialog;
    const std::string description = networkdriver::Describe(rules);
    networkdriver::SetAccessRules(rules);
    OpenWindow();
    window->SetAccessDescription(description);
    const int port = FreePort();
    Find<QLineEdit>("Port")->setText(QString::number(port));
    qobject_cast<QPushButton*>(window->Control(app::IDC_RELAY_START_STOP))->click();
    auto lines = Lines(Find<QPlainTextEdit>("Log"));
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 3, lines.end()),
        (std::vector<std::string>{"Network started", "Access: allowing 127.0.0.0/8", "Store Configuration"}));

    TcpClient refused("::1", port);
    EXPECT_TRUE(refused.ClosedByServer());
    const std::string line = "Client refused: ::1 " + std::to_string(refused.LocalPort()) + " (not allowed)";
    EXPECT_TRUE(QTest::qWaitFor([&] { return Lines(Find<QPlainTextEdit>("Log")).back() == line; }, 10000));
    EXPECT_TRUE(window->ClientTable().Entries().empty());
}

// The command line's TLS options reach the relay; its files are read again at each Start, and a
// client's certificate subject shows in the log.
TEST_F(WindowTest, StartListensForTlsWithTheCommandLinesFilesReadAgainEachTime) {
    TempDir certificates;
    ASSERT_EQ(
        std::system((std::string(KESTAVO_MAKE_CERTIFICATES) + " " + certificates.Path().string()).c_str()),
        0);
    const auto file = [&](const std::string& name) {
        return (certificates / name).string();
    };
    QString output;
    int exitCode = -1;
    const int tlsPort = FreePort();
    const auto options = app::ReadCommandLine({"kestavo", "--tls-port", QString::number(tlsPort),
                                               "--tls-cert", QString::fromStdString(file("live.pem")),
                                               "--tls-key", QString::fromStdString(file("live.key")),
                                               "--tls-client-ca", QString::fromStdString(file("ca.pem"))},
                                              output, exitCode);
    ASSERT_TRUE(options) << output.toStdString();
    std::filesystem::copy_file(file("server.pem"), file("live.pem"));
    std::filesystem::copy_file(file("server.key"), file("live.key"));
    OpenWindow();
    window->SetTlsOptions(options->tls);
    const int port = FreePort();
    Find<QLineEdit>("Port")->setText(QString::number(port));
    auto* startStop = qobject_cast<QPushButton*>(window->Control(app::IDC_RELAY_START_STOP));
    // On a thread of its own, while this one, the window's, goes on handling the relay's events.
    const auto connect = [&](const char* ca) {
        auto connecting = std::async(std::launch::async, [&, ca] {
            std::string error;
            bool refused = false;
            return client::TlsConnection::Open(ConnectTo("127.0.0.1", tlsPort), "localhost",
                                               {file(ca), file("client.pem"), file("client.key")}, 5000,
                                               error, refused);
        });
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return connecting.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            10000));
        return connecting.get();
    };
    startStop->click();
    auto lines = Lines(Find<QPlainTextEdit>("Log"));
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 3, lines.end()),
        (std::vector<std::string>{
            "Network started", "TLS on port " + std::to_string(tlsPort) + ", clients admitted by certificate",
            "Store Configuration"}));
    auto client = connect("ca.pem");
    ASSERT_TRUE(client);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->ClientTable().Entries().size() == 1; }, 10000));
    EXPECT_TRUE(TcpClient("127.0.0.1", port).Connected()) << "the plain port beside it";
    client.reset();
    startStop->click();

    // Renewed while stopped: the next Start takes the new files.
    using std::filesystem::copy_options;
    std::filesystem::copy_file(file("server-other.pem"), file("live.pem"), copy_options::overwrite_existing);
    std::filesystem::copy_file(file("server-other.key"), file("live.key"), copy_options::overwrite_existing);
    startStop->click();
    EXPECT_FALSE(connect("ca.pem"));
    EXPECT_TRUE(connect("other-ca.pem"));
    startStop->click();
}

} // namespace
} // namespace kestavo::test
