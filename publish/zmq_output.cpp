#include "publish/zmq_output.h"

#include <utility>
#include <zmq.hpp>

namespace kestavo::publish {

ZmqOutput::ZmqOutput(Settings settings, LogFn log)
    : Output("kestavo-zmq", 1 << 16, settings.largestBatch), settings_(std::move(settings)) {
    message_.reserve(settings_.largestBatch * 6);
    try {
        context_ = std::make_unique<zmq::context_t>(1);
        socket_ = std::make_unique<zmq::socket_t>(*context_, zmq::socket_type::pub);
        socket_->set(zmq::sockopt::sndhwm, settings_.highWaterMark);
        socket_->set(zmq::sockopt::linger, 0);
        socket_->bind(settings_.endpoint);
    } catch (const zmq::error_t& error) {
        error_ = "ZeroMQ: cannot publish on " + settings_.endpoint + ": " + error.what();
        socket_.reset();
        return;
    }
    log("ZeroMQ: publishing the samples on " + settings_.endpoint);
    // From here on the socket is the output thread's alone; starting the thread hands it over.
    StartThread();
}

ZmqOutput::~ZmqOutput() {
    StopThread();
    socket_.reset();
    context_.reset();
}

std::array<std::uint8_t, ZmqOutput::kHeaderSize>
ZmqOutput::Header(std::uint64_t transfer, std::uint32_t count, std::uint32_t opening, std::int64_t wallNs) {
    std::array<std::uint8_t, kHeaderSize> header{};
    const auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            header[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put(0, transfer, 8);
    put(8, count, 4);
    put(12, opening, 4);
    put(16, static_cast<std::uint64_t>(wallNs), 8);
    return header;
}

std::size_t ZmqOutput::Send(const Batch& batch) {
    message_.clear();
    for (const frames::StampedSample& sample : batch.samples) {
        for (const std::uint16_t value : sample.values) {
            message_.push_back(static_cast<std::uint8_t>(value & 0xFF));
            message_.push_back(static_cast<std::uint8_t>(value >> 8));
        }
    }
    try {
        // A PUB socket never waits: a subscriber at its high-water mark simply misses the message (both
        // parts of it: ZeroMQ delivers a message whole or not at all).
        if (settings_.header) {
            const frames::StampedSample& first = batch.samples.front();
            const auto header = Header(first.transfer, static_cast<std::uint32_t>(batch.samples.size()),
                                       first.opening, WallNs(first.timeNs));
            if (!socket_->send(zmq::buffer(header), zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
                return 0;
            }
        }
        return socket_->send(zmq::buffer(message_), zmq::send_flags::dontwait) ? batch.samples.size() : 0;
    } catch (const zmq::error_t&) {
        return 0;
    }
}

} // namespace kestavo::publish
