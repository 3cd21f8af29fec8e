// Several dongles in one service, measured from outside: kestavo-relayd as a process of its own reading
// four emulated dongles (the USB test bench preloaded, each behind a hub port and chosen by it, each
// paced at its own rate as a real dongle samples), ten relay clients on each dongle's port in another
// process, each checking that every sample frame arrives in order. Beside it, in the same run, the same
// service with one dongle alone; then the four again while one of them is unplugged for ten seconds.
// Prints each dongle's rate per client, what its clients missed, and the latency from the moment the
// emulated dongle had the transfer ready to its receipt. Asserts nothing.
//
//   dongles_bench [--seconds S] [--rate R] [--clients N]
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "tests/kit/child_process.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/wait.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;

constexpr int kMostDongles = 4;
constexpr int kAbsentMs = 10000;

struct DongleFigures {
    double perClient = 0; // sample frames a second, of the client that got fewest
    std::uint64_t lost = 0;
    std::uint64_t closed = 0;
    double p99 = 0;
};

struct Run {
    bool ok = false;
    std::array<DongleFigures, kMostDongles> dongles{};
};

// The emulated tree: a root hub, a hub on its port 1, and a dongle on each of the hub's ports; the last
// one, when `unplug`, goes once it has sent `unplugAfter` transfers and comes back 10 s later.
std::string Tree(int dongles, int rate, bool unplug, int unplugAfter) {
    std::string text =
        "device 1 1 0x1d6b 0x0002\nhub 4\nread-only\ndevice 1 2 0x05e3 0x0608\nhub 4\nport 1-1\n"
        "read-only\n";
    for (int i = 0; i < dongles; ++i) {
        text += "device 1 " + std::to_string(3 + i) + " 0x04d2 0x162e\nport 1-1." + std::to_string(i + 1) +
                "\nserial SAME\nconfiguration 1\ninterface 0\naltsetting 0\nendpoint 0x81 bulk 64\n"
                "endpoint 0x02 bulk 64\nin stamp\nin-bytes 64\nin-rate " +
                std::to_string(rate) + "\n";
        if (unplug && i == dongles - 1) {
            text += "in-unplug-after " + std::to_string(unplugAfter) + "\nin-replug-after-ms " +
                    std::to_string(kAbsentMs) + "\n";
        }
    }
    return text;
}

// The clients of each dongle, in a process of their own. With `unplug`, waits until the last dongle's
// clients hear nothing more, and measures the others while it is away.
Run Measure(const std::vector<int>& ports, int clients, double seconds, bool unplug) {
    Run run;
    std::vector<std::unique_ptr<testkit::FrameReaders>> groups;
    for (const int port : ports) {
        groups.push_back(std::make_unique<testkit::FrameReaders>(1));
        if (groups.back()->Connect("127.0.0.1", port, clients) != clients) {
            return run;
        }
    }
    for (const auto& group : groups) {
        if (!testkit::WaitUntil([&] { return group->Totals().minFrames > 0; }, 20s)) {
            return run;
        }
    }
    std::this_thread::sleep_for(500ms);
    std::size_t measured = groups.size();
    if (unplug) {
        testkit::FrameReaders& last = *groups.back();
        std::uint64_t frames = last.Totals().frames;
        const bool gone = testkit::WaitUntil(
            [&] {
                std::this_thread::sleep_for(100ms);
                const std::uint64_t now = last.Totals().frames;
                const bool still = now == frames;
                frames = now;
                return still;
            },
            20s);
        if (!gone) {
            return run;
        }
        measured -= 1;
    }
    std::vector<testkit::ReaderTotals> before;
    for (std::size_t i = 0; i < measured; ++i) {
        before.push_back(groups[i]->Totals());
        groups[i]->MarkBaseline();
        groups[i]->SetMeasuring(true);
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (std::size_t i = 0; i < measured; ++i) {
        groups[i]->SetMeasuring(false);
        const testkit::ReaderTotals after = groups[i]->Totals();
        DongleFigures& figures = run.dongles[i];
        figures.perClient = static_cast<double>(groups[i]->MinSinceBaseline()) / elapsed;
        figures.lost = after.lost - before[i].lost;
        figures.closed = after.closed;
        figures.p99 = groups[i]->Latencies().Percentile(0.99);
    }
    for (const auto& group : groups) {
        group->Stop();
    }
    run.ok = true;
    return run;
}

Run WithRelayd(int dongles, int rate, int clients, double seconds, bool unplug) {
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("kestavo-dongles-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);
    // Unplugged well after the clients are there, and back only after the measurement.
    std::ofstream(work / "dongles.txt") << Tree(dongles, rate, unplug, rate * 3);
    std::vector<int> ports;
    std::string configuration;
    for (int i = 0; i < dongles; ++i) {
        ports.push_back(testkit::FreePort());
        configuration += "[dongle.d" + std::to_string(i + 1) + "]\ndevice = \"port:1-1." +
                         std::to_string(i + 1) + "\"\nport = " + std::to_string(ports.back()) +
                         "\nlisten = \"127.0.0.1\"\n";
    }
    std::ofstream(work / "relayd.conf") << configuration;
    Run run;
    {
        const char* program = std::getenv("KESTAVO_RELAYD");
        testkit::ChildProcess relayd(
            program != nullptr ? program : KESTAVO_RELAYD, {"--config", (work / "relayd.conf").string()},
            {"LD_PRELOAD=" USBBENCH_LIBRARY, "USB_DEVFS_PATH=" + (work / "usb").string(),
             "USB_SYSFS_PATH=" + (work / "sysfs").string(),
             "USB_BENCH_DEVICES=" + (work / "dongles.txt").string()});
        bool started = true;
        for (int i = 0; i < dongles && started; ++i) {
            started = relayd.WaitFor((dongles > 1 ? "[d" + std::to_string(i + 1) + "] " : std::string()) +
                                     "Dongle opened");
        }
        if (started) {
            run = bench::InChild<Run>([&] { return Measure(ports, clients, seconds, unplug); });
        }
        relayd.Signal(SIGTERM);
        relayd.WaitExit(10s);
    }
    std::filesystem::remove_all(work);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    int rate = 10000;
    int clients = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--rate") {
            rate = std::atoi(argv[i + 1]);
        } else if (arg == "--clients") {
            clients = std::atoi(argv[i + 1]);
        }
    }
    std::printf("\n== Several dongles in one service: each at %d transfers/s, %d clients each, %.1f s\n",
                rate, clients, seconds);
    const Run alone = WithRelayd(1, rate, clients, seconds, false);
    const Run four = WithRelayd(kMostDongles, rate, clients, seconds, false);
    const Run away = WithRelayd(kMostDongles, rate, clients, std::min(seconds, kAbsentMs / 1000.0 - 2), true);
    std::printf("%-22s %7s %14s %9s %7s %9s\n", "case", "dongle", "frames/s/client", "vs alone", "lost",
                "p99 us");
    const auto print = [&](const char* name, const Run& run, int dongles) {
        if (!run.ok) {
            std::printf("%-22s (did not run)\n", name);
            return;
        }
        for (int i = 0; i < dongles; ++i) {
            const DongleFigures& d = run.dongles[static_cast<std::size_t>(i)];
            std::printf("%-22s %7d %14.0f %+8.1f%% %7llu %9.0f\n", i == 0 ? name : "", i + 1, d.perClient,
                        alone.ok && alone.dongles[0].perClient > 0
                            ? (d.perClient / alone.dongles[0].perClient - 1) * 100
                            : 0.0,
                        static_cast<unsigned long long>(d.lost + d.closed), d.p99);
        }
    };
    print("one dongle alone", alone, 1);
    print("four dongles", four, kMostDongles);
    print("four, the 4th unplugged", away, kMostDongles - 1);
    if (four.ok && away.ok) {
        for (int i = 0; i < kMostDongles - 1; ++i) {
            const auto& with = four.dongles[static_cast<std::size_t>(i)];
            const auto& without = away.dongles[static_cast<std::size_t>(i)];
            std::printf("dongle %d while the 4th was away: rate %+.1f %%, p99 %+.0f %%\n", i + 1,
                        (without.perClient / with.perClient - 1) * 100, (without.p99 / with.p99 - 1) * 100);
        }
    }
    return 0;
}
