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

std::size_t ZmqOutput::Send(std::span<const frames::StampedSample> samples) {
    message_.clear();
    for (const frames::StampedSample& sample : samples) {
        for (const std::uint16_t value : sample.values) {
            message_.push_back(static_cast<std::uint8_t>(value & 0xFF));
            message_.push_back(static_cast<std::uint8_t>(value >> 8));
        }
    }
    try {
        // A PUB socket never waits: a subscriber at its high-water mark simply misses the message.
        return socket_->send(zmq::buffer(message_), zmq::send_flags::dontwait) ? samples.size() : 0;
    } catch (const zmq::error_t&) {
        return 0;
    }
}

} // namespace kestavo::publish
