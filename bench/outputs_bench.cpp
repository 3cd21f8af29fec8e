// What the outputs beside the relay cost, with a real nats-server on loopback (Debian's package). Two
// parts:
//  - one frame per NATS message against a batch of what gathered (up to 16, 64): the publishing
//    thread's CPU per frame and a subscriber's latency (from the reader's hand-over to the subscriber's
//    receipt, in the same process), frames offered at a steady 10,000 and 100,000 a second;
//  - the reader at full speed (an emulated dongle that always has data, one TCP client): transfers per
//    second with NATS and ZeroMQ publishing beside the relay, against the relay alone, in rounds that
//    alternate; the publishing threads' CPU per frame.
// Prints figures; asserts nothing.
//
//   outputs_bench [--seconds S] [--rounds N]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nats/nats.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zmq.hpp>

#include "child.h"
#include "emulated_dongle.h"
#include "frames/frame_decoder.h"
#include "publish/nats_output.h"
#include "publish/outputs.h"
#include "publish/zmq_output.h"
#include "relay/client_table.h"
#include "tests/kit/child_process.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/process.h"
#include "tests/kit/table_server.h"
#include "tests/kit/wait.h"
#include "tests/usbbench/client.h"
#include "usb/transfer.h"

namespace {

using namespace std::chrono_literals;
using namespace kestavo;
using Clock = std::chrono::steady_clock;

frames::SamplePacket Numbered(std::uint32_t number) {
    frames::SamplePacket packet;
    packet.samples[0] = static_cast<std::uint16_t>(number);
    packet.samples[1] = static_cast<std::uint16_t>(number >> 16);
    return packet;
}

// The CPU clock of the thread once it has named itself.
clockid_t NamedThreadClock(const char* name) {
    clockid_t clock = CLOCK_PROCESS_CPUTIME_ID;
    testkit::WaitUntil(
        [&] { return (clock = testkit::CpuClockOfThreadNamed(name)) != CLOCK_PROCESS_CPUTIME_ID; }, 5s);
    return clock;
}

struct NatsServerProcess {
    explicit NatsServerProcess(int port)
        : url("nats://127.0.0.1:" + std::to_string(port)),
          process(KESTAVO_NATS_SERVER, {"-a", "127.0.0.1", "-p", std::to_string(port)}, {}) {
        process.WaitFor("Server is ready");
    }
    std::string url;
    testkit::ChildProcess process;
};

struct BatchResult {
    double cpuNsPerFrame = 0;
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    std::uint64_t received = 0;
    std::uint64_t offered = 0;
    std::uint64_t dropped = 0;
};

BatchResult MeasureBatch(std::size_t largestBatch, double rate, double seconds) {
    NatsServerProcess server(testkit::FreePort());
    natsConnection* connection = nullptr;
    natsSubscription* subscription = nullptr;
    natsConnection_ConnectTo(&connection, server.url.c_str());
    natsConnection_SubscribeSync(&subscription, connection, "bench.samples");
    natsSubscription_SetPendingLimits(subscription, -1, -1);
    natsConnection_Flush(connection);

    const auto total = static_cast<std::uint32_t>(rate * seconds);
    std::vector<std::int64_t> offeredAt(total, 0);
    std::vector<double> latencies;
    latencies.reserve(total);
    std::atomic<bool> done{false};
    std::thread subscriber([&] {
        frames::FrameDecoder decoder;
        while (!done) {
            natsMsg* message = nullptr;
            if (natsSubscription_NextMsg(&message, subscription, 100) != NATS_OK) {
                continue;
            }
            const std::int64_t now = frames::SteadyNowNs();
            decoder.FeedEach(reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(message)),
                             static_cast<std::size_t>(natsMsg_GetDataLength(message)),
                             [&](const frames::FrameView& frame) {
                                 const std::uint32_t n =
                                     frame.Sample(0) | (std::uint32_t{frame.Sample(1)} << 16);
                                 if (n < total) {
                                     latencies.push_back(static_cast<double>(now - offeredAt[n]) / 1e3);
                                 }
                             });
            natsMsg_Destroy(message);
        }
    });

    BatchResult result;
    {
        publish::NatsOutput::Settings settings;
        settings.servers = {server.url};
        settings.samplesSubject = "bench.samples";
        settings.configurationSubject = "bench.config";
        settings.largestBatch = largestBatch;
        publish::NatsOutput output(settings, [](const std::string&) {});
        const clockid_t publisher = NamedThreadClock("kestavo-nats");
        const double cpuStart = testkit::CpuSeconds(publisher);
        const auto start = Clock::now();
        for (std::uint32_t n = 0; n < total; ++n) {
            const auto due = start + std::chrono::nanoseconds(static_cast<std::int64_t>(n * 1e9 / rate));
            while (Clock::now() < due) {
            }
            offeredAt[n] = frames::SteadyNowNs();
            output.Offer(Numbered(n));
        }
        testkit::WaitUntil([&] { return output.Sent() + output.Dropped() == output.Offered(); }, 10s);
        result.cpuNsPerFrame = (testkit::CpuSeconds(publisher) - cpuStart) * 1e9 / total;
        result.offered = total;
        result.dropped = output.Dropped();
        testkit::WaitUntil([&] { return latencies.size() + output.Dropped() >= total; }, 10s);
    }
    done = true;
    subscriber.join();
    natsSubscription_Destroy(subscription);
    natsConnection_Destroy(connection);
    std::sort(latencies.begin(), latencies.end());
    result.received = latencies.size();
    if (!latencies.empty()) {
        result.p50Us = latencies[latencies.size() / 2];
        result.p99Us = latencies[latencies.size() * 99 / 100];
        result.maxUs = latencies.back();
    }
    return result;
}

struct ReaderResult {
    bool ok = false;
    double transfersPerSecond = 0;
    double readerCpuUs = 0;
    double natsCpuNs = 0; // the publishing threads' CPU per frame
    double zmqCpuNs = 0;
    std::uint64_t natsDropped = 0;
    std::uint64_t zmqDropped = 0;
};

ReaderResult Read(bool withOutputs, double seconds) {
    ReaderResult result;
    std::unique_ptr<NatsServerProcess> server;
    if (withOutputs) {
        server = std::make_unique<NatsServerProcess>(testkit::FreePort());
    }
    bench::EmulatedDongle dongle("kestavo-outputs-bench", "in counter\nin-bytes 64\n");
    usb::TestParams& params = dongle.params;
    testkit::TableServer relay(testkit::FreePort());
    testkit::FrameReaders readers(1);
    readers.Connect("127.0.0.1", relay.Port(), 1);
    testkit::WaitUntil([&] { return relay.Table().Entries().size() == 1; }, 10s);

    std::unique_ptr<publish::Outputs> outputs;
    zmq::context_t context;
    zmq::socket_t subscriber(context, zmq::socket_type::sub);
    if (withOutputs) {
        publish::OutputOptions options;
        options.nats = {server->url};
        options.zmq = "tcp://127.0.0.1:" + std::to_string(testkit::FreePort());
        outputs = std::make_unique<publish::Outputs>(options, "kestavo.bench", [](const std::string&) {});
        // A subscriber on each, so that both really send.
        subscriber.set(zmq::sockopt::subscribe, "");
        subscriber.set(zmq::sockopt::rcvtimeo, 100);
        subscriber.connect(options.zmq);
    }
    std::atomic<bool> reading{true};
    std::thread zmqReader([&] {
        zmq::message_t message;
        while (withOutputs && reading) {
            (void)subscriber.recv(message);
        }
    });
    natsConnection* natsConnection = nullptr;
    natsSubscription* natsSubscription = nullptr;
    if (withOutputs) {
        natsConnection_ConnectTo(&natsConnection, server->url.c_str());
        natsConnection_Subscribe(
            &natsSubscription, natsConnection, "kestavo.bench.samples",
            [](::natsConnection*, ::natsSubscription*, natsMsg* message, void*) { natsMsg_Destroy(message); },
            nullptr);
        natsSubscription_SetPendingLimits(natsSubscription, -1, -1);
    }

    std::unique_ptr<usb::TransferContext> readSide;
    std::unique_ptr<usb::TransferContext> writeSide;
    std::atomic<std::uint64_t> transfers{0};
    usb::PrepareConnection(
        params, readSide, writeSide,
        [](const std::string& text) { std::fprintf(stderr, "%s", text.c_str()); },
        [&](const frames::SamplePacket& packet) {
            // Numbered and stamped as the receiver does it.
            const std::uint64_t number = transfers.fetch_add(1, std::memory_order_relaxed);
            const frames::StampedSample sample{
                frames::SteadyNowNs(), {packet.samples[0], packet.samples[1], packet.samples[2]}, number, 1};
            relay.Table().RelaySamplePacket(packet);
            if (outputs) {
                outputs->Offer(sample);
            }
        });
    if (!readSide) {
        return result;
    }
    clockid_t readerClock{};
    pthread_getcpuclockid(readSide->thread.native_handle(), &readerClock);
    usb::Resume(*readSide);
    std::this_thread::sleep_for(300ms); // past the warm-up
    const clockid_t natsClock = withOutputs ? NamedThreadClock("kestavo-nats") : readerClock;
    const clockid_t zmqClock = withOutputs ? NamedThreadClock("kestavo-zmq") : readerClock;
    const std::uint64_t startTransfers = transfers;
    const double startReader = testkit::CpuSeconds(readerClock);
    const double startNats = testkit::CpuSeconds(natsClock);
    const double startZmq = testkit::CpuSeconds(zmqClock);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t done = transfers - startTransfers;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    result.readerCpuUs = (testkit::CpuSeconds(readerClock) - startReader) * 1e6 / static_cast<double>(done);
    if (withOutputs) {
        result.natsCpuNs = (testkit::CpuSeconds(natsClock) - startNats) * 1e9 / static_cast<double>(done);
        result.zmqCpuNs = (testkit::CpuSeconds(zmqClock) - startZmq) * 1e9 / static_cast<double>(done);
    }
    usb::StopTransfers(params, readSide, writeSide);
    result.ok = true;
    result.transfersPerSecond = static_cast<double>(done) / elapsed;
    if (outputs) {
        result.natsDropped = outputs->Nats()->Dropped();
        result.zmqDropped = outputs->Zmq()->Dropped();
    }
    reading = false;
    zmqReader.join();
    outputs.reset();
    if (natsConnection != nullptr) {
        natsSubscription_Destroy(natsSubscription);
        natsConnection_Destroy(natsConnection);
    }
    readers.Stop();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 3.0;
    int rounds = 3;
    bench::ReadSecondsAndRounds(argc, argv, seconds, rounds);
    std::printf("\n== NATS: frames per message, a steady rate for %.1f s, subscriber on the same host\n",
                seconds);
    std::printf("%10s %10s %20s %10s %10s %10s %10s\n", "frames/s", "batch", "publisher CPU ns/fr", "p50 us",
                "p99 us", "max us", "dropped");
    for (const double rate : {10'000.0, 100'000.0}) {
        for (const std::size_t batch : {std::size_t{1}, std::size_t{16}, std::size_t{64}}) {
            const BatchResult r =
                bench::InChild<BatchResult>([&] { return MeasureBatch(batch, rate, seconds); });
            std::printf("%10.0f %10zu %20.0f %10.0f %10.0f %10.0f %10llu\n", rate, batch, r.cpuNsPerFrame,
                        r.p50Us, r.p99Us, r.maxUs, static_cast<unsigned long long>(r.dropped));
        }
    }

    std::printf("\n== The reader at full speed, one relay client, %.1f s a run\n", seconds);
    std::printf("%6s %18s %14s %18s %16s %16s %12s %12s\n", "round", "outputs", "transfers/s",
                "reader CPU us/tr", "NATS CPU ns/fr", "ZeroMQ CPU ns/fr", "NATS drop", "ZeroMQ drop");
    for (int round = 1; round <= rounds; ++round) {
        for (const bool withOutputs : {round % 2 == 0, round % 2 != 0}) {
            const ReaderResult r = bench::InChild<ReaderResult>([&] { return Read(withOutputs, seconds); });
            if (!r.ok) {
                std::printf("%6d   (did not run)\n", round);
                continue;
            }
            std::printf("%6d %18s %14.0f %18.3f %16.0f %16.0f %12llu %12llu\n", round,
                        withOutputs ? "relay+NATS+ZeroMQ" : "relay alone", r.transfersPerSecond,
                        r.readerCpuUs, r.natsCpuNs, r.zmqCpuNs,
                        static_cast<unsigned long long>(r.natsDropped),
                        static_cast<unsigned long long>(r.zmqDropped));
        }
    }
    return 0;
}
