#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "publish/output.h"

namespace zmq {
class context_t;
class socket_t;
} // namespace zmq

namespace kestavo::publish {

// Publishes the raw samples on a ZeroMQ PUB socket: three little-endian 16-bit values per transfer and
// nothing else, the samples that gathered since the last message in one message, so that a subscriber
// reading items of three shorts takes them as they are. A subscriber that falls highWaterMark messages
// behind loses what follows until it catches up (ZeroMQ's own rule for PUB sockets; the others and the
// reader never notice).
//
// With the header on, each message has two parts: first kHeaderSize bytes that say which transfers follow
// (all little-endian: the first transfer's number, 64 bits; how many, 32; which opening of the dongle,
// 32; when the first was read, ns since the Unix epoch, signed 64), then the samples as without it.
class ZmqOutput : public Output {
public:
    struct Settings {
        std::string endpoint; // e.g. tcp://127.0.0.1:5555, tcp://*:5555, ipc:///run/kestavo.samples
        int highWaterMark = 1000;
        std::size_t largestBatch = 64; // samples in one message
        bool header = false;           // a header part before the samples
    };
    static constexpr std::size_t kHeaderSize = 24;
    static std::array<std::uint8_t, kHeaderSize> Header(std::uint64_t transfer, std::uint32_t count,
                                                        std::uint32_t opening, std::int64_t wallNs);

    ZmqOutput(Settings settings, LogFn log);
    ~ZmqOutput() override;

    // Why the socket could not be bound, or empty.
    [[nodiscard]] const std::string& Error() const { return error_; }

protected:
    std::size_t Send(const Batch& batch) override;

private:
    Settings settings_;
    std::string error_;
    std::unique_ptr<zmq::context_t> context_;
    std::unique_ptr<zmq::socket_t> socket_;
    std::vector<std::uint8_t> message_;
};

} // namespace kestavo::publish
