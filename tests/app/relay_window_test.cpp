#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "app/clients_dlg.h"
#include "app/resource.h"
#include "frames/frames.h"
#include "kit.h"
#include "window_fixture.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

template <std::size_t N> std::vector<std::uint8_t> Bytes(const std::array<std::uint8_t, N>& frame) {
    return {frame.begin(), frame.end()};
}

const std::vector<std::uint8_t> kConfiguration = Bytes(frames::ConfigurationFrame());
const std::vector<std::uint8_t> kStop = Bytes(frames::StopFrame());

// A payload whose samples count: sample 0 carries number.
frames::SamplePacket Numbered(std::uint32_t number) {
    const std::uint8_t payload[6] = {
        static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number), 0, 0, 0, 0};
    return frames::BuildSamplePacket(payload);
}

class RelayWindowTest : public WindowTest {
protected:
    app::CKestavoDlg& Open() {
        app::CKestavoDlg& dialog = OpenWindow();
        Find<QLineEdit>("Port")->setText(QString::number(port));
        return dialog;
    }

    void PressStartStop() {
        auto* button = qobject_cast<QPushButton*>(window->Control(app::IDC_RELAY_START_STOP));
        button->click();
    }

    // Waits, keeping the window's events flowing, until count clients have connected since the start.
    bool AwaitConnections(std::uint64_t count) {
        return QTest::qWaitFor([&] { return window->ClientTable().Connections() >= count; }, 10000);
    }

    std::vector<std::string> LogLines() { return Lines(Find<QPlainTextEdit>("Log")); }

    int port = FreePort();
};

TEST_F(RelayWindowTest, StartAndStopShowInTheButtonThePortAndTheLog) {
    Open();
    PressStartStop();
    EXPECT_EQ(Find<QPushButton>("Stop")->text(), "Stop");
    EXPECT_FALSE(Find<QLineEdit>("Port")->isEnabled());
    auto lines = LogLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"Network started", "Store Configuration"}));
    EXPECT_NE(ReadFile(IniPath()).find("SocketNo=" + std::to_string(port) + "\n"), std::string::npos);
    EXPECT_TRUE(TcpClient("127.0.0.1", port).Connected());

    PressStartStop();
    EXPECT_EQ(Find<QPushButton>("Start")->text(), "Start");
    EXPECT_TRUE(Find<QLineEdit>("Port")->isEnabled());
    EXPECT_EQ(LogLines().back(), "Network stopped");
    EXPECT_TRUE(window->ClientTable().Entries().empty());
}

TEST_F(RelayWindowTest, EveryClientGetsTheConfigurationFrameWhenAnyConnectsAndTheStopFrameLast) {
    Open();
    PressStartStop();
    TcpClient first("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(1));
    EXPECT_EQ(LogLines().back(), "Client connected");
    EXPECT_EQ(first.Read(264), kConfiguration);

    TcpClient second("::1", port);
    ASSERT_TRUE(AwaitConnections(2));
    EXPECT_EQ(first.Read(264), kConfiguration) << "again, for the newcomer";
    EXPECT_EQ(second.Read(264), kConfiguration);
    EXPECT_EQ(window->ClientTable().Entries()[1].port, second.LocalPort());

    PressStartStop();
    for (TcpClient* client : {&first, &second}) {
        EXPECT_EQ(client->Read(8), kStop);
        EXPECT_TRUE(client->ClosedByServer());
    }
}

TEST_F(RelayWindowTest, AClientThatLeftLeavesTheTableAndGetsNothingMore) {
    Open();
    PressStartStop();
    auto first = std::make_unique<TcpClient>("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(1));
    TcpClient second("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(2));
    first.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->ClientTable().Entries().size() == 1; }, 10000));
    TcpClient third("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(3));

    const auto entries = window->ClientTable().Entries();
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(entries[0].port, second.LocalPort()) << "the clients still there keep their order";
    EXPECT_EQ(entries[1].port, third.LocalPort());
    EXPECT_EQ(second.Read(2 * 264), [] {
        auto twice = kConfiguration;
        twice.insert(twice.end(), kConfiguration.begin(), kConfiguration.end());
        return twice;
    }());
    EXPECT_EQ(third.Read(264), kConfiguration);

    window->RelaySamplePacket(Numbered(0x0102));
    const auto sample = Bytes(frames::SampleFrame(Numbered(0x0102)));
    EXPECT_EQ(second.Read(28), sample);
    EXPECT_EQ(third.Read(28), sample);

    PressStartStop();
    EXPECT_EQ(second.Read(8), kStop);
    EXPECT_EQ(third.Read(8), kStop);
    EXPECT_TRUE(second.ClosedByServer());
    EXPECT_TRUE(third.ClosedByServer());
}

TEST_F(RelayWindowTest, DataFromAClientIsDroppedAndItStaysConnected) {
    Open();
    PressStartStop();
    TcpClient client("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(1));
    ASSERT_EQ(client.Read(264), kConfiguration);
    ASSERT_TRUE(client.Send("hello relay"));
    QTest::qWait(50); // let the data report reach the window; nothing is to be seen of it
    window->RelaySamplePacket(Numbered(7));
    EXPECT_EQ(client.Read(28), Bytes(frames::SampleFrame(Numbered(7))));
    EXPECT_EQ(window->ClientTable().Entries().size(), 1U);
}

TEST_F(RelayWindowTest, RestartingStartsWithAnEmptyTableOnTheSamePort) {
    Open();
    PressStartStop();
    TcpClient before("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(1));
    messages.clear();
    PressStartStop();
    PressStartStop();
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_TRUE(window->ClientTable().Entries().empty());
    TcpClient after("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(1));
    EXPECT_EQ(window->ClientTable().Entries().size(), 1U);
    EXPECT_EQ(after.Read(264), kConfiguration);
}

TEST_F(RelayWindowTest, APortInUseIsReportedAndTheRelayStaysStopped) {
    const int taken = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);

    Open();
    messages.clear();
    PressStartStop();
    EXPECT_EQ(messages, std::vector<std::string>{"Cannot start the relay server on port " +
                                                 std::to_string(port) + "!"});
    EXPECT_EQ(Find<QPushButton>("Start")->text(), "Start");
    EXPECT_TRUE(Find<QLineEdit>("Port")->isEnabled());
    EXPECT_NE(LogLines().back(), "Network started");
    EXPECT_FALSE(std::filesystem::exists(IniPath()));
    EXPECT_FALSE(window->ClientTable().Running());
    ::close(taken);
}

TEST_F(RelayWindowTest, AStalledClientIsDroppedWhileAnotherReceivesEveryFrame) {
    Open();
    PressStartStop();
    TcpClient stalled("127.0.0.1", port);
    stalled.ShrinkReceiveBuffer();
    ASSERT_TRUE(AwaitConnections(1));
    TcpClient reader("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(2));
    ASSERT_TRUE(reader.Read(264));

    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> relayed{0};
    std::atomic<bool> readerOk{true};
    std::atomic<std::uint32_t> readFrames{0};
    // As fast as the reader keeps up, never more than about 280 KB ahead of it: the reader must not
    // itself fall the 4 MiB behind that drops a client.
    std::thread producer([&] {
        while (!stop) {
            if (relayed - readFrames > 10000) {
                std::this_thread::yield();
                continue;
            }
            window->RelaySamplePacket(Numbered(relayed));
            ++relayed;
        }
    });
    std::thread reading([&] {
        for (;;) {
            auto frame = reader.Read(28, 5s);
            if (!frame) {
                return;
            }
            const std::uint32_t sample = (*frame)[20] | ((*frame)[21] << 8);
            if (sample != (readFrames & 0xFFFF)) {
                readerOk = false;
            }
            ++readFrames;
        }
    });
    const bool dropped = QTest::qWaitFor([&] { return window->ClientTable().Entries().size() == 1; }, 60000);
    stop = true;
    producer.join();
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(QTest::qWaitFor([&] { return readFrames == relayed; }, 30000))
        << readFrames << " of " << relayed;
    PressStartStop();
    reading.join();
    EXPECT_TRUE(readerOk) << "every frame, in order";
}

TEST_F(RelayWindowTest, FramesStreamWhileClientsComeAndGo) {
    Open();
    PressStartStop();
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::uint32_t number = 0;
        while (!stop) {
            window->RelaySamplePacket(Numbered(number++));
            std::this_thread::sleep_for(100us);
        }
    });
    std::atomic<int> rounds{0};
    std::thread churn([&] {
        for (int i = 0; i < 40 && !stop; ++i) {
            TcpClient client(i % 2 == 0 ? "127.0.0.1" : "::1", port);
            if (i % 3 == 0) {
                client.Read(264 + 28, 2s);
            }
            if (i % 4 == 0) {
                client.Reset();
            }
            ++rounds;
        }
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return rounds == 40; }, 60000));
    churn.join();
    // Every client that connected was entered, and each one's leaving was noticed.
    const bool allGone = QTest::qWaitFor(
        [&] { return window->ClientTable().Connections() == 40 && window->ClientTable().Entries().empty(); },
        30000);
    stop = true;
    producer.join();
    EXPECT_TRUE(allGone) << window->ClientTable().Entries().size() << " entries";
    PressStartStop();
    EXPECT_GT(window->TakePacketCount(), 0);
}

TEST_F(RelayWindowTest, ClosingTheWindowWhileClientsComeAndGoNeitherHangsNorCrashes) {
    Open();
    PressStartStop();
    TcpClient staying("127.0.0.1", port);
    ASSERT_TRUE(AwaitConnections(1));
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            TcpClient client("127.0.0.1", port);
        }
    });
    QTest::qWait(100);
    window.reset();
    stop = true;
    churn.join();
    auto received = staying.ReadToEnd();
    ASSERT_TRUE(received);
    ASSERT_GE(received->size(), 8U);
    EXPECT_EQ(std::vector<std::uint8_t>(received->end() - 8, received->end()), kStop)
        << "the stop frame comes last";
}

TEST_F(RelayWindowTest, TheClientProgramShowsWhatTheRelaySends) {
    Open();
    PressStartStop();
    QProcess client;
    client.start(QStringLiteral(KESTAVO_CLIENT), {QStringLiteral("127.0.0.1"), QString::number(port)});
    ASSERT_TRUE(client.waitForStarted());
    ASSERT_TRUE(AwaitConnections(1));
    window->RelaySamplePacket(Numbered(0x0102));
    window->RelaySamplePacket(Numbered(0xFFFF));
    PressStartStop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(client.exitCode(), 0);
    const QString output = QString::fromUtf8(client.readAllStandardOutput());
    EXPECT_TRUE(output.contains("configuration entry=2 code=7\nsamples 258 0 0\nsamples 65535 0 0\nstop\n"))
        << output.toStdString();
}

// The clients window, as its user reads it: a table found by its accessible name, refreshed every second.
TEST_F(RelayWindowTest, TheClientsWindowShowsClientsComeAndGoWithWhyTheyLeft) {
    Open();
    PressStartStop();
    window->OnClients();
    app::ClientsDialog* clients = window->Clients();
    ASSERT_NE(clients, nullptr);
    EXPECT_TRUE(clients->isVisible());
    EXPECT_FALSE(clients->isModal());
    auto* table = FindByName<QTableWidget>(clients, "Clients");
    ASSERT_NE(table, nullptr);
    const auto row = [&](const std::string& peer) -> QStringList {
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->item(r, 0) != nullptr && table->item(r, 0)->text().toStdString() == peer) {
                QStringList cells;
                for (int c = 0; c < table->columnCount(); ++c) {
                    cells << table->item(r, c)->text();
                }
                return cells;
            }
        }
        return {};
    };

    auto client = std::make_unique<TcpClient>("127.0.0.1", port);
    const std::string peer = "127.0.0.1 " + std::to_string(client->LocalPort());
    ASSERT_TRUE(QTest::qWaitFor([&] { return row(peer).value(6) == "connected"; }, 10000)) << peer;
    EXPECT_EQ(row(peer).value(3), "1") << "the configuration frame";
    EXPECT_EQ(row(peer).value(2), "264");
    ASSERT_TRUE(client->Read(264)); // taken, so that closing sends no reset
    client->Close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return row(peer).value(6).endsWith("closed by the peer"); }, 10000))
        << row(peer).join(QLatin1Char('|')).toStdString();
    PressStartStop();
}

} // namespace
} // namespace kestavo::test
