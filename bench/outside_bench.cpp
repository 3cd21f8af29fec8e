// The relay measured from outside, as a user meets it: kestavo-relayd as a process of its own reading an
// emulated dongle (the USB test bench preloaded) through the real libusb 0.1 library, and K relay
// clients in another process, each checking that every sample frame arrives, in order. Beside it, in the
// same run, ncat --broker fed the same frames: a feeder process reads the same emulated dongle through
// the same library and writes each transfer's sample frame to the broker. Prints deliveries per second
// (sample frames received by all clients together), what any client missed, and the latency from the
// moment the emulated dongle had the transfer ready to its receipt. Asserts nothing.
//
//   outside_bench [--clients N]... [--seconds S] [--rate R]   R transfers/s; 0: as fast as it goes
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/child.h"
#include "bench/emulated_dongle.h"
#include "frames/frames.h"
#include "testkit/child_process.h"
#include "testkit/frame_readers.h"
#include "testkit/net.h"
#include "testkit/wait.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;

std::string Stream(int rate) {
    return std::string("in stamp\nin-bytes 64\n") +
           (rate > 0 ? "in-rate " + std::to_string(rate) + "\n" : "");
}

struct LoadResult {
    bool ok = false;
    double deliveriesPerSecond = 0;
    double minPerClient = 0; // frames per second of the client that got fewest
    std::uint64_t lost = 0;
    std::uint64_t malformed = 0;
    std::uint64_t closed = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// The clients, in a process of their own: they connect, say so on ready, wait past the warm-up, then
// count for the given time.
LoadResult Load(int port, int clients, double seconds, const std::function<void()>& ready) {
    LoadResult result;
    testkit::FrameReaders readers(2);
    if (readers.Connect("127.0.0.1", port, clients) != clients) {
        return result;
    }
    ready();
    // Every client has its first sample frame: the stream runs.
    if (!testkit::WaitUntil([&] { return readers.Totals().minFrames > 0; }, 20s)) {
        return result;
    }
    std::this_thread::sleep_for(500ms);
    const testkit::ReaderTotals before = readers.Totals();
    readers.MarkBaseline();
    readers.SetMeasuring(true);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    readers.SetMeasuring(false);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const testkit::ReaderTotals after = readers.Totals();
    const testkit::LatencyHistogram latencies = readers.Latencies();
    result.ok = true;
    result.deliveriesPerSecond = static_cast<double>(after.frames - before.frames) / elapsed;
    result.minPerClient = static_cast<double>(readers.MinSinceBaseline()) / elapsed;
    result.lost = after.lost;
    result.malformed = after.malformed;
    result.closed = after.closed;
    result.p50 = latencies.Percentile(0.50);
    result.p99 = latencies.Percentile(0.99);
    result.max = latencies.Max();
    readers.Stop();
    return result;
}

// Runs the load in a child and gives its result; before it counts, once the clients are connected,
// `connected` runs here (to start a feeder).
LoadResult LoadInChild(int port, int clients, double seconds, const std::function<void()>& connected) {
    return bench::InChild<LoadResult>(
        [&](const std::function<void()>& ready) { return Load(port, clients, seconds, ready); }, connected);
}

LoadResult Kestavo(int clients, double seconds, int rate) {
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("kestavo-outside-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);
    std::ofstream(work / "dongle.txt") << "device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n"
                                          "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\n"
                                       << Stream(rate);
    const int port = testkit::FreePort();
    LoadResult result;
    {
        // KESTAVO_RELAYD names another build of the service to measure, for comparisons.
        const char* program = std::getenv("KESTAVO_RELAYD");
        testkit::ChildProcess relayd(
            program != nullptr ? program : KESTAVO_RELAYD,
            {"--device", "04d2:162e", "--port", std::to_string(port), "--listen", "127.0.0.1"},
            {"LD_PRELOAD=" USBBENCH_LIBRARY, "USB_DEVFS_PATH=" + (work / "usb").string(),
             "USB_BENCH_DEVICES=" + (work / "dongle.txt").string()});
        if (relayd.WaitFor("Network started")) {
            result = LoadInChild(port, clients, seconds, [] {});
        }
        relayd.Signal(SIGTERM);
        relayd.WaitExit(10s);
    }
    std::filesystem::remove_all(work);
    return result;
}

// Reads the emulated dongle as the relay's reader does and writes each transfer's sample frame to the
// broker, until killed.
[[noreturn]] void Feed(int port, int rate) {
    bench::EmulatedDongle dongle("kestavo-outside-feeder", Stream(rate));
    const int producer = testkit::ConnectTo("127.0.0.1", port);
    const int one = 1;
    ::setsockopt(producer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_ptr<usb::TransferContext> readSide;
    std::unique_ptr<usb::TransferContext> writeSide;
    usb::PrepareConnection(
        dongle.params, readSide, writeSide, [](const std::string&) {},
        [&](const frames::SamplePacket& packet) {
            const auto frame = frames::SampleFrame(packet);
            std::size_t sent = 0;
            while (sent < frame.size()) {
                const ssize_t wrote =
                    ::send(producer, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
                if (wrote <= 0) {
                    ::_exit(0);
                }
                sent += static_cast<std::size_t>(wrote);
            }
        });
    if (readSide) {
        usb::Resume(*readSide);
    }
    for (;;) {
        ::pause();
    }
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
    return result;
}

void Print(const char* impl, int clients, const LoadResult& r) {
    if (!r.ok) {
        std::printf("%-8s %8d   (did not run)\n", impl, clients);
        return;
    }
    std::printf("%-8s %8d %14.0f %14.0f %8llu %10llu %8llu %9.0f %9.0f %9.0f\n", impl, clients,
                r.deliveriesPerSecond, r.minPerClient, static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.malformed), static_cast<unsigned long long>(r.closed),
                r.p50, r.p99, r.max);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    double seconds = 3;
    int rate = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--clients") {
            counts.push_back(std::atoi(argv[i + 1]));
        } else if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--rate") {
            rate = std::atoi(argv[i + 1]);
        }
    }
    if (counts.empty()) {
        counts = {100, 1000};
    }
    std::printf("\n== From outside: the relay in its own process, the clients in another, %.1f s, %s\n",
                seconds,
                rate > 0 ? (std::to_string(rate) + " transfers/s").c_str() : "the dongle at full speed");
    std::printf("%-8s %8s %14s %14s %8s %10s %8s %9s %9s %9s\n", "relay", "clients", "deliveries/s",
                "min/client/s", "lost", "malformed", "closed", "p50 us", "p99 us", "max us");
    for (const int clients : counts) {
        Print("kestavo", clients, Kestavo(clients, seconds, rate));
        Print("ncat", clients, Ncat(clients, seconds, rate));
    }
    return 0;
}
