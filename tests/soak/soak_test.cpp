#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "diagnostics/failures.h"
#include "kit.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/process.h"
#include "tests/kit/table_server.h"
#include "usb/transfer.h"
#include "usb_bench_fixture.h"

namespace kestavo::test {
namespace {

using namespace std::chrono_literals;

// Resident memory is only a fair measure without a sanitizer, whose quarantine keeps freed memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif

// The whole road for a bounded time (KESTAVO_SOAK_SECONDS, 10 by default): an emulated dongle read by
// the real USB library and the worker, relayed to three steady readers, while clients come and go —
// some never reading, some leaving with a reset — and the dongle is closed and opened again after
// every thousand transfers. Every frame the relay sent reaches every steady reader, in order; afterwards no
// descriptor or thread is left over, and memory has not grown.
class Soak : public UsbBenchTest {};

TEST_F(Soak, EveryFrameReachesEveryReaderWhileClientsComeAndGoAndTheDongleReopens) {
    const char* setting = std::getenv("KESTAVO_SOAK_SECONDS");
    const auto duration = std::chrono::duration<double>(setting != nullptr ? std::atof(setting) : 10.0);
    Devices("device 1 2 1234 5678\nconfiguration 1\ninterface 0\naltsetting 0\n"
            "endpoint 0x81 bulk 64\nendpoint 0x02 bulk 64\nin counter\nin-latency-us 200\n");
    usb::InitializeLibrary();
    usb::TestParams params;
    params.device = usb_get_busses()->devices;

    testkit::TableServer server(FreePort());
    std::atomic<std::uint64_t> relayed{0};
    const usb::PacketSink sink = [&](const frames::SamplePacket& packet) {
        server.Table().RelaySamplePacket(packet);
        ++relayed;
    };
    testkit::FrameReaders readers(1);
    ASSERT_EQ(readers.Connect("127.0.0.1", server.Port(), 3), 3);
    ASSERT_TRUE(WaitUntil([&] { return server.Table().Entries().size() == 3; }));

    std::unique_ptr<usb::TransferContext> readSide;
    std::unique_ptr<usb::TransferContext> writeSide;
    std::vector<std::string> messages;
    const auto open = [&] {
        params.deviceHandle = usb_open(params.device);
        params.stopRequest = 0;
        usb::PrepareConnection(
            params, readSide, writeSide, [&](const std::string& text) { messages.push_back(text); }, sink);
        usb::Resume(*readSide);
    };
    // The bench's own record of what the dongle saw would otherwise grow to its 100,000 lines and
    // hide the relay's memory.
    const auto close = [&] {
        usb::StopTransfers(params, readSide, writeSide);
        usbbench_clear_journal();
    };
    // Each opening lasts until it has relayed another thousand transfers (about 0.2 s).
    const auto stream = [&] {
        const std::uint64_t target = relayed + 1000;
        return WaitUntil([&] { return relayed >= target; });
    };

    // The first cycle brings up every thread and buffer that lasts; what follows must not add to them.
    open();
    ASSERT_TRUE(stream());
    close();
    const std::size_t descriptors = CountEntries("/proc/self/fd");
    const double memoryBefore = testkit::ResidentMiB();

    std::atomic<bool> stop{false};
    std::atomic<int> churned{0};
    std::thread churn([&] {
        for (int i = 0; !stop; ++i) {
            TcpClient client("127.0.0.1", server.Port());
            if (i % 3 == 0) {
                client.Read(264, 200ms);
            } else if (i % 3 == 1) {
                client.Reset();
            }
            ++churned;
        }
    });
    int cycles = 0;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        open();
        const bool streamed = stream();
        close();
        ASSERT_TRUE(streamed) << "cycle " << cycles;
        ++cycles;
    }
    stop = true;
    churn.join();

    ASSERT_TRUE(WaitUntil([&] { return readers.Totals().frames >= relayed * 3; }, 30s))
        << readers.Totals().frames << " of " << relayed * 3;
    const testkit::ReaderTotals totals = readers.Totals();
    EXPECT_EQ(totals.frames, relayed * 3) << "every frame, to every steady reader";
    EXPECT_EQ(totals.malformed, 0U);
    EXPECT_EQ(totals.closed, 0U);
    // The read a close interrupts takes a transfer number with it, so each cycle may skip one number;
    // anything more would be a frame out of order.
    EXPECT_LE(totals.lost, 3U * static_cast<unsigned>(cycles + 1));
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_GT(relayed, 1000U);
    EXPECT_GT(churned, 10);

    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/fd") <= descriptors; }))
        << CountEntries("/proc/self/fd") << " descriptors, " << descriptors << " before";
    EXPECT_EQ(CountThreadsNamed("kestavo-relay"), 1U);
    EXPECT_EQ(CountThreadsNamed("kestavo-worker"), 0U) << "every worker ended with its connection";
    EXPECT_EQ(diagnostics::FailureCount(), 0U) << "nothing failed on the way";
    const double growth = testkit::ResidentMiB() - memoryBefore;
    std::printf(
        "soak: %d reopenings, %d clients came and went, %llu frames to each reader, memory %+.1f MiB\n",
        cycles, churned.load(), static_cast<unsigned long long>(relayed.load()), growth);
    if (kMeasureMemory) {
        EXPECT_LT(growth, 8.0) << "resident memory grew by " << growth << " MiB";
    }
    readers.Stop();
}

} // namespace
} // namespace kestavo::test
