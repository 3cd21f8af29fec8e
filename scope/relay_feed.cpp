#include "scope/relay_feed.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "clientkit/cpp/connect.h"
#include "frames/frame_decoder.h"

namespace kestavo::scope {
namespace {

constexpr int kFirstPauseMs = 500;
constexpr int kLongestPauseMs = 10'000;
constexpr int kConnectTimeoutMs = 5'000;

} // namespace

std::string DescribeFeed(const FeedStatus& status, const std::string& host, const std::string& port) {
    if (status.connected) {
        return "Connected to " + host + " port " + port + ", " +
               std::to_string(std::lround(status.framesPerSecond)) + " frames/s";
    }
    if (status.lastError.empty()) {
        return "Connecting to " + host + " port " + port;
    }
    std::string text = "Not connected: " + status.lastError;
    if (status.retryInSeconds > 0) {
        char pause[32];
        std::snprintf(pause, sizeof pause, "%.1f", status.retryInSeconds);
        text += std::string("; trying again in ") + pause + " s";
    }
    return text;
}

RelayFeed::RelayFeed(std::string host, std::string port, std::shared_ptr<frames::SampleRing> ring,
                     std::optional<client::TlsClientSettings> tls)
    : host_(std::move(host)), port_(std::move(port)), ring_(std::move(ring)), tls_(std::move(tls)) {}

RelayFeed::~RelayFeed() {
    Stop();
}

void RelayFeed::Start() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() && !stopping_) {
        thread_ = std::thread([this] { Run(); });
    }
}

void RelayFeed::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_RDWR);
        }
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

FeedStatus RelayFeed::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void RelayFeed::Ended(const std::string& why) {
    std::lock_guard lock(mutex_);
    status_.connected = false;
    status_.framesPerSecond = 0;
    status_.lastError = why;
}

bool RelayFeed::Pause(int ms) {
    std::unique_lock lock(mutex_);
    status_.retryInSeconds = ms / 1000.0;
    const bool stopped = wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
    status_.retryInSeconds = 0;
    return !stopped;
}

void RelayFeed::Run() {
    int pauseMs = kFirstPauseMs;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        std::string error;
        int fd = client::ConnectTcp(host_, port_, error, kConnectTimeoutMs);
        std::unique_ptr<client::TlsConnection> tls;
        if (fd >= 0 && tls_) {
            bool refused = false;
            tls = client::TlsConnection::Open(fd, host_, *tls_, kConnectTimeoutMs, error, refused);
            if (!tls) {
                fd = -1; // closed; why is shown, and it is tried again
            }
        }
        if (fd >= 0) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    ::close(fd);
                    return;
                }
                fd_ = fd;
                status_.connected = true;
                status_.framesPerSecond = 0;
            }
            if (Read(fd, tls.get())) {
                pauseMs = kFirstPauseMs;
            }
            {
                std::lock_guard lock(mutex_);
                fd_ = -1;
            }
            if (tls) {
                tls.reset(); // closes the socket
            } else {
                ::close(fd);
            }
        } else {
            Ended(error);
        }
        if (!Pause(pauseMs)) {
            return;
        }
        pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
    }
}

bool RelayFeed::Read(int fd, client::TlsConnection* tls) {
    frames::FrameDecoder decoder;
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::uint64_t frames = 0;
    std::uint64_t framesAtSecond = 0;
    auto secondStarted = std::chrono::steady_clock::now();
    for (;;) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = tls != nullptr && tls->Pending() ? 1 : ::poll(&waiting, 1, 250);
        const auto now = std::chrono::steady_clock::now();
        if (now - secondStarted >= std::chrono::seconds(1)) {
            const double seconds = std::chrono::duration<double>(now - secondStarted).count();
            std::lock_guard lock(mutex_);
            status_.framesPerSecond = static_cast<double>(frames - framesAtSecond) / seconds;
            framesAtSecond = frames;
            secondStarted = now;
        }
        if (ready < 0 && errno != EINTR) {
            Ended(std::string("poll: ") + std::strerror(errno));
            return frames > 0;
        }
        if (ready <= 0) {
            continue;
        }
        std::string tlsError;
        bool refused = false;
        const ssize_t got = tls != nullptr ? tls->Read(buffer.data(), buffer.size(), tlsError, refused)
                                           : ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got == -2 || (got < 0 && tls == nullptr && errno == EINTR)) {
            continue;
        }
        if (got < 0 && tls != nullptr) {
            Ended(tlsError);
            return frames > 0;
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return frames > 0;
            }
        }
        if (got <= 0) {
            Ended(got == 0 ? "the relay closed the connection" : std::string(std::strerror(errno)));
            return frames > 0;
        }
        bool stopFrame = false;
        const std::uint64_t before = frames;
        const std::int64_t arrived = frames::SteadyNowNs();
        const bool wellFormed = decoder.FeedEach(
            buffer.data(), static_cast<std::size_t>(got), [&](const frames::FrameView& frame) {
                if (frame.type == frames::kSampleFrame && frame.sampleCount >= 3) {
                    ring_->Push(arrived, frame.Sample(0), frame.Sample(1), frame.Sample(2));
                    ++frames;
                } else if (frame.type == frames::kStopFrame) {
                    stopFrame = true;
                }
            });
        if (frames != before) {
            std::lock_guard lock(mutex_);
            status_.frames += frames - before;
        }
        if (!wellFormed) {
            Ended("malformed stream: " + decoder.Error());
            return frames > 0;
        }
        if (stopFrame) {
            Ended("the relay stopped");
            return frames > 0;
        }
    }
}

} // namespace kestavo::scope
