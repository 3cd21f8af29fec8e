// The relay's benchmarks: fan-out to 1-1000 clients beside two references (a naive relay with blocking
// sends, and ncat --broker), a stalled client among readers, and clients coming and going while frames
// stream. Every client is a real TCP connection on loopback. Each case runs in a process of its own, so
// that its peak memory is its own. Prints figures; asserts nothing.
//
//   relay_bench [all|fanout|latency|stalled|churn] [--seconds S] [--clients N] [--impl kestavo|naive|ncat]
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "frames/frames.h"
#include "networkdriver/descriptor_limit.h"
#include "networkdriver/network_driver.h"
#include "relay/client_table.h"
#include "tests/kit/frame_readers.h"
#include "tests/kit/net.h"
#include "tests/kit/process.h"
#include "tests/kit/table_server.h"
#include "tests/kit/wait.h"

extern char** environ;

namespace kestavo::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace kestavo::testkit;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ThreadCpuSeconds() {
    return CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

// How far a producer in a tight loop may run ahead of the slowest client: about 0.9 MB of frames,
// well inside the relay's 4 MiB queue.
constexpr std::uint64_t kWindow = 32768;

std::array<std::uint8_t, frames::kSampleFrameSize> StampedFrame(std::uint32_t sequence) {
    std::uint8_t payload[6];
    StampPayload(payload, sequence);
    return frames::SampleFrame(frames::BuildSamplePacket(payload));
}

bool SendAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// ---- The relays under test -------------------------------------------------------------------

// Something that takes one frame's samples and delivers them to every connected client.
class Relay {
public:
    virtual ~Relay() = default;
    virtual int Port() const = 0;
    // Sends frame number sequence, stamped with the time now.
    virtual void Send(std::uint32_t sequence) = 0;
    // How many clients it has taken in so far, when it can tell; -1 when it cannot.
    virtual int Accepted() const = 0;
    // The relay's own peak memory when it runs in another process, in MiB; 0 when it runs in this one.
    virtual double OwnPeakMiB() const { return 0; }
};

// Kestavo's relay: the client table over the relay-socket library, as the window runs it, with the
// library's callbacks entering and marking clients directly.
class KestavoRelay : public Relay {
public:
    KestavoRelay() : server_(FreePort()) {}

    void Start() { server_.Start(); }
    void Stop() { server_.Stop(); }
    int Port() const override { return server_.Port(); }
    void Send(std::uint32_t sequence) override {
        std::uint8_t payload[6];
        StampPayload(payload, sequence);
        server_.Table().RelaySamplePacket(frames::BuildSamplePacket(payload));
    }
    int Accepted() const override { return static_cast<int>(Entries()); }
    std::size_t Entries() const { return server_.Table().Entries().size(); }
    std::uint64_t Gone() const { return server_.Gone(); }

private:
    mutable TableServer server_;
};

// What a plain reading gives: each frame sent inline, with a blocking send, to each client in turn.
class NaiveRelay : public Relay {
public:
    NaiveRelay() : port_(FreePort()) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listen_, 4096);
        acceptor_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    return;
                }
                const int noDelay = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
                std::lock_guard lock(mutex_);
                clients_.push_back(fd);
            }
        });
    }
    ~NaiveRelay() override {
        ::shutdown(listen_, SHUT_RDWR);
        acceptor_.join();
        ::close(listen_);
        for (const int fd : clients_) {
            ::close(fd);
        }
    }
    int Port() const override { return port_; }
    void Send(std::uint32_t sequence) override {
        const auto frame = StampedFrame(sequence);
        std::lock_guard lock(mutex_);
        for (const int fd : clients_) {
            SendAll(fd, frame.data(), frame.size());
        }
    }
    int Accepted() const override {
        std::lock_guard lock(mutex_);
        return static_cast<int>(clients_.size());
    }

private:
    int port_;
    int listen_ = -1;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<int> clients_;
};

// ncat --broker in a process of its own: one producer connection feeds it the frames, and it copies
// them to every other connection.
class NcatBroker : public Relay {
public:
    explicit NcatBroker(int maxClients) : port_(FreePort()) {
        const std::string port = std::to_string(port_);
        const std::string max = std::to_string(maxClients + 16);
        std::vector<std::string> args{"ncat", "--broker", "--listen", "127.0.0.1", port, "--max-conns", max};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, "ncat", nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
            return;
        }
        // The producer is its first client; it is ready once it answers.
        WaitUntil(
            [&] {
                producer_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(static_cast<std::uint16_t>(port_));
                if (::connect(producer_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                    return true;
                }
                ::close(producer_);
                producer_ = -1;
                return false;
            },
            5s);
        const int one = 1;
        ::setsockopt(producer_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~NcatBroker() override {
        if (producer_ >= 0) {
            ::close(producer_);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    [[nodiscard]] bool Running() const { return producer_ >= 0; }
    int Port() const override { return port_; }
    void Send(std::uint32_t sequence) override {
        const auto frame = StampedFrame(sequence);
        SendAll(producer_, frame.data(), frame.size());
    }
    int Accepted() const override { return -1; }
    double OwnPeakMiB() const override {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::atof(line.c_str() + 6) / 1024.0;
            }
        }
        return 0;
    }

private:
    int port_;
    pid_t pid_ = -1;
    int producer_ = -1;
};

std::unique_ptr<Relay> MakeRelay(const std::string& impl, int clients) {
    if (impl == "naive") {
        return std::make_unique<NaiveRelay>();
    }
    if (impl == "ncat") {
        auto broker = std::make_unique<NcatBroker>(clients);
        if (!broker->Running()) {
            std::fprintf(stderr, "ncat --broker did not start (is Debian's ncat installed?)\n");
            return nullptr;
        }
        return broker;
    }
    return std::make_unique<KestavoRelay>();
}

// ---- Results shared from the case processes ----------------------------------------------------

struct FanoutResult {
    bool ok = false;
    int clients = 0;
    std::uint64_t produced = 0;
    double producerNs = 0;    // producer time per frame, by the clock on the wall
    double producerCpuNs = 0; // the producer thread's CPU time per frame
    double perClientFps = 0;  // frames delivered per second, average client
    double minClientFps = 0;  // the slowest client's
    double totalFps = 0;      // all clients together
    double drainSeconds = 0;  // from the producer's last frame until every client had it
    std::uint64_t lost = 0;   // frames a connected client never received
    std::uint64_t closed = 0; // clients the relay disconnected
    double p50 = 0, p99 = 0, max = 0;
    double peakMiB = 0;   // this process: relay (when in-process), readers and producer
    double brokerMiB = 0; // ncat's own
};

// Connects the readers and sends slow warm-up frames until every reader has one: from then on every
// client is in the relay's list. Returns the next sequence number, or nothing when the clients never
// all arrived.
std::optional<std::uint32_t> WarmUp(Relay& relay, FrameReaders& readers, int clients) {
    if (const int connected = readers.Connect("127.0.0.1", relay.Port(), clients); connected != clients) {
        std::fprintf(stderr, "only %d of %d clients could connect\n", connected, clients);
        return std::nullopt;
    }
    if (relay.Accepted() >= 0 && !WaitUntil([&] { return relay.Accepted() >= clients; }, 30s)) {
        return std::nullopt;
    }
    std::uint32_t sequence = 0;
    const auto end = Clock::now() + 30s;
    while (Clock::now() < end) {
        relay.Send(sequence);
        const auto last = static_cast<std::uint16_t>(sequence++);
        if (WaitUntil([&] { return readers.AllReached(last); }, 1s)) {
            return sequence;
        }
    }
    const ReaderTotals totals = readers.Totals();
    std::fprintf(stderr, "warm-up: %llu frames reached %d clients, %llu of them closed\n",
                 static_cast<unsigned long long>(totals.frames), clients,
                 static_cast<unsigned long long>(totals.closed));
    return std::nullopt;
}

// One fan-out case: a producer in a tight loop (or paced at rate frames per second) for the given time.
FanoutResult Fanout(const std::string& impl, int clients, double seconds, double rate) {
    FanoutResult result;
    result.clients = clients;
    auto relay = MakeRelay(impl, clients);
    if (!relay) {
        return result;
    }
    FrameReaders readers(1);
    const std::optional<std::uint32_t> first = WarmUp(*relay, readers, clients);
    if (!first) {
        std::fprintf(stderr, "%s: the clients did not all arrive\n", impl.c_str());
        return result;
    }
    const ReaderTotals before = readers.Totals();
    readers.MarkBaseline();
    readers.SetMeasuring(true);

    std::uint32_t sequence = *first;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto next = start;
    const auto interval =
        rate > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate))
                 : Clock::duration::zero();
    // Frames go out in batches of about a millisecond's work, each timed on the wall and on the
    // thread's own CPU clock.
    const int batch = rate > 0 ? 1 : std::max(16, 8192 / clients);
    std::uint64_t produced = 0;
    Clock::duration busy{};
    double cpu = 0;
    while (Clock::now() < end) {
        if (rate > 0) {
            next += interval;
            std::this_thread::sleep_until(next);
        } else {
            // Never more than kWindow frames ahead of the slowest client: a producer in a tight loop
            // makes frames far faster than loopback TCP and a client on the same two cores take them,
            // and any relay with a bounded queue would then rightly drop the client.
            while (produced > readers.MinSinceBaseline() + kWindow && Clock::now() < end) {
                std::this_thread::yield();
            }
        }
        const auto sendStart = Clock::now();
        const double cpuStart = ThreadCpuSeconds();
        for (int i = 0; i < batch; ++i) {
            relay->Send(sequence++);
        }
        cpu += ThreadCpuSeconds() - cpuStart;
        busy += Clock::now() - sendStart;
        produced += static_cast<std::uint64_t>(batch);
    }
    const auto produceEnd = Clock::now();
    const auto last = static_cast<std::uint16_t>(sequence - 1);
    WaitUntil(
        [&] {
            return readers.AllReached(last) || readers.Totals().frames - before.frames >= produced * clients;
        },
        30s);
    const auto drained = Clock::now();
    readers.SetMeasuring(false);
    const ReaderTotals after = readers.Totals();
    const LatencyHistogram latencies = readers.Latencies();

    const double window = Seconds(drained - start);
    const std::uint64_t received = after.frames - before.frames;
    result.ok = true;
    result.produced = produced;
    result.producerNs = Seconds(busy) * 1e9 / static_cast<double>(produced);
    result.producerCpuNs = cpu * 1e9 / static_cast<double>(produced);
    result.totalFps = static_cast<double>(received) / window;
    result.perClientFps = result.totalFps / clients;
    result.minClientFps = static_cast<double>(after.minFrames - before.minFrames) / window;
    result.drainSeconds = Seconds(drained - produceEnd);
    result.lost = produced * static_cast<std::uint64_t>(clients) - std::min(received, produced * clients);
    result.closed = after.closed;
    result.p50 = latencies.Percentile(50);
    result.p99 = latencies.Percentile(99);
    result.max = latencies.Max();
    result.peakMiB = PeakResidentMiB();
    result.brokerMiB = relay->OwnPeakMiB();
    readers.Stop();
    return result;
}

void PrintFanoutHeader() {
    std::printf("%-8s %7s %10s %10s %10s %12s %12s %13s %8s %6s %6s %8s %8s %9s %8s\n", "relay", "clients",
                "frames", "ns/frame", "cpu ns/fr", "fps/client", "min fps/cl", "fps total", "drain s", "lost",
                "gone", "p50 us", "p99 us", "max us", "peak MiB");
}

void PrintFanout(const char* impl, const FanoutResult& r) {
    if (!r.ok) {
        std::printf("%-8s %7d   (did not run)\n", impl, r.clients);
        return;
    }
    std::printf(
        "%-8s %7d %10llu %10.0f %10.0f %12.0f %12.0f %13.0f %8.2f %6llu %6llu %8.0f %8.0f %9.0f %8.1f", impl,
        r.clients, static_cast<unsigned long long>(r.produced), r.producerNs, r.producerCpuNs, r.perClientFps,
        r.minClientFps, r.totalFps, r.drainSeconds, static_cast<unsigned long long>(r.lost),
        static_cast<unsigned long long>(r.closed), r.p50, r.p99, r.max, r.peakMiB);
    if (r.brokerMiB > 0) {
        std::printf("  (ncat itself %.1f MiB)", r.brokerMiB);
    }
    std::printf("\n");
}

void FanoutScenario(double seconds, const std::vector<int>& counts, const std::vector<std::string>& impls,
                    double rate) {
    std::printf(rate > 0 ? "\n== Latency: a producer paced at %.0f frames/s\n"
                         : "\n== Fan-out: a producer in a tight loop for %.1f s\n",
                rate > 0 ? rate : seconds);
    PrintFanoutHeader();
    for (const int clients : counts) {
        std::vector<FanoutResult> results;
        for (const auto& impl : impls) {
            results.push_back(InChild<FanoutResult>([&] { return Fanout(impl, clients, seconds, rate); }));
            PrintFanout(impl.c_str(), results.back());
        }
        if (impls.size() > 1 && impls[0] == "kestavo" && results[0].ok) {
            for (std::size_t i = 1; i < impls.size(); ++i) {
                if (results[i].ok && results[i].totalFps > 0) {
                    std::printf("  kestavo / %-6s: throughput x%.2f, p99 latency x%.2f\n", impls[i].c_str(),
                                results[0].totalFps / results[i].totalFps,
                                results[i].p99 > 0 ? results[0].p99 / results[i].p99 : 0.0);
                }
            }
        }
    }
}

// ---- A stalled client ----------------------------------------------------------------------------

struct StalledResult {
    bool ok = false;
    double beforeProducerFps = 0, duringProducerFps = 0, afterProducerFps = 0;
    double beforeClientFps = 0, duringClientFps = 0, afterClientFps = 0;
    double beforeCpuNs = 0, duringCpuNs = 0, afterCpuNs = 0;
    double rate = 0;
    double secondsUntilDropped = 0;
    bool dropped = false;
    double rssBeforeMiB = 0, rssPeakDuringMiB = 0;
    std::uint64_t lost = 0;
    std::uint64_t closed = 0;
};

StalledResult Stalled(double seconds, double rate) {
    StalledResult result;
    KestavoRelay relay;
    FrameReaders readers(1);
    const std::optional<std::uint32_t> first = WarmUp(relay, readers, 10);
    if (!first) {
        return result;
    }
    std::uint32_t sequence = *first;

    // Runs the producer until done() or the time is up, in a tight loop or paced at rate; gives the
    // producer's rate, the rate per reader, and the producer's CPU time per frame.
    const int batch = rate > 0 ? 20 : 256;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(rate > 0 ? batch / rate : 0.0));
    const auto phase = [&](double limit, const std::function<bool()>& done, double* rssPeak) {
        const ReaderTotals before = readers.Totals();
        const std::uint32_t startSequence = sequence;
        const auto start = Clock::now();
        const auto end =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit));
        const double cpuStart = ThreadCpuSeconds();
        auto next = start;
        readers.MarkBaseline();
        while (Clock::now() < end && !done()) {
            if (rate > 0) {
                next += interval;
                std::this_thread::sleep_until(next);
            } else {
                // The readers share the two cores with the producer: without the window they, not the
                // stalled client, would fall 4 MiB behind and be dropped.
                while (sequence - startSequence > readers.MinSinceBaseline() + kWindow &&
                       Clock::now() < end && !done()) {
                    std::this_thread::yield();
                }
            }
            for (int i = 0; i < batch; ++i) {
                relay.Send(sequence++);
            }
            if (rssPeak != nullptr && (sequence & 0x3FFF) < static_cast<std::uint32_t>(batch)) {
                *rssPeak = std::max(*rssPeak, ResidentMiB());
            }
        }
        const double cpuNs = (ThreadCpuSeconds() - cpuStart) * 1e9 / (sequence - startSequence);
        const double elapsed = Seconds(Clock::now() - start);
        const auto last = static_cast<std::uint16_t>(sequence - 1);
        WaitUntil([&] { return readers.AllReached(last); }, 30s);
        const double drained = Seconds(Clock::now() - start);
        const ReaderTotals after = readers.Totals();
        return std::tuple{(sequence - startSequence) / elapsed,
                          static_cast<double>(after.frames - before.frames) / 10.0 / drained, cpuNs};
    };

    result.rate = rate;
    std::tie(result.beforeProducerFps, result.beforeClientFps, result.beforeCpuNs) = phase(
        seconds, [] { return false; }, nullptr);
    result.rssBeforeMiB = ResidentMiB();
    result.rssPeakDuringMiB = result.rssBeforeMiB;
    const std::uint64_t goneBefore = relay.Gone();
    const int stalled = readers.ConnectStalled("127.0.0.1", relay.Port());
    WaitUntil([&] { return relay.Entries() >= 11; }, 10s);
    const auto stalledAt = Clock::now();
    std::tie(result.duringProducerFps, result.duringClientFps, result.duringCpuNs) = phase(
        60, [&] { return relay.Gone() > goneBefore; }, &result.rssPeakDuringMiB);
    result.dropped = relay.Gone() > goneBefore;
    result.secondsUntilDropped = Seconds(Clock::now() - stalledAt);
    std::tie(result.afterProducerFps, result.afterClientFps, result.afterCpuNs) = phase(
        seconds, [] { return false; }, nullptr);
    const ReaderTotals totals = readers.Totals();
    result.lost = totals.lost;
    result.closed = totals.closed;
    result.ok = true;
    ::close(stalled);
    readers.Stop();
    return result;
}

void StalledScenario(double seconds, double rate) {
    if (rate > 0) {
        std::printf(
            "\n== One stalled client among 10 readers (kestavo relay, producer paced at %.0f frames/s)\n",
            rate);
    } else {
        std::printf("\n== One stalled client among 10 readers (kestavo relay, producer in a tight loop)\n");
    }
    const StalledResult r = InChild<StalledResult>([&] { return Stalled(seconds, rate); });
    if (!r.ok) {
        std::printf("(did not run)\n");
        return;
    }
    std::printf("%-28s %14s %16s %18s\n", "", "producer fps", "fps per reader", "producer cpu ns/fr");
    std::printf("%-28s %14.0f %16.0f %18.0f\n", "before (10 readers)", r.beforeProducerFps, r.beforeClientFps,
                r.beforeCpuNs);
    std::printf("%-28s %14.0f %16.0f %18.0f\n", "stalled client connected", r.duringProducerFps,
                r.duringClientFps, r.duringCpuNs);
    std::printf("%-28s %14.0f %16.0f %18.0f\n", "after it was dropped", r.afterProducerFps, r.afterClientFps,
                r.afterCpuNs);
    std::printf("stalled client dropped: %s after %.2f s; resident memory %.1f MiB before, %.1f MiB at most "
                "while it stalled (+%.1f MiB)\n",
                r.dropped ? "yes" : "NO", r.secondsUntilDropped, r.rssBeforeMiB, r.rssPeakDuringMiB,
                r.rssPeakDuringMiB - r.rssBeforeMiB);
    std::printf("readers: %llu frames lost, %llu disconnected\n", static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.closed));
}

// ---- Clients coming and going ------------------------------------------------------------------------

struct ChurnResult {
    bool ok = false;
    static constexpr int kSteps = 8;
    int steps = 0;
    std::size_t entries[kSteps + 1] = {};
    double meanNs[kSteps + 1] = {};
    double p99Ns[kSteps + 1] = {};
    double cpuNs[kSteps + 1] = {};
    double restartMeanNs = 0, restartP99Ns = 0, restartCpuNs = 0;
    std::size_t restartEntries = 0;
    int churned = 0;
    std::uint64_t lost = 0, closed = 0, received = 0, expected = 0;
};

ChurnResult Churn(int connections, double rate) {
    ChurnResult result;
    KestavoRelay relay;
    auto readers = std::make_unique<FrameReaders>(1);
    const std::optional<std::uint32_t> first = WarmUp(relay, *readers, 10);
    if (!first) {
        return result;
    }
    std::uint32_t sequence = *first;
    const ReaderTotals before = readers->Totals();
    std::atomic<int> churned{0};
    std::atomic<bool> stopChurn{false};
    std::thread churn([&] {
        for (int i = 0; i < connections && !stopChurn; ++i) {
            const int fd = FrameReaders::ConnectStalled("127.0.0.1", relay.Port());
            if (fd >= 0) {
                if (i % 2 == 0) {
                    linger reset{1, 0}; // half of them leave with a reset
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                }
                ::close(fd);
            }
            ++churned;
        }
    });

    // Paced frames, each timed; the figures are gathered per 1/kSteps of the connections.
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    // The wall time of each frame, and the thread's CPU time for all of them.
    const auto timedRun = [&](const std::function<bool()>& until, std::vector<double>& ns, double& cpuNs) {
        auto next = Clock::now();
        double cpu = 0;
        while (!until()) {
            next += interval;
            std::this_thread::sleep_until(next);
            const double cpuStart = ThreadCpuSeconds();
            const auto start = Clock::now();
            relay.Send(sequence++);
            ns.push_back(static_cast<double>((Clock::now() - start).count()));
            cpu += ThreadCpuSeconds() - cpuStart;
        }
        cpuNs = ns.empty() ? 0 : cpu * 1e9 / static_cast<double>(ns.size());
    };
    const auto summarize = [](std::vector<double>& ns, double& mean, double& p99) {
        if (ns.empty()) {
            return;
        }
        double sum = 0;
        for (const double v : ns) {
            sum += v;
        }
        mean = sum / static_cast<double>(ns.size());
        std::sort(ns.begin(), ns.end());
        p99 = ns[static_cast<std::size_t>(static_cast<double>(ns.size() - 1) * 0.99)];
    };
    std::uint64_t sent = 0;
    for (int step = 0; step <= ChurnResult::kSteps; ++step) {
        std::vector<double> ns;
        const int target = connections * step / ChurnResult::kSteps;
        const auto deadline = Clock::now() + 60s;
        timedRun([&] { return (churned >= target && ns.size() >= 2000) || Clock::now() > deadline; }, ns,
                 result.cpuNs[step]);
        sent += ns.size();
        result.entries[step] = relay.Entries();
        summarize(ns, result.meanNs[step], result.p99Ns[step]);
        result.steps = step + 1;
    }
    stopChurn = true;
    churn.join();
    result.churned = churned;
    const auto last = static_cast<std::uint16_t>(sequence - 1);
    WaitUntil([&] { return readers->AllReached(last); }, 30s);
    const ReaderTotals after = readers->Totals();
    result.received = after.frames - before.frames;
    result.expected = sent * 10;
    result.lost = after.lost + (result.expected - std::min(result.expected, result.received));
    result.closed = after.closed;
    readers->Stop();
    readers.reset();

    // Stop and start: the table begins empty again.
    relay.Stop();
    relay.Start();
    readers = std::make_unique<FrameReaders>(1);
    if (WarmUp(relay, *readers, 10)) {
        std::vector<double> ns;
        timedRun([&] { return ns.size() >= 5000; }, ns, result.restartCpuNs);
        result.restartEntries = relay.Entries();
        summarize(ns, result.restartMeanNs, result.restartP99Ns);
    }
    readers->Stop();
    result.ok = true;
    return result;
}

void ChurnScenario(int connections, double rate) {
    std::printf("\n== %d clients connecting and leaving while frames stream at %.0f/s to 10 readers\n",
                connections, rate);
    const ChurnResult r = InChild<ChurnResult>([&] { return Churn(connections, rate); });
    if (!r.ok) {
        std::printf("(did not run)\n");
        return;
    }
    std::printf("%-22s %14s %14s %14s %14s\n", "", "table entries", "mean ns/frame", "p99 ns/frame",
                "cpu ns/frame");
    for (int i = 0; i < r.steps; ++i) {
        std::printf("%-22s %14zu %14.0f %14.0f %14.0f\n", i == 0 ? "while clients churn" : "", r.entries[i],
                    r.meanNs[i], r.p99Ns[i], r.cpuNs[i]);
    }
    std::printf("%-22s %14zu %14.0f %14.0f %14.0f\n", "after stop and start", r.restartEntries,
                r.restartMeanNs, r.restartP99Ns, r.restartCpuNs);
    std::printf("churned connections: %d; steady readers: %llu of %llu frames received, %llu lost, %llu "
                "disconnected\n",
                r.churned, static_cast<unsigned long long>(r.received),
                static_cast<unsigned long long>(r.expected), static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.closed));
}

} // namespace
} // namespace kestavo::bench

int main(int argc, char** argv) {
    using namespace kestavo::bench;
    std::string scenario = "all";
    double seconds = 2.0;
    std::vector<int> counts{1, 10, 100, 1000};
    std::vector<std::string> impls{"kestavo", "naive", "ncat"};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--clients" && i + 1 < argc) {
            counts = {std::atoi(argv[++i])};
        } else if (arg == "--impl" && i + 1 < argc) {
            impls = {argv[++i]};
        } else if (arg.rfind("--", 0) != 0) {
            scenario = arg;
        } else {
            std::fprintf(stderr, "usage: relay_bench [all|fanout|latency|stalled|churn] [--seconds S] "
                                 "[--clients N] [--impl kestavo|naive|ncat]\n");
            return 1;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    const long descriptors = networkdriver::RaiseDescriptorLimit();
    std::printf("relay_bench: %u cores, descriptor limit %ld\n", std::thread::hardware_concurrency(),
                descriptors);
    if (scenario == "all" || scenario == "fanout") {
        FanoutScenario(seconds, counts, impls, 0);
    }
    if (scenario == "all" || scenario == "latency") {
        FanoutScenario(seconds, scenario == "all" ? std::vector<int>{10} : counts, impls, 10000);
    }
    if (scenario == "all" || scenario == "stalled") {
        StalledScenario(seconds, 0);
        StalledScenario(seconds, 200000);
    }
    if (scenario == "all" || scenario == "churn") {
        ChurnScenario(4000, 10000);
    }
    return 0;
}
