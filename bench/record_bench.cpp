// Recording and replay measured from outside. kestavo-relayd reads an emulated dongle (the USB test bench
// preloaded) with and without --record, alternating, and one client counts what it relays: the reader's
// rate with the recorder beside it against without. Then a recording of 10,000 transfers a second is
// replayed, and the emulated dongle paced at the same rate is served live beside it: one client times
// every frame against the schedule the rate gives. Asserts nothing.
//
//   record_bench [--seconds S] [--replay-seconds S]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "frames/frame_decoder.h"
#include "tests/kit/child_process.h"
#include "tests/kit/net.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;
using Clock = std::chrono::steady_clock;

struct Timing {
    bool ok = false;
    std::uint64_t frames = 0;
    double seconds = 0; // from the first frame to the last
    double p50Us = 0;   // of each frame's distance from where the schedule puts it, its median taken off
    double p99Us = 0;
    double maxUs = 0;
};

// One client of the relay for the time given (plus a second to start): when each sample frame came.
Timing Time(int port, double seconds, double rate) {
    Timing timing;
    const int fd = testkit::ConnectTo("127.0.0.1", port);
    if (fd < 0) {
        return timing;
    }
    frames::FrameDecoder decoder;
    std::vector<double> arrivals; // seconds since the first
    std::vector<std::uint8_t> buffer(1 << 16);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds + 1);
    Clock::time_point first{};
    while (Clock::now() < end) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            break;
        }
        const auto now = Clock::now();
        decoder.FeedEach(buffer.data(), static_cast<std::size_t>(got), [&](const frames::FrameView& frame) {
            if (frame.type != frames::kSampleFrame) {
                return;
            }
            if (arrivals.empty()) {
                first = now;
            }
            arrivals.push_back(std::chrono::duration<double>(now - first).count());
        });
        if (!arrivals.empty() && arrivals.back() >= seconds) {
            break;
        }
    }
    ::close(fd);
    if (arrivals.size() < 2) {
        return timing;
    }
    timing.ok = true;
    timing.frames = arrivals.size();
    timing.seconds = arrivals.back();
    std::vector<double> off;
    off.reserve(arrivals.size());
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        off.push_back(arrivals[i] - static_cast<double>(i) / rate);
    }
    std::vector<double> sorted = off;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2),
                     sorted.end());
    const double median = sorted[sorted.size() / 2];
    for (double& value : off) {
        value = std::fabs(value - median) * 1e6;
    }
    std::sort(off.begin(), off.end());
    timing.p50Us = off[off.size() / 2];
    timing.p99Us = off[off.size() * 99 / 100];
    timing.maxUs = off.back();
    return timing;
}

struct Work {
    std::filesystem::path dir;
};

// The service with the arguments given, on an emulated dongle that counts at the rate (0: full speed).
template <typename Body>
auto WithRelayd(const Work& work, int rate, std::vector<std::string> arguments, Body body) {
    std::ofstream(work.dir / "dongle.txt")
        << "device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n"
           "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\nin counter\nin-bytes 64\n"
        << (rate > 0 ? "in-rate " + std::to_string(rate) + "\n" : "");
    const int port = testkit::FreePort();
    arguments.insert(arguments.end(), {"--port", std::to_string(port), "--listen", "127.0.0.1"});
    testkit::ChildProcess relayd(KESTAVO_RELAYD, arguments,
                                 {"LD_PRELOAD=" USBBENCH_LIBRARY,
                                  "USB_DEVFS_PATH=" + (work.dir / "usb").string(),
                                  "USB_BENCH_DEVICES=" + (work.dir / "dongle.txt").string()});
    decltype(body(port)) result{};
    if (relayd.WaitFor("Network started")) {
        result = body(port);
    }
    relayd.Signal(SIGTERM);
    relayd.WaitExit(10s);
    return result;
}

// A recording of so many seconds at the rate, as the service would have made it.
std::filesystem::path MakeRecording(const Work& work, int rate, double seconds) {
    const std::filesystem::path base = work.dir / "long";
    std::ofstream meta(base.string() + ".sigmf-meta");
    meta << R"({"global": {"core:datatype": "ru16_le", "core:version": "1.0.0", "core:num_channels": 3, )"
         << "\"core:sample_rate\": " << rate
         << R"(}, "captures": [{"core:sample_start": 0}], "annotations": []})";
    std::ofstream data(base.string() + ".sigmf-data", std::ios::binary);
    const auto count = static_cast<std::uint64_t>(rate * seconds);
    std::vector<char> bytes(count * 6);
    for (std::uint64_t i = 0; i < count; ++i) {
        bytes[i * 6] = static_cast<char>(i);
        bytes[i * 6 + 1] = static_cast<char>(i >> 8);
    }
    data.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return base.string() + ".sigmf-meta";
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    double replaySeconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (option == "--replay-seconds") {
            replaySeconds = std::atof(argv[i + 1]);
        }
    }
    Work work{std::filesystem::temp_directory_path() /
              ("kestavo-record-bench-" + std::to_string(::getpid()))};
    std::filesystem::create_directories(work.dir);

    std::printf("== the reader with and without a recording beside it, one client\n%-22s %10s %16s %10s\n",
                "rate", "recording", "frames/s", "round");
    for (const int rate : {10'000, 0}) {
        for (int round = 1; round <= 2; ++round) {
            for (const bool recording : {false, true}) {
                std::vector<std::string> arguments = {"--device", "04d2:162e"};
                if (recording) {
                    std::filesystem::remove_all(work.dir / "recordings");
                    arguments.insert(arguments.end(), {"--record", (work.dir / "recordings").string()});
                }
                const Timing timing = WithRelayd(work, rate, arguments, [&](int port) {
                    return Time(port, seconds, rate > 0 ? rate : 1);
                });
                std::printf("%-22s %10s %16.1f %10d\n", rate > 0 ? "10000 transfers/s" : "full speed",
                            recording ? "yes" : "no",
                            timing.ok ? static_cast<double>(timing.frames - 1) / timing.seconds : 0.0, round);
                std::fflush(stdout);
            }
        }
    }

    std::printf("\n== 10000 transfers/s for %.0f s, one client: how far each frame is from the schedule\n"
                "%-22s %10s %14s %12s %10s %10s %10s\n",
                replaySeconds, "source", "frames", "rate", "error", "p50 us", "p99 us", "max us");
    const std::filesystem::path recording = MakeRecording(work, 10'000, replaySeconds + 2);
    const auto print = [](const char* name, const Timing& t) {
        const double rate = t.ok ? static_cast<double>(t.frames - 1) / t.seconds : 0;
        std::printf("%-22s %10llu %14.2f %11.3f%% %10.0f %10.0f %10.0f\n", name,
                    static_cast<unsigned long long>(t.frames), rate, (rate / 10'000 - 1) * 100, t.p50Us,
                    t.p99Us, t.maxUs);
        std::fflush(stdout);
    };
    print("replay", WithRelayd(work, 10'000, {"--replay", recording.string()},
                               [&](int port) { return Time(port, replaySeconds, 10'000); }));
    print("emulated dongle, live", WithRelayd(work, 10'000, {"--device", "04d2:162e"},
                                              [&](int port) { return Time(port, replaySeconds, 10'000); }));
    std::filesystem::remove_all(work.dir);
    return 0;
}
