// The relay measured from outside, as a user meets it: kestavo-relayd as a process of its own reading an
// emulated dongle (the USB test bench preloaded) through the real libusb 0.1 library, and K relay
// clients in another process, each checking that every sample frame arrives, in order. Beside it, in the
// same run, a naive relay (a process reading the same emulated dongle through the same library and
// sending each frame to each client in turn with a blocking send) and ncat --broker fed the same frames
// by a feeder process that reads the same emulated dongle and writes each transfer's sample frame to the
// broker. Prints deliveries per second (sample frames received by all clients together), what any client
// missed, and the latency from the moment the emulated dongle had the transfer ready to its receipt;
// then, at full speed, the service's rate with one client against the emulated dongle read alone, and
// what a stalled client costs ten readers while it is dropped. Asserts nothing.
//
//   outside_bench [--clients N]... [--seconds S] [--rate R] [--naive 0|1] [--admit K]... [--streaming N]
//     R transfers/s (0: as fast as it goes); --naive 0 leaves the naive relay out; --admit K times K
//     newcomers' admission while N clients (10) stream, and with no --clients runs nothing else
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "emulated_dongle.h"
#include "frames/frames.h"
#include "load.h"
#include "tests/kit/child_process.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/wait.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;

using SampleFrameBytes = std::array<std::uint8_t, frames::kSampleFrameSize>;

std::string Stream(int rate) {
    return std::string("in stamp\nin-bytes 64\n") +
           (rate > 0 ? "in-rate " + std::to_string(rate) + "\n" : "");
}

using bench::LoadResult;

// The clients, in a process of their own: they connect, say so on ready, wait past the warm-up, then
// count for the given time.
LoadResult Load(int port, int clients, double seconds, const std::function<void()>& ready) {
    testkit::FrameReaders readers(2);
    if (readers.Connect("127.0.0.1", port, clients) != clients) {
        return {};
    }
    ready();
    return bench::Measure(readers, seconds);
}

// Runs the load in a child and gives its result; before it counts, once the clients are connected,
// `connected` runs here (to start a feeder).
LoadResult LoadInChild(int port, int clients, double seconds, const std::function<void()>& connected) {
    return bench::InChild<LoadResult>(
        [&](const std::function<void()>& ready) { return Load(port, clients, seconds, ready); }, connected);
}

// Runs the service with the emulated dongle at the given rate and gives what `body` gives of it, given
// its port and the process; a default result when it did not start.
template <typename Result>
Result WithRelayd(int rate, const std::function<Result(int port, testkit::ChildProcess& relayd)>& body) {
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("kestavo-outside-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);
    std::ofstream(work / "dongle.txt") << "device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n"
                                          "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\n"
                                       << Stream(rate);
    const int port = testkit::FreePort();
    Result result{};
    {
        // KESTAVO_RELAYD names another build of the service to measure, for comparisons.
        const char* program = std::getenv("KESTAVO_RELAYD");
        testkit::ChildProcess relayd(
            program != nullptr ? program : KESTAVO_RELAYD,
            {"--device", "04d2:162e", "--port", std::to_string(port), "--listen", "127.0.0.1"},
            {"LD_PRELOAD=" USBBENCH_LIBRARY, "USB_DEVFS_PATH=" + (work / "usb").string(),
             "USB_BENCH_DEVICES=" + (work / "dongle.txt").string()});
        if (relayd.WaitFor("Network started")) {
            result = body(port, relayd);
        }
        relayd.Signal(SIGTERM);
        relayd.WaitExit(10s);
    }
    std::filesystem::remove_all(work);
    return result;
}

LoadResult Kestavo(int clients, double seconds, int rate) {
    return WithRelayd<LoadResult>(rate, [&](int port, testkit::ChildProcess& relayd) {
        const long before = bench::ResidentKiB(relayd.Pid());
        bench::ResidentPeak peak(relayd.Pid());
        LoadResult result = LoadInChild(port, clients, seconds, [] {});
        result.kibPerClient = static_cast<double>(peak.Peak() - before) / clients;
        return result;
    });
}

// Reads the emulated dongle as the relay's reader does, handing each transfer's sample frame to `sink`,
// until the process ends.
[[noreturn]] void ReadDongle(const char* name, int rate,
                             const std::function<void(const SampleFrameBytes&)>& sink) {
    bench::EmulatedDongle dongle(name, Stream(rate));
    std::unique_ptr<usb::TransferContext> readSide;
    std::unique_ptr<usb::TransferContext> writeSide;
    usb::PrepareConnection(
        dongle.params, readSide, writeSide, [](const std::string&) {},
        [&](const frames::SamplePacket& packet) { sink(frames::SampleFrame(packet)); });
    if (readSide) {
        usb::Resume(*readSide);
    }
    for (;;) {
        ::pause();
    }
}

// Sends the frame whole, waiting as long as it takes; false when the connection failed.
bool SendWhole(int fd, const SampleFrameBytes& frame) {
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t wrote = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    return true;
}

// The naive relay: takes its clients, then reads the dongle and sends each frame to each client in
// turn, waiting for each.
[[noreturn]] void NaiveRelay(int listener, int clients, int rate) {
    std::vector<int> fds;
    while (static_cast<int>(fds.size()) < clients) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            ::_exit(1);
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fds.push_back(fd);
    }
    ReadDongle("kestavo-outside-naive", rate, [&](const SampleFrameBytes& frame) {
        for (int& fd : fds) {
            if (fd >= 0 && !SendWhole(fd, frame)) {
                ::close(fd);
                fd = -1;
            }
        }
    });
}

LoadResult Naive(int clients, double seconds, int rate) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    const pid_t relay = ::fork();
    if (relay == 0) {
        NaiveRelay(listener, clients, rate);
    }
    ::close(listener);
    const LoadResult result = LoadInChild(ntohs(address.sin_port), clients, seconds, [] {});
    ::kill(relay, SIGKILL);
    ::waitpid(relay, nullptr, 0);
    return result;
}

// Transfers a second that the reader takes from the emulated dongle with nothing to relay them to.
double RawReadRate(double seconds) {
    return bench::InChild<double>([&] {
        std::atomic<std::uint64_t> transfers{0};
        std::thread reader([&] {
            ReadDongle("kestavo-outside-raw", 0,
                       [&](const SampleFrameBytes&) { transfers.fetch_add(1, std::memory_order_relaxed); });
        });
        reader.detach();
        std::this_thread::sleep_for(500ms);
        const std::uint64_t before = transfers.load();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return static_cast<double>(transfers.load() - before) / elapsed;
    });
}

struct StalledRound {
    double before = 0, during = 0, after = 0; // frames a second per reader
    double secondsUntilDropped = 0;
    bool dropped = false;
};

struct StalledResult {
    bool ok = false;
    std::array<StalledRound, 5> rounds{};
    std::uint64_t lost = 0;
    std::uint64_t closed = 0;
};

constexpr int kStalledReaders = 10;

// Ten readers of the service at full speed; then, in each round, a client that connects and never
// reads, until the service drops it, between two stretches of the readers alone. The service's log
// tells when: a client that reads nothing does not see the reset (its window is shut, so the reset's
// sequence number falls outside it).
StalledResult Stalled(int port, double seconds, testkit::ChildProcess& relayd) {
    int drops[2];
    if (::pipe(drops) != 0) {
        return {};
    }
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        std::size_t told = 0;
        while (!stop) {
            const std::string log = relayd.Output();
            std::size_t seen = 0;
            for (std::size_t at = log.find("(too slow)"); at != std::string::npos;
                 at = log.find("(too slow)", at + 1)) {
                ++seen;
            }
            for (; told < seen; ++told) {
                if (::write(drops[1], "x", 1) != 1) {
                    return;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    const StalledResult result = bench::InChild<StalledResult>([&] {
        StalledResult result;
        testkit::FrameReaders readers(2);
        if (readers.Connect("127.0.0.1", port, kStalledReaders) != kStalledReaders ||
            !testkit::WaitUntil([&] { return readers.Totals().minFrames > 0; }, 20s)) {
            return result;
        }
        std::this_thread::sleep_for(500ms);
        const auto measure = [&](const std::function<bool()>& done, double limit) {
            const std::uint64_t before = readers.Totals().frames;
            const auto start = std::chrono::steady_clock::now();
            testkit::WaitUntil(done, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::duration<double>(limit)));
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            return std::pair{
                static_cast<double>(readers.Totals().frames - before) / kStalledReaders / elapsed, elapsed};
        };
        const auto never = [] {
            return false;
        };
        const double stretch = seconds / static_cast<double>(result.rounds.size());
        for (StalledRound& round : result.rounds) {
            round.before = measure(never, stretch).first;
            const int stalled = testkit::FrameReaders::ConnectStalled("127.0.0.1", port);
            const auto droppedYet = [&] {
                pollfd told{drops[0], POLLIN, 0};
                char byte = 0;
                return ::poll(&told, 1, 0) > 0 && ::read(drops[0], &byte, 1) == 1;
            };
            std::tie(round.during, round.secondsUntilDropped) = measure(droppedYet, 30);
            round.dropped = round.secondsUntilDropped < 30;
            ::close(stalled);
            round.after = measure(never, stretch).first;
        }
        const testkit::ReaderTotals totals = readers.Totals();
        result.lost = totals.lost;
        result.closed = totals.closed;
        result.ok = true;
        readers.Stop();
        return result;
    });
    stop = true;
    watcher.join();
    ::close(drops[0]);
    ::close(drops[1]);
    return result;
}

// Reads the emulated dongle and writes each transfer's sample frame to the broker, until killed.
[[noreturn]] void Feed(int port, int rate) {
    const int producer = testkit::ConnectTo("127.0.0.1", port);
    const int one = 1;
    ::setsockopt(producer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ReadDongle("kestavo-outside-feeder", rate, [&](const SampleFrameBytes& frame) {
        if (!SendWhole(producer, frame)) {
            ::_exit(0);
        }
    });
}

LoadResult Ncat(int clients, double seconds, int rate) {
    const int port = testkit::FreePort();
    testkit::ChildProcess broker("/usr/bin/ncat",
                                 {"--broker", "--listen", "127.0.0.1", std::to_string(port), "--max-conns",
                                  std::to_string(clients + 16)},
                                 {});
    if (!testkit::WaitUntil(
            [&] {
                const int probe = testkit::ConnectTo("127.0.0.1", port);
                if (probe >= 0) {
                    ::close(probe);
                }
                return probe >= 0;
            },
            5s)) {
        return {};
    }
    pid_t feeder = -1;
    const long before = bench::ResidentKiB(broker.Pid());
    bench::ResidentPeak peak(broker.Pid());
    // The feeder starts once every client is there: a client that joined mid-stream could begin in the
    // middle of a frame, since the broker forwards whatever it read.
    LoadResult result = LoadInChild(port, clients, seconds, [&] {
        feeder = ::fork();
        if (feeder == 0) {
            Feed(port, rate);
        }
    });
    if (feeder > 0) {
        ::kill(feeder, SIGKILL);
        ::waitpid(feeder, nullptr, 0);
    }
    result.kibPerClient = static_cast<double>(peak.Peak() - before) / clients;
    return result;
}

// ncat --broker took no more connections than about this many in this machine's runs (926 of 1,010 in
// one): a load past it would wait minutes on connections never taken.
constexpr int kMostNcat = 1000;

// K newcomers connecting one after another as fast as they can while a few clients stream, the dongle at
// full speed: how long until each holds its configuration frame (through ncat, which sends none, its first
// bytes), and what the 100 lost meanwhile.
struct AdmissionResult {
    bool ok = false;
    int admitted = 0;            // newcomers that had it within the limit
    double connectedSeconds = 0; // until the last newcomer's connect() returned
    double admittedSeconds = 0;  // until every newcomer held its configuration frame
    std::uint64_t newcomersMalformed = 0;
    std::uint64_t existingLost = 0;
    std::uint64_t existingClosed = 0;
    std::uint64_t existingMinConfiguration = 0; // configuration frames the last of the 100 received
};

// By default few enough that ncat can take a thousand newcomers beside them (--streaming N for more).
int g_streaming = 10;

AdmissionResult Admit(int port, int newcomers, bool configured, const std::function<void()>& streaming) {
    return bench::InChild<AdmissionResult>(
        [&](const std::function<void()>& ready) {
            AdmissionResult result;
            testkit::FrameReaders existing(1);
            if (existing.Connect("127.0.0.1", port, g_streaming) != g_streaming) {
                return result;
            }
            ready();
            if (!testkit::WaitUntil([&] { return existing.Totals().minFrames > 0; }, 30s)) {
                return result;
            }
            testkit::FrameReaders crowd(1, configured);
            const auto start = std::chrono::steady_clock::now();
            const auto since = [&] {
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            };
            result.admitted = crowd.Connect("127.0.0.1", port, newcomers);
            result.connectedSeconds = since();
            const bool all = testkit::WaitUntil(
                [&] {
                    const testkit::ReaderTotals totals = crowd.Totals();
                    return configured ? totals.minConfiguration > 0 : totals.minBytes > 0;
                },
                60s);
            result.admittedSeconds = since();
            const testkit::ReaderTotals totals = crowd.Totals();
            // Those streaming may be behind in their streams: their configuration frames are let arrive.
            testkit::WaitUntil(
                [&] {
                    return !configured ||
                           existing.Totals().minConfiguration >= static_cast<std::uint64_t>(newcomers) + 1;
                },
                10s);
            const testkit::ReaderTotals before = existing.Totals();
            result.ok = all && result.admitted == newcomers;
            result.newcomersMalformed = configured ? totals.malformed : 0;
            result.existingLost = before.lost;
            result.existingClosed = before.closed;
            result.existingMinConfiguration = before.minConfiguration;
            crowd.Stop();
            existing.Stop();
            return result;
        },
        streaming);
}

AdmissionResult KestavoAdmission(int newcomers) {
    return WithRelayd<AdmissionResult>(
        0, [&](int port, testkit::ChildProcess&) { return Admit(port, newcomers, true, [] {}); });
}

AdmissionResult NcatAdmission(int newcomers) {
    const int port = testkit::FreePort();
    testkit::ChildProcess broker("/usr/bin/ncat",
                                 {"--broker", "--listen", "127.0.0.1", std::to_string(port), "--max-conns",
                                  std::to_string(newcomers + g_streaming + 16)},
                                 {});
    if (!testkit::WaitUntil([&] { return testkit::TcpClient("127.0.0.1", port).Connected(); }, 5s)) {
        return {};
    }
    pid_t feeder = -1;
    AdmissionResult result = Admit(port, newcomers, false, [&] {
        feeder = ::fork();
        if (feeder == 0) {
            Feed(port, 0);
        }
    });
    if (feeder > 0) {
        ::kill(feeder, SIGKILL);
        ::waitpid(feeder, nullptr, 0);
    }
    return result;
}

void PrintAdmission(const char* impl, int newcomers, const AdmissionResult& r) {
    if (!r.ok) {
        std::printf("%-8s %9d   (not all admitted within 60 s: %d connected)\n", impl, newcomers, r.admitted);
        return;
    }
    std::printf("%-8s %9d %13.2f %12.2f %10llu %9llu %12llu %20llu\n", impl, newcomers, r.connectedSeconds,
                r.admittedSeconds, static_cast<unsigned long long>(r.newcomersMalformed),
                static_cast<unsigned long long>(r.existingLost),
                static_cast<unsigned long long>(r.existingClosed),
                static_cast<unsigned long long>(r.existingMinConfiguration));
}

void Print(const char* impl, int clients, const LoadResult& r) {
    if (!r.ok) {
        std::printf("%-8s %8d   (did not run)\n", impl, clients);
        return;
    }
    // Served: nothing lost, nobody dropped or broken, p99 under 5 ms.
    const bool served = r.lost == 0 && r.malformed == 0 && r.closed == 0 && r.p99 < 5000;
    std::printf("%-8s %8d %14.0f %14.0f %8llu %10llu %8llu %9.0f %9.0f %9.0f %11.1f %7s\n", impl, clients,
                r.deliveriesPerSecond, r.minPerClient, static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.malformed), static_cast<unsigned long long>(r.closed),
                r.p50, r.p99, r.max, r.kibPerClient, served ? "yes" : "no");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    double seconds = 3;
    int rate = 0;
    bool naive = true;
    std::vector<int> admissions;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--clients") {
            counts.push_back(std::atoi(argv[i + 1]));
        } else if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--rate") {
            rate = std::atoi(argv[i + 1]);
        } else if (arg == "--streaming") {
            g_streaming = std::atoi(argv[i + 1]);
        } else if (arg == "--admit") {
            admissions.push_back(std::atoi(argv[i + 1]));
        } else if (arg == "--naive") {
            naive = std::atoi(argv[i + 1]) != 0;
        }
    }
    if (!admissions.empty()) {
        std::printf("\n== Admission: newcomers connecting one after another while %d clients stream, the "
                    "dongle at full speed\n",
                    g_streaming);
        std::printf("%-8s %9s %13s %12s %10s %9s %12s %20s\n", "relay", "newcomers", "connected s",
                    "admitted s", "malformed", "lost", "closed", "config frames, last");
        for (const int newcomers : admissions) {
            PrintAdmission("kestavo", newcomers, KestavoAdmission(newcomers));
            if (newcomers + g_streaming <= kMostNcat + 16) {
                PrintAdmission("ncat", newcomers, NcatAdmission(newcomers));
            }
        }
        if (counts.empty()) {
            return 0;
        }
    }
    if (counts.empty()) {
        counts = {100, 1000};
    }
    std::printf("\n== From outside: the relay in its own process, the clients in another, %.1f s, %s\n",
                seconds,
                rate > 0 ? (std::to_string(rate) + " transfers/s").c_str() : "the dongle at full speed");
    std::printf("%-8s %8s %14s %14s %8s %10s %8s %9s %9s %9s %11s %7s\n", "relay", "clients", "deliveries/s",
                "min/client/s", "lost", "malformed", "closed", "p50 us", "p99 us", "max us", "KiB/client",
                "served");
    for (const int clients : counts) {
        Print("kestavo", clients, Kestavo(clients, seconds, rate));
        if (naive) {
            Print("naive", clients, Naive(clients, seconds, rate));
        }
        if (clients <= kMostNcat) {
            Print("ncat", clients, Ncat(clients, seconds, rate));
        } else {
            std::printf("%-8s %8d   (not run: past %d clients, ncat stopped taking connections here)\n",
                        "ncat", clients, kMostNcat);
        }
    }
    if (rate > 0) {
        return 0;
    }
    std::printf(
        "\n== One client: the service's rate against the emulated dongle read with nothing to relay to\n");
    const double raw = RawReadRate(seconds);
    const LoadResult one = Kestavo(1, seconds, 0);
    std::printf("read alone: %.0f transfers/s; the service with one client: %.0f frames/s (lost %llu); "
                "ratio %.2f\n",
                raw, one.deliveriesPerSecond, static_cast<unsigned long long>(one.lost),
                raw > 0 ? one.deliveriesPerSecond / raw : 0.0);
    std::printf("\n== A stalled client among %d readers, the dongle at full speed: frames/s per reader\n",
                kStalledReaders);
    const StalledResult stalled = WithRelayd<StalledResult>(
        0, [&](int port, testkit::ChildProcess& relayd) { return Stalled(port, seconds, relayd); });
    if (!stalled.ok) {
        std::printf("(did not run)\n");
        return 0;
    }
    std::printf("%6s %12s %12s %9s %10s %12s\n", "round", "before", "while", "change", "dropped", "after");
    std::vector<double> changes;
    for (std::size_t i = 0; i < stalled.rounds.size(); ++i) {
        const StalledRound& round = stalled.rounds[i];
        // Against the readers alone on both sides of it.
        const double alone = (round.before + round.after) / 2;
        changes.push_back((round.during / alone - 1) * 100);
        std::printf("%6zu %12.0f %12.0f %+8.1f%% %8.2f s %12.0f%s\n", i + 1, round.before, round.during,
                    changes.back(), round.secondsUntilDropped, round.after,
                    round.dropped ? "" : "  NOT dropped");
    }
    std::sort(changes.begin(), changes.end());
    std::printf(
        "median change while a stalled client was being dropped: %+.1f %%; lost %llu, readers closed %llu\n",
        changes[changes.size() / 2], static_cast<unsigned long long>(stalled.lost),
        static_cast<unsigned long long>(stalled.closed));
    return 0;
}
