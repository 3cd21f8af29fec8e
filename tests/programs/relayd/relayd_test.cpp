// kestavo-relayd as a process of its own, with the USB test bench preloaded into it and real TCP clients.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <httplib.h>
#include <iterator>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zmq.hpp>

#include <gtest/gtest.h>

#include "clientkit/cpp/tls_client.h"
#include "frames/frame_decoder.h"
#include "frames/frames.h"
#include "kit.h"
#include "nats_kit.h"
#include "temp_dir.h"
#include "tests/kit/child_process.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client that reads frames with the client program's decoder.
struct Reader {
    explicit Reader(int port, const std::string& host = "::1") : client(host, port) {}

    // Reads until done(frame) holds for a frame, or the limit passes; false then, or on a bad stream.
    template <typename Done> bool ReadUntil(Done done, std::chrono::milliseconds limit = 10s) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            const auto bytes = client.Read(1, 100ms);
            if (!bytes) {
                continue;
            }
            std::vector<frames::DecodedFrame> decoded;
            if (!decoder.Feed(bytes->data(), bytes->size(), decoded)) {
                ADD_FAILURE() << decoder.Error();
                return false;
            }
            for (const auto& frame : decoded) {
                received.push_back(frame);
                if (done(frame)) {
                    return true;
                }
            }
        }
        return false;
    }

    TcpClient client;
    frames::FrameDecoder decoder;
    std::vector<frames::DecodedFrame> received;
};

bool IsStop(const frames::DecodedFrame& frame) {
    return frame.type == frames::kStopFrame;
}

class RelaydTest : public ::testing::Test {
protected:
    // The service on the emulated dongles described, preloaded with the bench.
    // withPort: on the fixture's port (else the arguments name the ports).
    std::unique_ptr<testkit::ChildProcess> Start(const std::string& devices,
                                                 std::vector<std::string> arguments, bool withPort = true) {
        WriteFile(dir / "devices.txt", devices);
        if (withPort) {
            arguments.insert(arguments.end(), {"--port", std::to_string(port)});
        }
        const char* asan = std::getenv("ASAN_OPTIONS");
        return std::make_unique<testkit::ChildProcess>(
            KESTAVO_RELAYD, arguments,
            std::vector<std::string>{
                "LD_PRELOAD=" USBBENCH_LIBRARY, "USB_DEVFS_PATH=" + (dir / "usb").string(),
                "USB_SYSFS_PATH=" + (dir / "sysfs").string(),
                "USB_BENCH_DEVICES=" + (dir / "devices.txt").string(),
                std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0",
                "NOTIFY_SOCKET=" + notifySocket, watchdog});
    }

    ~RelaydTest() override {
        if (notices >= 0) {
            ::close(notices);
        }
    }

    // Takes the service manager's place: the service started next sends its notices here.
    void ListenForNotices() {
        notifySocket = (dir / "notify").string();
        notices = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, notifySocket.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(notices, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval limit{10, 0};
        ::setsockopt(notices, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    // The next notice, or an empty text after 10 s without one.
    std::string NextNotice() const {
        char message[512] = {};
        const ssize_t got = ::recv(notices, message, sizeof message - 1, 0);
        return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : std::string();
    }

    TempDir dir;
    int port = FreePort();
    std::string notifySocket;
    int notices = -1;
    std::string watchdog = "WATCHDOG_USEC=";
};

constexpr char kDongle[] =
    "device 1 2 0x04d2 0x162e\nserial SN1\nconfiguration 1\ninterface 0\naltsetting 0\n"
    "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\nin counter\n";

// Absent at start, then plugged in: every transfer reaches both clients in order; SIGTERM while a read
// waits on the silent dongle sends the stop frame and ends the service with status 0.
TEST_F(RelaydTest, WaitsForTheDongleRelaysEveryTransferInOrderAndStopsOnSigterm) {
    auto relayd =
        Start(std::string(kDongle) + "in-latency-us 1000\nin-silence-after 300\nplug-in-after-ms 1500\n",
              {"--device", "04d2:162e"});
    ASSERT_TRUE(relayd->WaitFor("Network started\n")) << relayd->Output();
    Reader first(port);
    Reader second(port);
    ASSERT_TRUE(relayd->WaitFor("Dongle absent: 04d2:162e, waiting for it\n")) << relayd->Output();
    ASSERT_TRUE(relayd->WaitFor("Dongle opened: 04d2:162e (bus 001, address 002)\n")) << relayd->Output();
    for (Reader* reader : {&first, &second}) {
        ASSERT_TRUE(reader->ReadUntil(
            [](const auto& frame) { return !frame.samples.empty() && frame.samples[0] == 299; }));
    }
    const auto stopping = Clock::now();
    relayd->Signal(SIGTERM);
    for (Reader* reader : {&first, &second}) {
        ASSERT_TRUE(reader->ReadUntil(IsStop));
        std::vector<std::uint16_t> numbers;
        for (const auto& frame : reader->received) {
            if (frame.type == frames::kSampleFrame) {
                numbers.push_back(frame.samples.at(0));
            }
        }
        ASSERT_EQ(numbers.size(), 300U) << "every transfer, from the first";
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], i);
        }
        EXPECT_EQ(reader->received.front().type, frames::kConfigurationFrame);
        EXPECT_TRUE(reader->client.ClosedByServer());
    }
    EXPECT_EQ(relayd->WaitExit(10s), 0);
    std::printf("stopped %.0f ms after SIGTERM while a read waited\n",
                std::chrono::duration<double, std::milli>(Clock::now() - stopping).count());
    const std::string log = relayd->Output();
    EXPECT_NE(log.find("Client connected ::1 " + std::to_string(first.client.LocalPort()) + "\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Stopping on TERM\nNetwork stopped\n"), std::string::npos) << log;
}

TEST_F(RelaydTest, ClientsStayConnectedWhileTheDongleIsUnpluggedAndPluggedBack) {
    auto relayd =
        Start(std::string(kDongle) + "in-latency-us 5000\nin-unplug-after 100\nin-replug-after-ms 800\n",
              {"--device", "04d2:162e:SN1"});
    ASSERT_TRUE(relayd->WaitFor("Network started\n")) << relayd->Output();
    Reader first(port);
    Reader second(port);
    ASSERT_TRUE(relayd->WaitFor("Dongle lost: 04d2:162e:SN1 (No such device)\n", 15s)) << relayd->Output();
    ASSERT_TRUE(relayd->WaitFor("Dongle back: 04d2:162e:SN1 (bus 001, address 002)\n", 15s))
        << relayd->Output();
    for (Reader* reader : {&first, &second}) {
        // The counter starts again with the dongle: a number lower than the one before marks the return.
        std::optional<std::uint16_t> last;
        bool restarted = false;
        ASSERT_TRUE(reader->ReadUntil(
            [&](const frames::DecodedFrame& frame) {
                if (frame.type != frames::kSampleFrame) {
                    return false;
                }
                restarted = restarted || (last && frame.samples[0] < *last);
                last = frame.samples[0];
                return restarted && frame.samples[0] >= 20;
            },
            15s));
    }
    EXPECT_EQ(relayd->Output().find("Client gone"), std::string::npos);
}

TEST_F(RelaydTest, OneOfTwoDonglesWithTheSameIdsIsChosenBySerial) {
    auto relayd = Start("device 1 2 0x1234 0x5678\nserial SN1\nconfiguration 1\ninterface 0\naltsetting 0\n"
                        "endpoint 0x81 bulk 64\nin sequence 000100010001\nin-latency-us 1000\n"
                        "device 1 3 0x1234 0x5678\nserial SN2\nconfiguration 1\ninterface 0\naltsetting 0\n"
                        "endpoint 0x81 bulk 64\nin sequence 000200020002\nin-latency-us 1000\n",
                        {"--device", "1234:5678:SN2"});
    ASSERT_TRUE(relayd->WaitFor("Dongle opened: 1234:5678:SN2 (bus 001, address 003)\n")) << relayd->Output();
    Reader reader(port);
    ASSERT_TRUE(reader.ReadUntil([](const auto& frame) { return frame.type == frames::kSampleFrame; }));
    EXPECT_EQ(reader.received.back().samples, (std::vector<std::uint16_t>{2, 2, 2}));
}

TEST_F(RelaydTest, SaysWhatAccessRulesAreInForceAndNamesEachRefusedPeer) {
    auto relayd = Start(std::string(kDongle) + "in-latency-us 1000\n",
                        {"--device", "04d2:162e", "--allow", "127.0.0.0/8", "--max-per-address", "3"});
    ASSERT_TRUE(
        relayd->WaitFor("Access: allowing 127.0.0.0/8; at most 3 from one address\nNetwork started\n"))
        << relayd->Output();
    Reader allowed(port, "127.0.0.1");
    TcpClient refused("::1", port);
    EXPECT_TRUE(refused.ClosedByServer());
    const std::string line =
        "Client refused: ::1 " + std::to_string(refused.LocalPort()) + " (not allowed)\n";
    EXPECT_TRUE(relayd->WaitFor(line)) << relayd->Output();
    EXPECT_TRUE(allowed.ReadUntil([](const auto& frame) { return frame.type == frames::kSampleFrame; }));
}

// A GET on the status address, answered with its body.
// Fails the test when Prometheus's own checker refuses the metrics; skips where it is not installed.
void CheckWithPromtool(const std::string& metrics) {
#ifdef PROMTOOL
    TempDir dir;
    WriteFile(dir / "metrics.txt", metrics);
    EXPECT_EQ(
        std::system((std::string(PROMTOOL) + " check metrics < " + (dir / "metrics.txt").string()).c_str()),
        0)
        << metrics;
#else
    (void)metrics;
    GTEST_SKIP() << "promtool (Debian's prometheus) is not installed; the metrics' format was not checked";
#endif
}

std::string Get(int port, const std::string& path) {
    TcpClient http("127.0.0.1", port);
    http.Send("GET " + path + " HTTP/1.0\r\nHost: kestavo\r\n\r\n");
    const auto answer = http.ReadToEnd();
    if (!answer) {
        return {};
    }
    const std::string text(answer->begin(), answer->end());
    const auto body = text.find("\r\n\r\n");
    return body == std::string::npos || text.rfind("HTTP/1.1 200", 0) != 0 ? std::string()
                                                                           : text.substr(body + 4);
}

TEST_F(RelaydTest, ServesItsStatusAsJsonAndMetricsThatPrometheusReads) {
    const int statusPort = FreePort();
    auto relayd = Start(std::string(kDongle) + "in-latency-us 1000\n",
                        {"--device", "04d2:162e", "--status", "127.0.0.1:" + std::to_string(statusPort)});
    ASSERT_TRUE(relayd->WaitFor("Dongle opened")) << relayd->Output();
    Reader reader(port);
    ASSERT_TRUE(reader.ReadUntil([](const auto& frame) { return frame.type == frames::kSampleFrame; }));
    TcpClient("127.0.0.1", port).Reset(); // one that left, with a reset
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] {
        status = nlohmann::json::parse(Get(statusPort, "/status"), nullptr, false);
        return !status.is_discarded() && status["transfers"].get<std::int64_t>() > 0 &&
               status["clientsLeft"].size() == 1;
    })) << status.dump();
    EXPECT_EQ(status["dongle"]["device"], "04d2:162e");
    EXPECT_EQ(status["dongle"]["open"], true);
    EXPECT_EQ(status["relay"]["port"], port);
    ASSERT_EQ(status["clients"].size(), 1U);
    EXPECT_EQ(status["clients"][0]["peer"], "::1 " + std::to_string(reader.client.LocalPort()));
    EXPECT_GT(status["clients"][0]["framesSent"].get<std::uint64_t>(), 0U);
    // A reset the relay meets first on a write reads as a reset, one it meets on a read as a close.
    const std::string why = status["clientsLeft"][0]["left"];
    EXPECT_TRUE(why == "reset" || why == "closed by the peer") << why;
    EXPECT_EQ(status["relay"]["departures"][why], 1);
    EXPECT_TRUE(status["rates"].contains("transfersPerSecond"));
    EXPECT_TRUE(status["relay"]["readerHeldBack"]["times"].is_number_unsigned()) << status.dump(2);
    EXPECT_TRUE(status["relay"]["readerHeldBack"]["seconds"].is_number()) << status.dump(2);

    const std::string metrics = Get(statusPort, "/metrics");
    EXPECT_NE(metrics.find("\nkestavo_clients{dongle=\"default\"} 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("kestavo_client_departures_total{dongle=\"default\",reason=\"" + why + "\"} 1\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("\nkestavo_reader_held_seconds_total{dongle=\"default\"} "), std::string::npos)
        << metrics;
    CheckWithPromtool(metrics);
}

// The whole answer to a GET: status line, headers and body.
std::string Fetch(int port, const std::string& path) {
    TcpClient http("127.0.0.1", port);
    http.Send("GET " + path + " HTTP/1.0\r\nHost: kestavo\r\n\r\n");
    const auto answer = http.ReadToEnd();
    return answer ? std::string(answer->begin(), answer->end()) : std::string();
}

// Reads a live plot's events until `count` of them hold columns with samples; gives their data.
std::vector<nlohmann::json> LiveEvents(TcpClient& viewer, std::size_t count) {
    std::vector<nlohmann::json> events;
    std::string stream;
    const auto end = Clock::now() + 10s;
    while (events.size() < count && Clock::now() < end) {
        const auto byte = viewer.Read(1, 1s);
        if (!byte) {
            break;
        }
        stream += static_cast<char>(byte->at(0));
        const auto start = stream.find("data: {");
        const auto stop = start == std::string::npos ? start : stream.find("}\n\n", start);
        if (stop != std::string::npos) {
            auto event =
                nlohmann::json::parse(stream.substr(start + 6, stop + 1 - start - 6), nullptr, false);
            stream.erase(0, stop + 3);
            if (!event.is_discarded() && !event["columns"].empty()) {
                events.push_back(std::move(event));
            }
        }
    }
    return events;
}

// The live page and what it is drawn from: the page itself with a policy that lets it load nothing from
// elsewhere, each pixel column's least and greatest of each trace (the whole width, then only the newest
// columns), clear refusals of a bad query, and no more live plots at once than the service serves.
TEST_F(RelaydTest, ServesALivePageAndThePlotsColumnsAndRefusesWhatItCannotServe) {
    const int statusPort = FreePort();
    auto relayd = Start(std::string(kDongle) + "in-latency-us 1000\n",
                        {"--device", "04d2:162e", "--status", std::to_string(statusPort)});
    ASSERT_TRUE(relayd->WaitFor("Dongle opened")) << relayd->Output();
    const std::string page = Fetch(statusPort, "/");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0U) << page;
    EXPECT_NE(page.find("Content-Security-Policy: default-src 'none'; script-src 'self';"), std::string::npos)
        << page;
    EXPECT_NE(page.find("<canvas id=\"plot\""), std::string::npos);
    EXPECT_NE(Fetch(statusPort, "/page.js").find("new EventSource('live?'"), std::string::npos);
    EXPECT_EQ(Fetch(statusPort, "/elsewhere").rfind("HTTP/1.1 404", 0), 0U);
    for (const char* bad : {"/live?width=0", "/live?width=100000", "/live", "/live?width=10&span=5",
                            "/live?width=10&dongle=mast"}) {
        const std::string answer = Fetch(statusPort, bad);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0U) << bad << "\n" << answer;
    }
    EXPECT_NE(Fetch(statusPort, "/live?width=0").find("width: '0' is not a whole number from 1 to 4096"),
              std::string::npos);

    // The counter dongle: each column's least and greatest of the first sample count up.
    TcpClient viewer("127.0.0.1", statusPort);
    viewer.Send("GET /live?width=50&span=1000&rate=20 HTTP/1.1\r\nHost: kestavo\r\n\r\n");
    const auto events = LiveEvents(viewer, 3);
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[0]["columnNs"], 20'000'000);
    EXPECT_EQ(events[0]["columns"].size(), 50U) << "the whole width first";
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_LE(events[i]["columns"].size(), 10U) << "then only the newest columns";
        EXPECT_EQ(events[i]["first"], events[i - 1]["first"].get<std::int64_t>() +
                                          static_cast<std::int64_t>(events[i - 1]["columns"].size()) - 1)
            << "from the column the last one ended with";
    }
    const auto& column = events[2]["columns"].back();
    ASSERT_TRUE(column.is_array()) << events[2].dump();
    EXPECT_LE(column[0].get<int>(), column[1].get<int>());

    // As many more as the service serves at once; the next is told to come back later.
    std::vector<std::unique_ptr<TcpClient>> others;
    for (int i = 1; i < 32; ++i) {
        others.push_back(std::make_unique<TcpClient>("127.0.0.1", statusPort));
        others.back()->Send("GET /live?width=10 HTTP/1.1\r\nHost: kestavo\r\n\r\n");
        ASSERT_TRUE(others.back()->Read(12)) << "viewer " << i;
    }
    // A crowd of them at once is turned away at once, not left waiting to connect.
    std::vector<std::unique_ptr<TcpClient>> crowd;
    for (int i = 0; i < 150; ++i) {
        crowd.push_back(std::make_unique<TcpClient>("127.0.0.1", statusPort));
        crowd.back()->Send("GET /live?width=10 HTTP/1.1\r\nHost: kestavo\r\n\r\n");
    }
    for (const auto& refused : crowd) {
        const auto answer = refused->ReadToEnd(5s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(std::string(answer->begin(), answer->end()).rfind("HTTP/1.1 503", 0), 0U);
    }
    EXPECT_NE(Fetch(statusPort, "/status").find("\"dongles\""), std::string::npos)
        << "the rest is still served";
    others.clear();
    viewer.Close();
    relayd->Signal(SIGTERM);
    EXPECT_EQ(relayd->WaitExit(10s), 0) << "no live plot holds the service up";
}

// What the kernel holds unsent on the TCP connection from local port `from` to remote port `to`, as
// /proc/net/tcp and tcp6 show it; -1 when there is no such connection.
long SendQueueOf(int from, int to) {
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            const auto port = [](const std::string& address) {
                return std::stoi(address.substr(address.rfind(':') + 1), nullptr, 16);
            };
            if (!queues.empty() && port(local) == from && port(remote) == to) {
                return std::stol(queues.substr(0, queues.find(':')), nullptr, 16);
            }
        }
    }
    return -1;
}

// A viewer that stops reading holds up nobody but its own plot: the reader goes on meanwhile, and once
// the viewer reads again the service tells it how many updates it missed, which the page shows.
TEST_F(RelaydTest, ALivePlotThatFallsBehindIsToldHowManyUpdatesItMissed) {
    const int statusPort = FreePort();
    auto relayd = Start(std::string(kDongle) + "in-latency-us 100\n",
                        {"--device", "04d2:162e", "--status", std::to_string(statusPort)});
    ASSERT_TRUE(relayd->WaitFor("Dongle opened")) << relayd->Output();
    const auto transfers = [&] {
        const auto status = nlohmann::json::parse(Get(statusPort, "/status"), nullptr, false);
        return status.is_discarded() ? std::int64_t{-1} : status["transfers"].get<std::int64_t>();
    };
    // The whole width of a short span changes at every update, so each is large; the viewer's window is
    // small from the start, so that the service's writes soon wait for it.
    TcpClient viewer("127.0.0.1", statusPort, 4096);
    ASSERT_TRUE(viewer.Connected());
    ASSERT_TRUE(viewer.Send("GET /live?width=4096&span=100&rate=20 HTTP/1.1\r\nHost: kestavo\r\n\r\n"));
    const int viewerPort = viewer.LocalPort();

    // The service's writes to it wait once the kernel holds all it will: its send queue stops growing,
    // where an update came every 50 ms.
    long queued = -1;
    auto since = Clock::now();
    auto looked = Clock::now();
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (Clock::now() - looked < 20ms) {
                return false;
            }
            looked = Clock::now();
            const long now = SendQueueOf(statusPort, viewerPort);
            if (now != queued) {
                queued = now;
                since = looked;
            }
            return queued > 0 && looked - since > 300ms;
        },
        60s))
        << "the service's send queue to the viewer: " << queued;
    const std::int64_t stalledAt = transfers();
    EXPECT_TRUE(WaitUntil([&] { return transfers() > stalledAt + 1000; })) << "the reader waits for nobody";

    // It reads again, as fast as it can: its small window is reopened at each read rather than after the
    // kernel's delayed acknowledgement, or the backlog would take many seconds to drain.
    std::string stream;
    std::uint64_t skipped = 0;
    const auto end = Clock::now() + 30s;
    while (skipped == 0 && Clock::now() < end) {
        const int quickly = 1;
        ::setsockopt(viewer.Descriptor(), IPPROTO_TCP, TCP_QUICKACK, &quickly, sizeof quickly);
        pollfd readable{viewer.Descriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 5000), 1) << "the viewer's plot went quiet";
        char chunk[65536];
        const ssize_t got = ::recv(viewer.Descriptor(), chunk, sizeof chunk, 0);
        ASSERT_GT(got, 0) << "the viewer's plot ended";
        stream.append(chunk, static_cast<std::size_t>(got));
        for (auto at = stream.find("\"skipped\":"); at != std::string::npos;
             at = stream.find("\"skipped\":", at + 1)) {
            if (at + 10 < stream.size() && std::isdigit(static_cast<unsigned char>(stream[at + 10])) != 0) {
                skipped = std::max<std::uint64_t>(skipped, std::stoull(stream.substr(at + 10)));
            }
        }
        stream.erase(0, stream.size() > 32 ? stream.size() - 32 : 0);
    }
    EXPECT_GT(skipped, 0U) << "updates missed while it did not read";
}

// The outputs beside the relay, named after the dongle: NATS subjects with its serial, and the raw
// samples on a ZeroMQ socket; both saying which transfers they carry (the ZeroMQ header asked for), and
// the status page the last each sent.
TEST_F(RelaydTest, PublishesIntoNatsAndZeroMq) {
    NatsServer server(FreePort());
    ASSERT_TRUE(server.Ready());
    Subscriber subscriber(server.Url(), "kestavo.>");
    ASSERT_TRUE(subscriber.Ok());
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(FreePort());
    const int statusPort = FreePort();
    auto relayd = Start(std::string(kDongle) + "in-latency-us 2000\n",
                        {"--device", "04d2:162e", "--nats", server.Url(), "--zmq", endpoint, "--zmq-header",
                         "--status", std::to_string(statusPort)});
    zmq::context_t context;
    zmq::socket_t samples(context, zmq::socket_type::sub);
    samples.set(zmq::sockopt::subscribe, "");
    samples.set(zmq::sockopt::rcvtimeo, 10000);
    samples.connect(endpoint);

    const auto configuration = subscriber.Next();
    ASSERT_TRUE(configuration) << relayd->Output();
    EXPECT_EQ(configuration->first, "kestavo.SN1.config");
    const auto frame = subscriber.NextMessage();
    ASSERT_TRUE(frame) << relayd->Output();
    EXPECT_EQ(frame->subject, "kestavo.SN1.samples");
    EXPECT_EQ(frame->data.size() % frames::kSampleFrameSize, 0U);
    EXPECT_EQ(frame->headers.at("Kestavo-Open"), "1");
    EXPECT_EQ(frame->headers.at("Kestavo-Count"),
              std::to_string(frame->data.size() / frames::kSampleFrameSize));
    EXPECT_TRUE(frame->headers.contains("Kestavo-Seq") && frame->headers.contains("Kestavo-Time"));
    zmq::message_t header;
    ASSERT_TRUE(samples.recv(header));
    EXPECT_EQ(header.size(), 24U);
    ASSERT_TRUE(header.more());
    zmq::message_t message;
    ASSERT_TRUE(samples.recv(message));
    EXPECT_EQ(message.size() % 6, 0U);
    EXPECT_EQ(static_cast<const std::uint8_t*>(header.data())[8], message.size() / 6) << "the count";
    EXPECT_TRUE(relayd->WaitFor("NATS: publishing on kestavo.SN1.samples through " + server.Url()));
    EXPECT_TRUE(relayd->WaitFor("ZeroMQ: publishing the samples on " + endpoint));

    // Each output's counts on the status page.
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] {
        status = nlohmann::json::parse(Get(statusPort, "/status"), nullptr, false);
        return !status.is_discarded() && status["outputs"].size() == 2 &&
               status["outputs"][0]["published"].get<std::uint64_t>() > 0 &&
               status["outputs"][1]["published"].get<std::uint64_t>() > 1;
    })) << status.dump();
    EXPECT_EQ(status["outputs"][0]["name"], "nats");
    EXPECT_EQ(status["outputs"][1]["name"], "zmq");
    EXPECT_EQ(status["outputs"][0]["dropped"], 0);
    EXPECT_EQ(status["outputs"][1]["lastSent"]["opening"], 1);
    EXPECT_GT(status["outputs"][1]["lastSent"]["transfer"].get<std::uint64_t>(), 0U);
    const std::string metrics = Get(statusPort, "/metrics");
    EXPECT_NE(metrics.find("kestavo_output_samples_dropped_total{dongle=\"default\",output=\"zmq\"} 0\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("kestavo_output_opening{dongle=\"default\",output=\"nats\"} 1\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("kestavo_output_last_transfer{dongle=\"default\",output=\"nats\"} "),
              std::string::npos);
    CheckWithPromtool(metrics);
}

TEST_F(RelaydTest, BadOptionsEndItWithStatus2NamingTheProblem) {
    WriteFile(dir / "unknown.conf", "device = \"04d2:162e\"\nspeed = 3\n");
    WriteFile(dir / "bad-port.conf", "device = \"04d2:162e\"\nport = \"ninety\"\n");
    const auto sections = [&](const std::string& name, const std::string& second) {
        WriteFile(dir / name,
                  "[dongle.roof]\ndevice = \"port:1-1.4\"\nport = 9001\n[dongle.mast]\n" + second);
        return (dir / name).string();
    };
    struct Case {
        std::vector<std::string> arguments;
        std::string named;
    };
    for (const Case& c :
         {Case{{"--device", "zz"}, "--device"}, Case{{"--device", "1:2", "--port", "0"}, "--port"},
          Case{{"--device", "1:2", "--bogus"}, "--bogus"}, Case{{}, "--device"},
          Case{{"--device", "1:2", "--allow", "10.0.0.0/33"}, "--allow"},
          Case{{"--device", "1:2", "--listen", "localhost"}, "--listen"},
          Case{{"--config", (dir / "unknown.conf").string()}, "speed"},
          Case{{"--config", (dir / "bad-port.conf").string()}, "port"},
          Case{{"--config", (dir / "missing.conf").string()}, "missing.conf"},
          Case{{"--config", sections("one-port.conf", "device = \"1/3\"\nport = 9001\n")},
               "[dongle.mast] port: 9001 is [dongle.roof]'s relay port too"},
          Case{{"--config", sections("no-device.conf", "port = 9002\n")},
               "[dongle.mast]: no key 'device' names its dongle"},
          Case{{"--config", sections("unknown-key.conf", "device = \"1/3\"\nspeed = 3\n")},
               "[dongle.mast]: unknown key 'speed'"},
          Case{{"--config", sections("bad-path.conf", "device = \"port:1-1..4\"\n")},
               "[dongle.mast] device: 'port:1-1..4' is not port:BUS-PORT[.PORT...]"},
          Case{{"--config", sections("same-dongle.conf", "device = \"port:1-1.4\"\nport = 9002\n")},
               "[dongle.mast] device: port:1-1.4 is [dongle.roof]'s dongle too"}}) {
        testkit::ChildProcess relayd(KESTAVO_RELAYD, c.arguments, {});
        EXPECT_EQ(relayd.WaitExit(10s), 2) << c.named;
        relayd.WaitFor("\n", 1s);
        EXPECT_NE(relayd.Output().find(c.named), std::string::npos) << relayd.Output();
        EXPECT_EQ(relayd.Output().find("Network started"), std::string::npos);
    }
}

// Another program listening on a port, every interface, until closed.
class TcpListener {
public:
    explicit TcpListener(int port) : fd_(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        address.sin6_addr = in6addr_any;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
        EXPECT_EQ(::listen(fd_, 4), 0);
    }
    ~TcpListener() { Close(); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

// A dongle of the bench on a port, its counter starting at start, with an OUT endpoint as the dongle has.
std::string PortedDongle(int address, const std::string& port, const std::string& serial, int start,
                         const std::string& extra = {}) {
    return "device 1 " + std::to_string(address) + " 0x04d2 0x162e\nport " + port + "\nserial " + serial +
           "\nconfiguration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\n"
           "in counter " +
           std::to_string(start) + "\nin-latency-us 1000\n" + extra;
}

// Reads until a sample frame from start + from on, checking that every sample frame counts from start
// up, one by one, while the dongle stays (a return starts it again).
testing::AssertionResult OwnFramesOnly(Reader& reader, int start, int from, std::chrono::milliseconds limit) {
    std::optional<int> last;
    std::string wrong;
    const bool reached = reader.ReadUntil(
        [&](const frames::DecodedFrame& frame) {
            if (frame.type != frames::kSampleFrame) {
                return false;
            }
            const int value = frame.samples.at(0);
            if (value < start || value >= start + 10000) {
                wrong = "a sample " + std::to_string(value) + " of another dongle";
                return true;
            }
            if (last && value != *last + 1 && value != start) {
                wrong = "a gap from " + std::to_string(*last) + " to " + std::to_string(value);
                return true;
            }
            last = value;
            return value >= start + from;
        },
        limit);
    if (!wrong.empty()) {
        return testing::AssertionFailure() << wrong;
    }
    return reached ? testing::AssertionSuccess() : testing::AssertionFailure() << "no frame reached it";
}

// Three dongles in one service, two of them of one batch (the same serial) told apart by their ports,
// the third by its serial, a fourth choice matching two: each client receives its own dongle's frames
// only; one unplugged leaves the others streaming and comes back, at a new address, on its own relay
// port; the fourth is refused with both named; a port in use waits without holding the others back.
TEST_F(RelaydTest, SeveralDonglesEachOnItsOwnPortAndChosenByThePortTheyArePluggedInto) {
    const int roofPort = FreePort();
    const int mastPort = FreePort();
    const int eightPort = FreePort();
    const int statusPort = FreePort();
    TcpListener squatter(eightPort); // another program has the third dongle's port, for a while
    WriteFile(dir / "relayd.conf",
              "status = \"127.0.0.1:" + std::to_string(statusPort) +
                  "\"\n"
                  "[dongle.roof]\ndevice = \"port:1-1.4\"\nport = " +
                  std::to_string(roofPort) + "\n" +
                  "[dongle.mast]\ndevice = \"port:1-2\"\nport = " + std::to_string(mastPort) + "\n" +
                  "[dongle.eight]\ndevice = \"04d2:162e:SN8\"\nport = " + std::to_string(eightPort) + "\n" +
                  "[dongle.either]\ndevice = \"04d2:162e:SN7\"\nport = " + std::to_string(FreePort()) + "\n");
    auto relayd =
        Start("device 1 1 0x1d6b 0x0002\nhub 4\ndevice 1 2 0x05e3 0x0608\nhub 4\nport 1-1\n" +
                  PortedDongle(5, "1-1.4", "SN7", 10000, "in-unplug-after 1500\nin-replug-after-ms 1500\n") +
                  PortedDongle(3, "1-2", "SN7", 20000) + PortedDongle(4, "1-3", "SN8", 30000),
              {"--config", (dir / "relayd.conf").string()}, false);
    ASSERT_TRUE(relayd->WaitFor("[roof] Dongle opened: port:1-1.4 (bus 001, address 005)\n"))
        << relayd->Output();
    ASSERT_TRUE(
        relayd->WaitFor("[eight] Trying port " + std::to_string(eightPort) + " again every 5 seconds\n"))
        << relayd->Output();
    ASSERT_TRUE(
        relayd->WaitFor("[either] Dongle not opened: 04d2:162e:SN7 matches 2 devices: 001/003 (port 1-2) "
                        "and 001/005 (port 1-1.4); choose one: port:1-2 or port:1-1.4\n"))
        << relayd->Output();
    Reader roof(roofPort);
    Reader mast(mastPort);
    EXPECT_TRUE(OwnFramesOnly(roof, 10000, 100, 10s));
    EXPECT_TRUE(OwnFramesOnly(mast, 20000, 100, 10s));

    // The roof's dongle goes, and comes back at the next address on the same port.
    ASSERT_TRUE(relayd->WaitFor("[roof] Dongle lost: port:1-1.4 (No such device)\n", 15s))
        << relayd->Output();
    const auto mastMeanwhile = mast.received.size();
    ASSERT_TRUE(relayd->WaitFor("[roof] Dongle back: port:1-1.4 (bus 001, address 006)\n", 15s))
        << relayd->Output();
    EXPECT_TRUE(OwnFramesOnly(mast, 20000, 1000, 10s)) << "the mast streamed on while the roof was gone";
    EXPECT_GT(mast.received.size(), mastMeanwhile);
    EXPECT_TRUE(OwnFramesOnly(roof, 10000, 100, 10s)) << "the roof's clients hear it again";
    EXPECT_EQ(relayd->Output().find("Client gone"), std::string::npos) << relayd->Output();

    squatter.Close();
    ASSERT_TRUE(relayd->WaitFor("[eight] Network started\n", 10s)) << relayd->Output();
    Reader eight(eightPort);
    EXPECT_TRUE(OwnFramesOnly(eight, 30000, 50, 10s));

    nlohmann::json status;
    ASSERT_TRUE(WaitUntil([&] {
        status = nlohmann::json::parse(Get(statusPort, "/status"), nullptr, false);
        return !status.is_discarded() && status["dongles"].size() == 4 &&
               status["dongles"][2]["relay"]["running"] && status["dongles"][2]["relay"]["clients"] == 1;
    })) << status.dump();
    EXPECT_EQ(status["dongle"]["device"], "port:1-1.4") << "the first dongle's figures stay at the top";
    EXPECT_EQ(status["dongles"][1]["name"], "mast");
    EXPECT_EQ(status["dongles"][1]["relay"]["port"], mastPort);
    EXPECT_EQ(status["dongles"][1]["relay"]["clients"], 1);
    EXPECT_EQ(status["dongles"][3]["dongle"]["open"], false);
    // The roof's dongle goes again 1,500 transfers after each return: while it is away the choice
    // matches the mast's alone, which the mast has open.
    const std::string problem = status["dongles"][3]["dongle"]["problem"].get<std::string>();
    EXPECT_TRUE(problem.find("04d2:162e:SN7 matches 2 devices") != std::string::npos ||
                problem.find("04d2:162e:SN7 is 001/003, which another dongle of this service has open") !=
                    std::string::npos)
        << problem;
    const std::string metrics = Get(statusPort, "/metrics");
    EXPECT_NE(metrics.find("kestavo_clients{dongle=\"mast\"} 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("kestavo_dongle_open{dongle=\"either\"} 0\n"), std::string::npos) << metrics;
    CheckWithPromtool(metrics);

    relayd->Signal(SIGTERM);
    EXPECT_EQ(relayd->WaitExit(10s), 0);
    for (Reader* reader : {&roof, &mast, &eight}) {
        EXPECT_TRUE(reader->ReadUntil(IsStop)) << "each client is sent its relay's stop frame";
    }
}

TEST_F(RelaydTest, TellsTheServiceManagerWhenItIsReadyAndWhenItStops) {
    ASSERT_NO_FATAL_FAILURE(ListenForNotices());
    // The configuration names another port; the command line's wins.
    WriteFile(dir / "relayd.conf", "device = \"04d2:162e\"\nport = " + std::to_string(FreePort()) + "\n");
    auto relayd =
        Start(std::string(kDongle) + "in-latency-us 1000\n", {"--config", (dir / "relayd.conf").string()});
    const std::string ready = NextNotice();
    EXPECT_EQ(ready.rfind("READY=1\n", 0), 0U) << ready;
    EXPECT_TRUE(TcpClient("127.0.0.1", port).Connected())
        << "listening on the command line's port once it said so";
    relayd->Signal(SIGINT);
    EXPECT_EQ(NextNotice(), "STOPPING=1");
    EXPECT_EQ(relayd->WaitExit(10s), 0);
}

// Asked for a watchdog of a second, the service feeds it well within that second, every time: fed only
// at each tick of a second, it would be killed.
TEST_F(RelaydTest, FeedsTheWatchdogWithinTheIntervalAsked) {
    watchdog = "WATCHDOG_USEC=1000000";
    ASSERT_NO_FATAL_FAILURE(ListenForNotices());
    auto relayd = Start(std::string(kDongle) + "in-latency-us 1000\n", {"--device", "04d2:162e"});
    std::vector<std::chrono::steady_clock::time_point> fed;
    while (fed.size() < 6) {
        const std::string notice = NextNotice();
        ASSERT_FALSE(notice.empty()) << "no word from the service for 10 s";
        if (notice == "WATCHDOG=1") {
            fed.push_back(std::chrono::steady_clock::now());
        }
    }
    for (std::size_t at = 1; at < fed.size(); ++at) {
        EXPECT_LT(fed[at] - fed[at - 1], 900ms) << "feed " << at;
    }
    relayd->Signal(SIGTERM);
    EXPECT_EQ(relayd->WaitExit(10s), 0);
}

// A relay reached through TLS alone, its clients admitted by certificate, its status page by a
// certificate or a token; renewed on SIGHUP with its clients kept.
TEST_F(RelaydTest, ServesTlsAloneToClientsWithCertificatesAndRenewsOnSighup) {
    const std::filesystem::path certificates = dir / "tls";
    ASSERT_EQ(std::system((std::string(KESTAVO_MAKE_CERTIFICATES) + " " + certificates.string()).c_str()), 0);
    const auto file = [&](const std::string& name) {
        return (certificates / name).string();
    };
    std::filesystem::copy_file(file("server.pem"), file("live.pem"));
    std::filesystem::copy_file(file("server.key"), file("live.key"));
    WriteFile(dir / "token", "s3cret-token\n");
    const int tlsPort = FreePort();
    const int statusPort = FreePort();
    auto relayd =
        Start(std::string(kDongle) + "in-latency-us 1000\n",
              {"--device", "04d2:162e", "--no-plain", "--tls-port", std::to_string(tlsPort), "--tls-cert",
               file("live.pem"), "--tls-key", file("live.key"), "--tls-client-ca", file("ca.pem"), "--status",
               std::to_string(statusPort), "--status-token-file", (dir / "token").string()});
    ASSERT_TRUE(relayd->WaitFor("Dongle opened")) << relayd->Output();
    EXPECT_FALSE(TcpClient("127.0.0.1", port).Connected()) << "no plain port";

    // openssl's own client: the configuration frame, then sample frames, as over plain TCP.
    testkit::ChildProcess sClient(
        "/bin/sh",
        {"-c", "openssl s_client -connect 127.0.0.1:" + std::to_string(tlsPort) + " -CAfile " +
                   file("ca.pem") + " -cert " + file("client.pem") + " -key " + file("client.key") +
                   " -quiet </dev/null 2>/dev/null | head -c 292 | od -An -v -tx1 | tr -d ' \\n'"},
        {});
    EXPECT_EQ(sClient.WaitExit(10s), 0);
    const std::string hex = sClient.Output();
    ASSERT_EQ(hex.size(), 292U * 2) << hex;
    EXPECT_EQ(hex.substr(0, 16), "0100000008010000") << "the configuration frame";
    EXPECT_EQ(hex.substr(264 * 2, 16), "000000001c000000") << "then a sample frame";
    EXPECT_TRUE(relayd->WaitFor(" (CN=roof-viewer)")) << relayd->Output();

    // A client that stays through the renewal.
    std::string error;
    bool refused = false;
    const auto connect = [&](const char* ca) {
        return client::TlsConnection::Open(ConnectTo("127.0.0.1", tlsPort), "localhost",
                                           {file(ca), file("client.pem"), file("client.key")}, 5000, error,
                                           refused);
    };
    auto kept = connect("ca.pem");
    ASSERT_TRUE(kept) << error;
    EXPECT_EQ(testkit::ReadTls(*kept, 264).size(), 264U);

    // The status page: HTTPS only, and only to a certificate of the client CA or the token.
    const auto status = [&](const char* ca, bool certificate, const std::string& token) {
        auto https = certificate ? std::make_unique<httplib::SSLClient>(
                                       "127.0.0.1", statusPort, file("client.pem"), file("client.key"))
                                 : std::make_unique<httplib::SSLClient>("127.0.0.1", statusPort);
        https->set_ca_cert_path(file(ca).c_str());
        https->enable_server_certificate_verification(true);
        httplib::Headers headers;
        if (!token.empty()) {
            headers.emplace("Authorization", "Bearer " + token);
        }
        const auto answer = https->Get("/status", headers);
        return answer ? std::make_pair(answer->status, answer->body) : std::make_pair(0, std::string());
    };
    EXPECT_EQ(status("ca.pem", false, "").first, 401);
    EXPECT_EQ(status("ca.pem", false, "s3cret-tokeN").first, 401);
    EXPECT_EQ(status("ca.pem", false, "s3cret-token").first, 200);
    nlohmann::json json;
    ASSERT_TRUE(WaitUntil([&] {
        const auto [code, body] = status("ca.pem", true, "");
        json = nlohmann::json::parse(body, nullptr, false);
        return code == 200 && !json.is_discarded() && json["tls"]["admitted"] == 2; // counted each second
    })) << json.dump();
    ASSERT_EQ(json["clients"].size(), 1U);
    EXPECT_EQ(json["clients"][0]["subject"], "CN=roof-viewer");
    EXPECT_EQ(json["tls"]["port"], tlsPort);
    EXPECT_EQ(json["tls"]["plain"], false);
    EXPECT_TRUE(Get(statusPort, "/status").empty()) << "nothing in the clear";

    // Renewed with another CA's certificate: new handshakes see it, the client from before streams on.
    using std::filesystem::copy_options;
    std::filesystem::copy_file(file("server-other.pem"), file("live.pem"), copy_options::overwrite_existing);
    std::filesystem::copy_file(file("server-other.key"), file("live.key"), copy_options::overwrite_existing);
    relayd->Signal(SIGHUP);
    ASSERT_TRUE(relayd->WaitFor("TLS: read " + file("live.pem") + " again")) << relayd->Output();
    ASSERT_TRUE(relayd->WaitFor("Status: read " + file("live.pem") + " again")) << relayd->Output();
    EXPECT_FALSE(connect("ca.pem")) << "the old CA no longer vouches for the relay";
    EXPECT_TRUE(connect("other-ca.pem")) << error;
    EXPECT_EQ(status("other-ca.pem", false, "s3cret-token").first, 200);
    EXPECT_EQ(testkit::ReadTls(*kept, 28 * 100).size(), 28U * 100);

    // A renewal that fails keeps what was loaded.
    std::filesystem::copy_file(dir / "token", file("live.pem"), copy_options::overwrite_existing);
    relayd->Signal(SIGHUP);
    ASSERT_TRUE(relayd->WaitFor("TLS: keeping the files loaded before: " + file("live.pem")))
        << relayd->Output();
    EXPECT_TRUE(connect("other-ca.pem")) << error;
    relayd->Signal(SIGTERM);
    EXPECT_EQ(relayd->WaitExit(10s), 0);
}

TEST_F(RelaydTest, TlsFilesThatCannotServeEndItWithStatus2NamingTheFile) {
    const std::filesystem::path certificates = dir / "tls";
    ASSERT_EQ(std::system((std::string(KESTAVO_MAKE_CERTIFICATES) + " " + certificates.string()).c_str()), 0);
    const auto file = [&](const std::string& name) {
        return (certificates / name).string();
    };
    const std::vector<std::string> tls = {"--device", "1:2", "--tls-port", std::to_string(FreePort())};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> arguments = tls;
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    };
    struct Case {
        std::vector<std::string> arguments;
        std::string named;
    };
    for (const Case& c : {
             Case{with({"--tls-cert", file("server.pem"), "--tls-key", file("client.key")}),
                  file("client.key") + ": does not match the certificate"},
             Case{with({"--tls-cert", file("server-expired.pem"), "--tls-key", file("server-expired.key")}),
                  file("server-expired.pem") + ": the certificate expired on Feb  1 00:00:00 2020 GMT"},
             Case{with({"--tls-cert", file("nowhere.pem"), "--tls-key", file("server.key")}),
                  file("nowhere.pem") + ": No such file or directory"},
             Case{with({"--tls-cert", file("server.pem")}), "--tls-port needs --tls-cert and --tls-key"},
             Case{{"--device", "1:2", "--no-plain"}, "--no-plain needs --tls-port"},
             Case{{"--device", "1:2", "--status", "9", "--status-token-file", file("ca.pem")},
                  "--status-token-file needs --tls-port"},
         }) {
        testkit::ChildProcess relayd(KESTAVO_RELAYD, c.arguments, {});
        EXPECT_EQ(relayd.WaitExit(10s), 2) << c.named;
        relayd.WaitFor("\n", 1s);
        EXPECT_NE(relayd.Output().find(c.named), std::string::npos) << relayd.Output();
    }
}

// The samples of a recording's data file, as sample packets.
std::vector<frames::SamplePacket> RecordedPackets(const std::filesystem::path& data) {
    std::ifstream file(data, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<frames::SamplePacket> packets;
    for (std::size_t at = 0; at + 6 <= bytes.size(); at += 6) {
        frames::SamplePacket packet;
        for (int k = 0; k < 3; ++k) {
            packet.samples[k] = static_cast<std::uint16_t>(bytes[at + 2 * k] | bytes[at + 2 * k + 1] << 8);
        }
        packets.push_back(packet);
    }
    return packets;
}

// Recorded on the box through a kill -9, cut whole at the next start, then served as the dongle: a client
// of the replay gets the very sample frames the recording was made of, at its rate.
TEST_F(RelaydTest, RecordsThroughACrashAndServesTheRecordingAsTheDongle) {
    const std::filesystem::path recordings = dir / "recordings";
    const int statusPort = FreePort();
    auto relayd = Start(
        std::string(kDongle) + "in-latency-us 1000\n",
        {"--device", "04d2:162e", "--record", recordings.string(), "--status", std::to_string(statusPort)});
    ASSERT_TRUE(relayd->WaitFor("Recording into " + recordings.string())) << relayd->Output();
    // Past the first metadata brought up to date (every 5 s).
    nlohmann::json status;
    ASSERT_TRUE(WaitUntil(
        [&] {
            status = nlohmann::json::parse(Get(statusPort, "/status"), nullptr, false);
            return !status.is_discarded() && status["recording"].is_object() &&
                   status["recording"]["bytesWritten"].get<std::uint64_t>() > 6 * 3000;
        },
        20s))
        << status.dump();
    EXPECT_EQ(status["recording"]["state"], "recording");
    EXPECT_EQ(status["recording"]["samplesDropped"], 0);
    const std::filesystem::path data = status["recording"]["file"].get<std::string>();
    EXPECT_NE(Get(statusPort, "/metrics").find("kestavo_recording{dongle=\"default\"} 1\n"),
              std::string::npos);
    relayd->Signal(SIGKILL);
    relayd->WaitExit(10s);

    // What is left is valid SigMF, every sample up to its metadata and more, none missing.
    std::filesystem::path meta = data;
    meta.replace_extension(".sigmf-meta");
    const auto metadata = nlohmann::json::parse(std::ifstream(meta));
    EXPECT_EQ(metadata["global"]["core:datatype"], "ru16_le");
    const double rate = metadata["global"]["core:sample_rate"].get<double>();
    EXPECT_GT(rate, 100);
    std::vector<frames::SamplePacket> packets = RecordedPackets(data);
    ASSERT_GE(packets.size(), 3000U);
    for (std::size_t i = 1; i < packets.size(); ++i) {
        ASSERT_EQ(static_cast<std::uint16_t>(packets[i].samples[0] - packets[i - 1].samples[0]), 1) << i;
    }
    // A write cut off mid-sample, as a power cut leaves it: cut whole when the service starts again.
    const std::uintmax_t whole = std::filesystem::file_size(data);
    std::ofstream(data, std::ios::binary | std::ios::app) << "tor";
    relayd = Start(std::string(kDongle) + "in-latency-us 1000\n",
                   {"--device", "04d2:162e", "--record", recordings.string()});
    ASSERT_TRUE(relayd->WaitFor("its torn last sample cut")) << relayd->Output();
    EXPECT_EQ(std::filesystem::file_size(data), whole);
    relayd->Signal(SIGTERM);
    EXPECT_EQ(relayd->WaitExit(10s), 0);

    // Replayed: a client that came a moment after the start gets what follows, frame for frame, at the
    // recording's rate; the service ends with the recording (here, on a signal well before).
    const int replayPort = FreePort();
    testkit::ChildProcess replay(KESTAVO_RELAYD,
                                 {"--replay", meta.string(), "--port", std::to_string(replayPort)}, {});
    ASSERT_TRUE(replay.WaitFor("Network started")) << replay.Output();
    TcpClient client("127.0.0.1", replayPort);
    const auto configuration = client.Read(264);
    ASSERT_TRUE(configuration);
    const auto firstFrame = client.Read(frames::kSampleFrameSize);
    ASSERT_TRUE(firstFrame);
    const auto began = Clock::now();
    const std::size_t count = static_cast<std::size_t>(rate * 1.5);
    const auto received = client.Read(count * frames::kSampleFrameSize, 10s);
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    ASSERT_TRUE(received);
    EXPECT_NEAR(seconds, static_cast<double>(count) / rate, 0.05 * static_cast<double>(count) / rate)
        << "at the recorded rate";
    std::size_t first = 0;
    while (first < packets.size() &&
           !std::equal(firstFrame->begin(), firstFrame->end(), frames::SampleFrame(packets[first]).begin())) {
        ++first;
    }
    ASSERT_LT(first + count, packets.size()) << "the first frame is one of the recording's";
    for (std::size_t i = 0; i < count; ++i) {
        const auto expected = frames::SampleFrame(packets[first + 1 + i]);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(),
                               received->begin() + static_cast<std::ptrdiff_t>(i * frames::kSampleFrameSize)))
            << "frame " << i;
    }
    replay.Signal(SIGTERM);
    EXPECT_EQ(replay.WaitExit(10s), 0);
}

TEST_F(RelaydTest, AReplayEndsWithItsRecordingAndAnythingButADonglesRecordingIsRefused) {
    // A short recording of another's, without its rate: given on the command line.
    WriteFile(
        dir / "short.sigmf-meta",
        R"({"global": {"core:datatype": "ru16_le", "core:num_channels": 3}, "captures": [{"core:sample_start": 0}]})");
    std::string samples;
    for (int i = 0; i < 20; ++i) {
        samples += std::string{static_cast<char>(i), 0, 2, 0, 3, 0};
    }
    WriteFile(dir / "short.sigmf-data", samples);
    const int replayPort = FreePort();
    testkit::ChildProcess replay(KESTAVO_RELAYD,
                                 {"--replay", (dir / "short.sigmf-meta").string(), "--replay-rate", "20",
                                  "--port", std::to_string(replayPort)},
                                 {});
    ASSERT_TRUE(replay.WaitFor("Network started")) << replay.Output();
    Reader reader(replayPort, "127.0.0.1");
    EXPECT_TRUE(reader.ReadUntil(IsStop)) << "the stop frame at the end";
    EXPECT_EQ(replay.WaitExit(10s), 0) << replay.Output();
    EXPECT_NE(replay.Output().find("Replay ended: " + (dir / "short.sigmf-meta").string()),
              std::string::npos);

    WriteFile(dir / "other.sigmf-meta",
              R"({"global": {"core:datatype": "cf32_le", "core:num_channels": 3}})");
    WriteFile(dir / "other.sigmf-data", "");
    WriteFile(dir / "norate.sigmf-meta",
              R"({"global": {"core:datatype": "ru16_le", "core:num_channels": 3}})");
    WriteFile(dir / "norate.sigmf-data", std::string(60, '\0'));
    for (const auto& [arguments, named] :
         {std::pair{std::vector<std::string>{"--replay", (dir / "other.sigmf-meta").string()}, "cf32_le"},
          std::pair{std::vector<std::string>{"--replay", (dir / "norate.sigmf-meta").string()},
                    "give --replay-rate"},
          std::pair{std::vector<std::string>{"--replay", (dir / "none.sigmf-meta").string()}, "No such file"},
          std::pair{
              std::vector<std::string>{"--replay", (dir / "norate.sigmf-meta").string(), "--device", "1:2"},
              "instead of a dongle"},
          std::pair{std::vector<std::string>{"--device", "1:2", "--replay-loop"}, "need --replay"},
          std::pair{std::vector<std::string>{"--device", "1:2", "--record-file-size", "1Q"}, "not a size"}}) {
        testkit::ChildProcess relayd(KESTAVO_RELAYD, arguments, {});
        EXPECT_EQ(relayd.WaitExit(10s), 2) << named;
        relayd.WaitFor("\n", 1s);
        EXPECT_NE(relayd.Output().find(named), std::string::npos) << relayd.Output();
    }
}

} // namespace
} // namespace kestavo::test
