// The reader end to end: an emulated dongle that always has data, read through the real libusb 0.1
// library by the transfer worker, each transfer's samples relayed to 0, 1 and 10 clients on loopback.
// Each case runs in a process of its own (the USB library keeps its device list for a process's life).
// Prints transfers per second and CPU time per transfer; asserts nothing.
//
//   reader_bench [--seconds S] [--clients N]
//   reader_bench [--seconds S] --churn N [--churn M ...]   the reader with no client after N connections
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "emulated_dongle.h"
#include "networkdriver/network_driver.h"
#include "relay/client_table.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/process.h"
#include "tests/kit/table_server.h"
#include "tests/kit/wait.h"
#include "tests/usbbench/client.h"
#include "usb/transfer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace kestavo;

struct ReaderResult {
    bool ok = false;
    int clients = 0;
    double transfersPerSecond = 0;
    double workerCpuUs = 0;  // the worker thread's CPU per transfer
    double processCpuUs = 0; // the whole process's: worker, emulated device, relay I/O thread, readers
    std::uint64_t framesPerClient = 0;
    std::uint64_t lost = 0;
    std::uint64_t churned = 0;    // connections made and ended before the reading began
    std::size_t tableEntries = 0; // the client table's length while reading
    double residentMiB = 0;       // the process's resident memory while reading
};

// Connects and leaves count times, half with an orderly close and half with a reset, never more than a
// thousand connections ahead of the relay, then waits until the relay has seen every one leave.
std::uint64_t Churn(testkit::TableServer& server, std::uint64_t count) {
    relay::ClientTable& table = server.Table();
    for (std::uint64_t i = 0; i < count; ++i) {
        testkit::TcpClient client("127.0.0.1", server.Port());
        if (i % 2 == 0) {
            client.Reset();
        }
        if (i % 1000 == 999) {
            testkit::WaitUntil([&] { return table.Connections() + 1000 > i; }, 30s);
        }
    }
    testkit::WaitUntil([&] { return table.Connections() >= count && table.Entries().empty(); }, 60s);
    return table.Connections();
}

ReaderResult Run(int clients, double seconds, std::uint64_t churn) {
    ReaderResult result;
    result.clients = clients;
    bench::EmulatedDongle dongle("kestavo-reader-bench", "in counter\nin-bytes 64\n");
    usb::TestParams& params = dongle.params;

    testkit::TableServer server(testkit::FreePort());
    relay::ClientTable& table = server.Table();
    const int port = server.Port();
    result.churned = Churn(server, churn);
    testkit::FrameReaders readers(1);
    readers.Connect("127.0.0.1", port, clients);
    testkit::WaitUntil([&] { return table.Entries().size() >= static_cast<std::size_t>(clients); }, 10s);
    result.tableEntries = table.Entries().size();

    std::unique_ptr<usb::TransferContext> readSide;
    std::unique_ptr<usb::TransferContext> writeSide;
    std::atomic<std::uint64_t> transfers{0};
    const auto message = [](const std::string& text) {
        std::fprintf(stderr, "%s", text.c_str());
    };
    usb::PrepareConnection(params, readSide, writeSide, message, [&](const frames::SamplePacket& packet) {
        table.RelaySamplePacket(packet);
        transfers.fetch_add(1, std::memory_order_relaxed);
    });
    if (!readSide) {
        return result;
    }
    clockid_t workerClock{};
    pthread_getcpuclockid(readSide->thread.native_handle(), &workerClock);
    usb::Resume(*readSide);
    std::this_thread::sleep_for(200ms); // past the warm-up

    const std::uint64_t startTransfers = transfers;
    const double startWorker = testkit::CpuSeconds(workerClock);
    const double startProcess = testkit::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t done = transfers - startTransfers;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double worker = testkit::CpuSeconds(workerClock) - startWorker;
    const double process = testkit::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - startProcess;
    result.residentMiB = testkit::ResidentMiB();
    usb::StopTransfers(params, readSide, writeSide);

    result.ok = true;
    result.transfersPerSecond = static_cast<double>(done) / elapsed;
    result.workerCpuUs = worker * 1e6 / static_cast<double>(done);
    result.processCpuUs = process * 1e6 / static_cast<double>(done);
    const std::uint64_t expected = transfers * static_cast<std::uint64_t>(clients);
    testkit::WaitUntil([&] { return readers.Totals().frames >= expected; }, 10s);
    const testkit::ReaderTotals totals = readers.Totals();
    result.framesPerClient = clients > 0 ? totals.frames / static_cast<std::uint64_t>(clients) : 0;
    result.lost = expected - std::min(expected, totals.frames);
    readers.Stop();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 2.0;
    std::vector<int> counts{0, 1, 10};
    std::vector<std::uint64_t> churns;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--clients") {
            counts = {std::atoi(argv[i + 1])};
        } else if (arg == "--churn") {
            churns.push_back(std::strtoull(argv[i + 1], nullptr, 10));
        }
    }
    if (!churns.empty()) {
        // Connections that came and went before the reading must not slow it down nor hold memory.
        std::printf("\n== The reader with no client after connections came and went, %.1f s each\n", seconds);
        std::printf("%12s %14s %14s %18s %14s\n", "churned", "table entries", "transfers/s",
                    "worker CPU us/tr", "resident MiB");
        for (const std::uint64_t churn : churns) {
            const ReaderResult r = bench::InChild<ReaderResult>([&] { return Run(0, seconds, churn); });
            std::printf("%12llu %14zu %14.0f %18.2f %14.1f\n", static_cast<unsigned long long>(r.churned),
                        r.tableEntries, r.transfersPerSecond, r.workerCpuUs, r.residentMiB);
        }
        return 0;
    }
    std::printf("\n== The reader: emulated dongle -> libusb 0.1 -> worker -> relay, %.1f s each\n", seconds);
    std::printf("%8s %14s %18s %19s %16s %6s\n", "clients", "transfers/s", "worker CPU us/tr",
                "process CPU us/tr", "frames/client", "lost");
    for (const int clients : counts) {
        const ReaderResult r = bench::InChild<ReaderResult>([&] { return Run(clients, seconds, 0); });
        if (!r.ok) {
            std::printf("%8d   (did not run)\n", clients);
            continue;
        }
        std::printf("%8d %14.0f %18.2f %19.2f %16llu %6llu\n", r.clients, r.transfersPerSecond, r.workerCpuUs,
                    r.processCpuUs, static_cast<unsigned long long>(r.framesPerClient),
                    static_cast<unsigned long long>(r.lost));
    }
    return 0;
}
