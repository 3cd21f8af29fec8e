#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "clientkit/cpp/tls_client.h"
#include "frames/sample_ring.h"

namespace kestavo::scope {

struct FeedStatus {
    bool connected = false;
    double framesPerSecond = 0; // sample frames in the last whole second
    std::uint64_t frames = 0;   // sample frames since the start
    std::string lastError;      // why the last connection ended or failed; empty before any did
    double retryInSeconds = 0;  // while not connected: the pause before the next attempt
};

// "Connected to HOST port PORT, 1000 frames/s", "Not connected: WHY; trying again in 2.0 s": the status
// line of a scope.
std::string DescribeFeed(const FeedStatus& status, const std::string& host, const std::string& port);

// Reads a relay's sample frames on a thread of its own into a ring, connecting again by itself with a
// growing pause (half a second, doubling up to ten) whenever the relay is not there, goes away, or ends
// its stream; a connection that brought samples starts the pause over.
class RelayFeed {
public:
    // tls: speak TLS to the relay, checking its certificate so; a handshake that fails is shown as why
    // the feed is not connected, and tried again like any other failure.
    RelayFeed(std::string host, std::string port, std::shared_ptr<frames::SampleRing> ring,
              std::optional<client::TlsClientSettings> tls = std::nullopt);
    ~RelayFeed();
    RelayFeed(const RelayFeed&) = delete;
    RelayFeed& operator=(const RelayFeed&) = delete;

    void Start();
    // Ends the connection and the thread; a pause or a read under way ends at once.
    void Stop();
    [[nodiscard]] FeedStatus Status() const;

private:
    void Run();
    // Reads one connection until it ends; true when it brought sample frames.
    bool Read(int fd, client::TlsConnection* tls);
    // Waits up to ms or until stopped; false when stopped.
    bool Pause(int ms);
    void Ended(const std::string& why);

    const std::string host_;
    const std::string port_;
    const std::shared_ptr<frames::SampleRing> ring_;
    const std::optional<client::TlsClientSettings> tls_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int fd_ = -1; // the connection's socket, so that Stop can end a read
    FeedStatus status_;
};

} // namespace kestavo::scope
