#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/command_line.h"
#include "app/relay_callbacks.h"
#include "app/resource.h"
#include "kit.h"
#include "networkdriver/access.h"
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

} // namespace
} // namespace kestavo::test
