#include "tests/kit/frame_readers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frames/frame_decoder.h"
#include "tests/kit/net.h"

namespace kestavo::testkit {

std::uint32_t NowMicros() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void StampPayload(std::uint8_t payload[6], std::uint32_t sequence) {
    const std::uint32_t now = NowMicros();
    payload[0] = static_cast<std::uint8_t>(sequence >> 8);
    payload[1] = static_cast<std::uint8_t>(sequence);
    payload[2] = static_cast<std::uint8_t>(now >> 24);
    payload[3] = static_cast<std::uint8_t>(now >> 16);
    payload[4] = static_cast<std::uint8_t>(now >> 8);
    payload[5] = static_cast<std::uint8_t>(now);
}

void LatencyHistogram::Add(std::uint32_t micros) {
    ++buckets_[std::min<std::size_t>(micros, kBuckets)];
    ++count_;
    max_ = std::max(max_, micros);
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        buckets_[i] += other.buckets_[i];
    }
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
}

double LatencyHistogram::Percentile(double p) const {
    if (count_ == 0) {
        return 0;
    }
    const auto rank = static_cast<std::uint64_t>(p / 100.0 * static_cast<double>(count_ - 1));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        seen += buckets_[i];
        if (seen > rank) {
            return static_cast<double>(i);
        }
    }
    return static_cast<double>(kBuckets);
}

struct FrameReaders::Client {
    int fd = -1;
    std::unique_ptr<client::TlsConnection> tls; // owns fd, when there is one
    frames::FrameDecoder decoder;
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<std::uint64_t> malformed{0};
    std::atomic<std::uint64_t> configuration{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint32_t> last{0x10000}; // no frame yet
    std::atomic<bool> closed{false};
    std::uint64_t baseline = 0; // the producer's thread alone
};

struct FrameReaders::Worker {
    int epoll = -1;
    std::thread thread;
    mutable std::mutex latencyMutex;
    LatencyHistogram latencies;
};

FrameReaders::FrameReaders(int threads, bool decode) : decode_(decode) {
    for (int i = 0; i < threads; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->epoll = ::epoll_create1(EPOLL_CLOEXEC);
        workers_.push_back(std::move(worker));
    }
    for (auto& worker : workers_) {
        worker->thread = std::thread([this, w = worker.get()] { Run(*w); });
    }
}

FrameReaders::~FrameReaders() {
    Stop();
    for (auto& worker : workers_) {
        ::close(worker->epoll);
    }
    for (auto& client : clients_) {
        if (client->fd >= 0 && !client->tls) {
            ::close(client->fd);
        }
    }
}

void FrameReaders::Stop() {
    stop_ = true;
    for (auto& worker : workers_) {
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
    }
}

int FrameReaders::Connect(const std::string& host, int port, int count,
                          const std::optional<client::TlsClientSettings>& tls) {
    int connected = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = testkit::ConnectTo(host, port);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        if (tls) {
            std::string error;
            bool refused = false;
            client->tls = client::TlsConnection::Open(fd, host, *tls, 10'000, error, refused);
            if (!client->tls) {
                std::fprintf(stderr, "frame readers: %s\n", error.c_str());
                continue;
            }
        }
        Worker& worker = *workers_[next_++ % workers_.size()];
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = client.get();
        ::epoll_ctl(worker.epoll, EPOLL_CTL_ADD, fd, &event);
        clients_.push_back(std::move(client));
        ++connected;
    }
    return connected;
}

int FrameReaders::ConnectStalled(const std::string& host, int port) {
    const int fd = ConnectTo(host, port);
    if (fd >= 0) {
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    return fd;
}

void FrameReaders::Run(Worker& worker) {
    std::vector<std::uint8_t> buffer(256 * 1024);
    epoll_event events[64];
    while (!stop_) {
        const int ready = ::epoll_wait(worker.epoll, events, 64, 20);
        for (int e = 0; e < ready; ++e) {
            auto& client = *static_cast<Client*>(events[e].data.ptr);
            std::string error;
            bool refused = false;
            // A TLS client may hold decrypted bytes that epoll cannot see: it reads until none are left.
            for (bool more = true; more;) {
                const ssize_t got = client.tls
                                        ? client.tls->Read(buffer.data(), buffer.size(), error, refused)
                                        : ::recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                more = client.tls != nullptr && got > 0;
                if (got == 0 || (got == -1 && (client.tls || (errno != EAGAIN && errno != EINTR)))) {
                    client.closed = true;
                    ::epoll_ctl(worker.epoll, EPOLL_CTL_DEL, client.fd, nullptr);
                    break;
                }
                if (got < 0 || client.malformed.load() > 0) {
                    break;
                }
                Take(worker, client, buffer.data(), static_cast<std::size_t>(got));
            }
        }
    }
}

void FrameReaders::Take(Worker& worker, Client& client, const std::uint8_t* data, std::size_t size) {
    const std::uint32_t now = NowMicros();
    client.bytes.fetch_add(size, std::memory_order_relaxed);
    if (!decode_) {
        return;
    }
    std::uint64_t received = 0;
    std::unique_lock latencyLock(worker.latencyMutex, std::defer_lock);
    const bool measuring = measuring_.load(std::memory_order_relaxed);
    if (measuring) {
        latencyLock.lock();
    }
    const bool wellFormed = client.decoder.FeedEach(data, size, [&](const frames::FrameView& frame) {
        if (frame.type == frames::kConfigurationFrame) {
            ++client.configuration;
        }
        if (frame.type != frames::kSampleFrame || frame.sampleCount < 3) {
            return;
        }
        const std::uint16_t sequence = frame.Sample(0);
        const std::uint32_t last = client.last.load(std::memory_order_relaxed);
        if (last <= 0xFFFF) {
            const auto gap = static_cast<std::uint16_t>(sequence - last - 1);
            client.lost.fetch_add(gap, std::memory_order_relaxed);
        }
        client.last.store(sequence, std::memory_order_relaxed);
        ++received;
        if (measuring) {
            const std::uint32_t stamp = (static_cast<std::uint32_t>(frame.Sample(1)) << 16) | frame.Sample(2);
            worker.latencies.Add(now - stamp);
        }
    });
    client.frames.fetch_add(received, std::memory_order_relaxed);
    if (!wellFormed && client.malformed.fetch_add(1) == 0) {
        ::epoll_ctl(worker.epoll, EPOLL_CTL_DEL, client.fd, nullptr);
    }
}

ReaderTotals FrameReaders::Totals() const {
    ReaderTotals totals;
    totals.minFrames = clients_.empty() ? 0 : UINT64_MAX;
    totals.minConfiguration = totals.minFrames;
    totals.minBytes = totals.minFrames;
    for (const auto& client : clients_) {
        const std::uint64_t frames = client->frames.load();
        totals.frames += frames;
        totals.minFrames = std::min(totals.minFrames, frames);
        totals.lost += client->lost.load();
        totals.malformed += client->malformed.load();
        totals.configuration += client->configuration.load();
        totals.minConfiguration = std::min(totals.minConfiguration, client->configuration.load());
        totals.minBytes = std::min(totals.minBytes, client->bytes.load());
        totals.closed += client->closed.load() ? 1 : 0;
    }
    return totals;
}

void FrameReaders::MarkBaseline() {
    for (auto& client : clients_) {
        client->baseline = client->frames.load();
    }
}

std::uint64_t FrameReaders::MinSinceBaseline() const {
    std::uint64_t least = UINT64_MAX;
    for (const auto& client : clients_) {
        if (!client->closed.load(std::memory_order_relaxed)) {
            least = std::min(least, client->frames.load(std::memory_order_relaxed) - client->baseline);
        }
    }
    return least;
}

bool FrameReaders::AllReached(std::uint16_t sequence) const {
    return std::all_of(clients_.begin(), clients_.end(),
                       [&](const auto& client) { return client->last.load() == sequence; });
}

LatencyHistogram FrameReaders::Latencies() const {
    LatencyHistogram merged;
    for (const auto& worker : workers_) {
        std::lock_guard lock(worker->latencyMutex);
        merged.Merge(worker->latencies);
    }
    return merged;
}

} // namespace kestavo::testkit
