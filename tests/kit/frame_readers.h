#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clientkit/cpp/tls_client.h"

// Relay clients for the tests and the benchmarks: many TCP connections read by a few epoll threads.
// Each reads its stream with the client program's own decoder, so every frame is checked whole, and
// checks that its sample frames arrive in order (sample 0 carries a 16-bit sequence number); latency is
// measured where samples 1 and 2 carry the producer's clock in microseconds.
namespace kestavo::testkit {

// A 32-bit microsecond clock shared by producer and readers; differences wrap correctly.
std::uint32_t NowMicros();

// The producer's payload for frame number sequence: big-endian samples as a dongle delivers them.
void StampPayload(std::uint8_t payload[6], std::uint32_t sequence);

// Latencies in microseconds, in 1 µs buckets up to 100 ms.
class LatencyHistogram {
public:
    void Add(std::uint32_t micros);
    void Merge(const LatencyHistogram& other);
    [[nodiscard]] std::uint64_t Count() const { return count_; }
    [[nodiscard]] double Percentile(double p) const; // in microseconds
    [[nodiscard]] std::uint32_t Max() const { return max_; }

private:
    static constexpr std::size_t kBuckets = 100000;
    std::vector<std::uint64_t> buckets_ = std::vector<std::uint64_t>(kBuckets + 1, 0);
    std::uint64_t count_ = 0;
    std::uint32_t max_ = 0;
};

struct ReaderTotals {
    std::uint64_t frames = 0;           // sample frames received, all clients together
    std::uint64_t minFrames = 0;        // of the client that received fewest
    std::uint64_t lost = 0;             // gaps in the sequence, all clients together
    std::uint64_t malformed = 0;        // clients whose stream the decoder refused
    std::uint64_t closed = 0;           // clients the server disconnected
    std::uint64_t configuration = 0;    // configuration frames received
    std::uint64_t minConfiguration = 0; // of the client that received fewest
    std::uint64_t minBytes = 0;         // of the client that received fewest
};

class FrameReaders {
public:
    // Without decoding, the clients only count the bytes they read (for a relay whose streams may begin
    // in the middle of a frame).
    explicit FrameReaders(int threads = 1, bool decode = true);
    ~FrameReaders();
    FrameReaders(const FrameReaders&) = delete;
    FrameReaders& operator=(const FrameReaders&) = delete;

    // Connects count clients to host:port and starts reading them; gives the number connected. With tls,
    // each shakes hands with the relay first, as a TLS client of the relay's would.
    int Connect(const std::string& host, int port, int count,
                const std::optional<client::TlsClientSettings>& tls = std::nullopt);
    // A client that connects and never reads (its receive buffer kept small); gives its descriptor.
    static int ConnectStalled(const std::string& host, int port);

    [[nodiscard]] std::size_t Clients() const { return clients_.size(); }
    [[nodiscard]] ReaderTotals Totals() const;
    // True once every client has received a sample frame numbered sequence (16 bits) as its latest.
    [[nodiscard]] bool AllReached(std::uint16_t sequence) const;
    // Remembers how many frames each client has received so far.
    void MarkBaseline();
    // The fewest frames any client has received since the baseline.
    [[nodiscard]] std::uint64_t MinSinceBaseline() const;
    // Latencies are recorded only while measuring.
    void SetMeasuring(bool measuring) { measuring_ = measuring; }
    LatencyHistogram Latencies() const;
    void Stop();

private:
    struct Client;
    struct Worker;
    void Run(Worker& worker);
    // Decodes and counts what a client read.
    void Take(Worker& worker, Client& client, const std::uint8_t* data, std::size_t size);

    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> measuring_{false};
    const bool decode_;
    std::size_t next_ = 0;
};

} // namespace kestavo::testkit
