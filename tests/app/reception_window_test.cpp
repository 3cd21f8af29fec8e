#include <chrono>
#include <string>
#include <vector>
#include <zmq.hpp>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/resource.h"
#include "frames/frames.h"
#include "kit.h"
#include "publish/outputs.h"
#include "scope/plot.h"
#include "scope/scope_window.h"
#include "tests/usbbench/client.h"
#include "window_fixture.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

// The dongle as the window lists it: vendor 1234, product 5678, interface 0 with a bulk endpoint each
// way, and the IN stream given.
std::string Dongle(const std::string& stream, const std::string& extra = "") {
    return "device 1 2 1234 5678\nmanufacturer Maker\nproduct Dongle\n" + extra +
           "configuration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\n" +
           stream;
}

const std::string kHeaders = "Bulk Read (Ep81h) max packet size: 64\r\n\r\n"
                             "Bulk Write (Ep02h) max packet size: 64\r\n\r\n";

class ReceptionTest : public WindowTest {
protected:
    app::CKestavoDlg& Open(const std::string& devices) {
        usbbench::Load(devices);
        app::CKestavoDlg& dialog = OpenWindow();
        Find<QLineEdit>("Port")->setText(QString::number(port));
        return dialog;
    }

    void Click(int id) { qobject_cast<QPushButton*>(window->Control(id))->click(); }
    QString OpenCloseCaption() {
        return qobject_cast<QPushButton*>(window->Control(app::IDC_OPEN_CLOSE))->text();
    }
    QString DataRate() { return qobject_cast<QLabel*>(window->Control(app::IDC_DATA_RATE))->text(); }
    bool PanesVisible() {
        return window->Control(app::IDC_TEST_INFORMATION)->isVisible() &&
               window->Control(app::IDC_ENDPOINT_STATISTICS)->isVisible();
    }
    bool PanesHidden() {
        return window->Control(app::IDC_TEST_INFORMATION)->isHidden() &&
               window->Control(app::IDC_ENDPOINT_STATISTICS)->isHidden();
    }

    // Starts the relay and connects a client that has taken its configuration frame.
    std::unique_ptr<TcpClient> Client() {
        if (!window->ClientTable().Running()) {
            Click(app::IDC_RELAY_START_STOP);
        }
        auto client = std::make_unique<TcpClient>("127.0.0.1", port);
        const std::uint64_t before = window->ClientTable().Connections();
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->ClientTable().Connections() > before; }, 10000));
        EXPECT_TRUE(client->Read(frames::kConfigurationFrameSize));
        return client;
    }

    // The three samples of the next sample frame the client receives.
    static std::vector<std::uint8_t> NextSamples(TcpClient& client) {
        auto frame = client.Read(frames::kSampleFrameSize);
        if (!frame) {
            return {};
        }
        return {frame->begin() + 20, frame->begin() + 26};
    }

    // Waits, keeping the window's events flowing, until the dongle has seen count reads submitted.
    static bool AwaitSubmitted(unsigned count) {
        return QTest::qWaitFor([&] { return usbbench::Counters(1, 2).submitted >= count; }, 10000);
    }

    usb::TransferStatistics ReadSideStatistics() {
        std::lock_guard lock(usb::StatisticsLock());
        return window->ReadSide() != nullptr ? window->ReadSide()->statistics : usb::TransferStatistics{};
    }

    int port = FreePort();
};

TEST_F(ReceptionTest, OpenSendsEveryTransfersSamplesToTheRelayClientsAndShowsTheReports) {
    Open(
        Dongle("in sequence 010203040506;;0A0B0C0D0E0F;111111111111\nin-fail EIO 3 1\nin-silence-after 5\n"));
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_EQ(OpenCloseCaption(), "Close");
    EXPECT_TRUE(PanesVisible());
    // The report's every line is checked where it is built; here, that it describes this dongle.
    const std::vector<std::string> information = Lines(Find<QPlainTextEdit>("Test information"));
    ASSERT_EQ(information.size(), 10U);
    EXPECT_EQ(information[0], "Loop Test Information");
    EXPECT_EQ(information[1], "Vid / Pid\t\t: 04D2h / 162Eh");
    EXPECT_EQ(information[2], "Interface #\t: 00h");
    EXPECT_EQ(window->EndpointStatistics(), kHeaders);
    EXPECT_EQ(Lines(Find<QPlainTextEdit>("Endpoint statistics")),
              (std::vector<std::string>{"Bulk Read (Ep81h) max packet size: 64", "",
                                        "Bulk Write (Ep02h) max packet size: 64", ""}));

    const std::vector<std::uint8_t> first{0x02, 0x01, 0x04, 0x03, 0x06, 0x05};
    EXPECT_EQ(NextSamples(*client), first);
    EXPECT_EQ(NextSamples(*client), first) << "an empty transfer repeats what the buffer held";
    EXPECT_EQ(NextSamples(*client), (std::vector<std::uint8_t>{0x0B, 0x0A, 0x0D, 0x0C, 0x0F, 0x0E}));
    EXPECT_EQ(NextSamples(*client), first) << "the failed transfer sent nothing";

    ASSERT_TRUE(AwaitSubmitted(6));
    window->OnTimer(2);
    EXPECT_EQ(window->EndpointStatistics().substr(0, window->EndpointStatistics().find("\tAvg.")),
              "Bulk Read (Ep81h) max packet size: 64\r\n"
              "\tTotal Bytes     : 6\r\n"
              "\tTotal Transfers : 2\r\n"
              "\tOther Errors    : 1\r\n");

    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(OpenCloseCaption(), "Open");
    EXPECT_TRUE(PanesHidden());
    EXPECT_TRUE(window->TestInformation().empty());
    EXPECT_TRUE(window->EndpointStatistics().empty());
    EXPECT_TRUE(window->TimersRunning()) << "the timers run on after Close";
    const std::string journal = usbbench::Journal();
    EXPECT_NE(journal.find("setconfig 1"), std::string::npos);
    EXPECT_NE(journal.find("claim 0"), std::string::npos);
}

TEST_F(ReceptionTest, TheTimersShowTheDataRateAndTheGrowingStatistics) {
    Open(Dongle("in counter\nin-latency-us 2000\n"));
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_TRUE(window->TimersRunning());
    EXPECT_EQ(DataRate(), "0.0");
    ASSERT_TRUE(QTest::qWaitFor([&] { return DataRate() != "0.0" && DataRate() != "0.00"; }, 10000));
    EXPECT_GT(DataRate().toDouble(), 0.0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->EndpointStatistics().find("\tElapsed Time    : ") != std::string::npos; },
        10000));
    EXPECT_NE(window->EndpointStatistics().find("\tTotal Transfers : "), std::string::npos);
    EXPECT_EQ(Lines(Find<QPlainTextEdit>("Endpoint statistics"))[1].rfind("\tTotal Bytes     : ", 0), 0U);

    Click(app::IDC_OPEN_CLOSE);
    // Nothing more is relayed, so the next readout falls to nothing.
    EXPECT_TRUE(QTest::qWaitFor([&] { return DataRate() == "0.00"; }, 10000));
    EXPECT_TRUE(window->EndpointStatistics().empty());
    EXPECT_TRUE(PanesHidden());
}

TEST_F(ReceptionTest, TheDataRateIsHalfThePacketsOfTwoSeconds) {
    Open("bus 1\n");
    for (int i = 0; i < 50; ++i) {
        window->RelaySamplePacket(frames::SamplePacket{});
    }
    window->OnTimer(1);
    EXPECT_EQ(DataRate(), "25.00");
    window->RelaySamplePacket(frames::SamplePacket{});
    window->OnTimer(1);
    EXPECT_EQ(DataRate(), "0.50");
    window->OnTimer(1);
    EXPECT_EQ(DataRate(), "0.00");
}

TEST_F(ReceptionTest, CloseEndsAReadThatWaitsOnASilentDeviceAndOpenWorksAgain) {
    Open(Dongle("in counter\nin-silence-after 3\n"));
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    ASSERT_TRUE(AwaitSubmitted(4));
    const auto started = std::chrono::steady_clock::now();
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "not the read's 30 s timeout";
    EXPECT_EQ(OpenCloseCaption(), "Open");
    EXPECT_FALSE(window->DeviceOpen());
    EXPECT_EQ(window->ReadSide(), nullptr);
    EXPECT_EQ(window->WriteSide(), nullptr);
    EXPECT_NE(usbbench::Journal().find("release 0"), std::string::npos);

    // The same dongle, streaming this time: the second connection reads and counts like the first.
    usbbench::Load(Dongle("in counter\n"));
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(OpenCloseCaption(), "Close");
    EXPECT_EQ(window->EndpointStatistics(), kHeaders);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadSideStatistics().transferCount >= 5; }, 10000));
    EXPECT_GE(ReadSideStatistics().totalBytes, 5 * 64);
    EXPECT_EQ(NextSamples(*client).size(), 6U);
    EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(ReceptionTest, AnUnpluggedDongleCanBeClosedAndOpenedAgain) {
    Open(Dongle("in counter\nin-unplug-after 10\n"));
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadSideStatistics().otherErrors >= 3; }, 10000));
    EXPECT_EQ(ReadSideStatistics().totalBytes, 7 * 64);
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(OpenCloseCaption(), "Open");

    // The device is gone: the library still hands out a handle, so Open goes through and each
    // request on it fails.
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(OpenCloseCaption(), "Close");
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0].rfind("Setting configuration #1!\n", 0), 0U) << messages[0];
    EXPECT_EQ(messages[1].rfind("Claiming interface #0!\n", 0), 0U) << messages[1];
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadSideStatistics().otherErrors >= 1; }, 10000));
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(OpenCloseCaption(), "Open");
    EXPECT_EQ(window->ClientTable().Entries().size(), 1U) << "the relay went on regardless";
}

TEST_F(ReceptionTest, AFailingClaimIsShownAndReceptionIsStillAttempted) {
    Open(Dongle("in counter\n", "claim-fails EBUSY\n"));
    Click(app::IDC_OPEN_CLOSE);
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].rfind("Claiming interface #0!\n", 0), 0U) << messages[0];
    EXPECT_NE(messages[0].find("busy"), std::string::npos) << "with the library's reason: " << messages[0];
    EXPECT_EQ(OpenCloseCaption(), "Close");
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadSideStatistics().otherErrors >= 1; }, 10000));
    EXPECT_EQ(ReadSideStatistics().totalBytes, 0);
    EXPECT_EQ(window->TakePacketCount(), 0);
}

TEST_F(ReceptionTest, AnInterfaceWithoutOutEndpointReceivesAndReportsItsReadSideAlone) {
    Open("device 1 2 1 2\nconfiguration 1\n"
         "interface 1\naltsetting 0\nendpoint 0x83 interrupt 16\nin counter\n");
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(messages,
              (std::vector<std::string>{"failed locating EP00h!\n", "Error in creating the write test!"}));
    EXPECT_NE(window->TestInformation().find("Interface #\t: 01h\r\n"), std::string::npos);
    EXPECT_EQ(window->EndpointStatistics(), "Interrupt Read (Ep83h) max packet size: 16\r\n\r\n");
    EXPECT_EQ(NextSamples(*client).size(), 6U);
}

TEST_F(ReceptionTest, OpenWithoutADeviceSaysSo) {
    Open("bus 1\n");
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(messages, (std::vector<std::string>{"No device were found!", "No device is selected!"}));
    EXPECT_EQ(OpenCloseCaption(), "Open");
}

TEST_F(ReceptionTest, ADeviceWithoutInterfacesStaysOpenWithoutReadingUntilClose) {
    Open("device 1 2 0x1234 0xABCD\nconfiguration 1\ninterface 0\n");
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(messages, std::vector<std::string>{"Device 1234:ABCD does not have any interfaces!"});
    EXPECT_EQ(OpenCloseCaption(), "Close") << "the connection stays open until Close";
    EXPECT_TRUE(PanesHidden());
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(OpenCloseCaption(), "Open");
}

TEST_F(ReceptionTest, FaultsLeaveNoDescriptorOrThreadBehind) {
    // Reads fail for a while in the first connection; in every one a client resets mid-stream and
    // another never reads.
    Open(Dongle("in counter\nin-latency-us 500\nin-fail EPROTO 20 30\n"));
    std::int32_t failures = 0;
    const auto cycle = [&] {
        auto reader = Client();
        TcpClient stalled("127.0.0.1", port);
        stalled.ShrinkReceiveBuffer();
        Click(app::IDC_OPEN_CLOSE);
        EXPECT_TRUE(QTest::qWaitFor([&] { return ReadSideStatistics().transferCount >= 60; }, 10000));
        EXPECT_EQ(NextSamples(*reader).size(), 6U);
        failures = ReadSideStatistics().otherErrors;
        reader->Reset();
        Click(app::IDC_OPEN_CLOSE);
        Click(app::IDC_RELAY_START_STOP);
        EXPECT_EQ(OpenCloseCaption(), "Open");
        EXPECT_FALSE(window->ClientTable().Running());
    };
    cycle();
    EXPECT_EQ(failures, 30);
    const std::size_t descriptors = CountEntries("/proc/self/fd");
    EXPECT_EQ(CountThreadsNamed("kestavo-relay"), 1U);
    for (int i = 0; i < 5; ++i) {
        cycle();
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return CountEntries("/proc/self/fd") <= descriptors; }, 10000))
        << CountEntries("/proc/self/fd") << " descriptors, " << descriptors << " after the first round";
    EXPECT_EQ(CountThreadsNamed("kestavo-relay"), 1U);
    EXPECT_EQ(CountThreadsNamed("kestavo-worker"), 0U) << "every worker ended with its connection";
    EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(ReceptionTest, ClosingTheWindowWhileStreamingStopsTheReaderFirst) {
    Open(Dongle("in counter\n"));
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    ASSERT_TRUE(AwaitSubmitted(100));
    window.reset();
    auto received = client->ReadToEnd();
    ASSERT_TRUE(received);
    ASSERT_GE(received->size(), frames::kStopFrameSize + frames::kSampleFrameSize);
    EXPECT_EQ((received->size() - frames::kStopFrameSize) % frames::kSampleFrameSize, 0U)
        << "whole frames only";
    const auto stop = frames::StopFrame();
    EXPECT_TRUE(std::equal(stop.begin(), stop.end(), received->end() - frames::kStopFrameSize));
}

TEST_F(ReceptionTest, TheDemoDongleStreamsThreeWaves) {
    Open(ReadFile(KESTAVO_DEMO_DONGLE));
    auto client = Client();
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_TRUE(messages.empty()) << messages.front();
    std::vector<std::vector<std::uint8_t>> samples;
    for (int i = 0; i < 5; ++i) {
        samples.push_back(NextSamples(*client));
        ASSERT_EQ(samples.back().size(), 6U);
    }
    // The sawtooth climbs from one transfer to the next.
    const auto saw = [](const std::vector<std::uint8_t>& s) {
        return s[4] | (s[5] << 8);
    };
    EXPECT_LT(saw(samples[1]), saw(samples[4]));
}

// The outputs the command line asks for start with Open and end with Close.
TEST_F(ReceptionTest, OpenStartsTheOutputsAndCloseEndsThem) {
    Open(Dongle("in counter\nin-latency-us 2000\n"));
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(FreePort());
    publish::OutputOptions outputs;
    outputs.zmq = endpoint;
    window->SetOutputOptions(outputs);
    Click(app::IDC_OPEN_CLOSE);
    ASSERT_NE(window->Outputs(), nullptr);
    zmq::context_t context;
    zmq::socket_t samples(context, zmq::socket_type::sub);
    samples.set(zmq::sockopt::subscribe, "");
    samples.set(zmq::sockopt::rcvtimeo, 10000);
    samples.connect(endpoint);
    zmq::message_t message;
    ASSERT_TRUE(samples.recv(message));
    ASSERT_GE(message.size(), 6U);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return Lines(Find<QPlainTextEdit>("Log")).back() ==
                   "ZeroMQ: publishing the samples on " + endpoint;
        },
        10000));
    Click(app::IDC_OPEN_CLOSE);
    EXPECT_EQ(window->Outputs(), nullptr);
}

// The scope the context menu opens is fed by the reader while it is shown, and only then.
TEST_F(ReceptionTest, TheScopeShowsTheDongleWhileItIsShown) {
    Open(ReadFile(KESTAVO_DEMO_DONGLE));
    Click(app::IDC_OPEN_CLOSE);
    window->OnScope();
    scope::ScopeWindow* scope = window->Scope();
    ASSERT_NE(scope, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return scope->View()->Latest().has_value(); }, 10000));
    // A screen reader hears the status line's text, not only its caption.
    const auto* status = FindByName<QLabel>(scope, QStringLiteral("Reading the dongle"));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->accessibleDescription(), QStringLiteral("Status"));
    scope->View()->SetSpan(500'000'000);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QImage image = scope->View()->Render(QSize(400, 200));
            for (const QColor& colour : scope::kTraceColours) {
                bool drawn = false;
                for (int y = 0; y < image.height() && !drawn; ++y) {
                    for (int x = 200; x < image.width() && !drawn; ++x) {
                        drawn = image.pixelColor(x, y) == colour;
                    }
                }
                if (!drawn) {
                    return false;
                }
            }
            return true;
        },
        10000))
        << "the three traces, in the recent half of the plot";

    scope->close();
    const auto readsMore = [&] {
        const auto reads = window->ReadSide()->answeredReads.load();
        return QTest::qWaitFor([&] { return window->ReadSide()->answeredReads.load() > reads + 5; }, 10000);
    };
    ASSERT_TRUE(readsMore()); // a push begun before the close has ended by now
    scope->Refresh();
    const auto latest = scope->View()->Latest()->timeNs;
    ASSERT_TRUE(readsMore());
    scope->Refresh();
    EXPECT_EQ(scope->View()->Latest()->timeNs, latest) << "a hidden scope takes nothing";
}

} // namespace
} // namespace kestavo::test
