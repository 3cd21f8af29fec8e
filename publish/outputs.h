#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/frames.h"
#include "publish/output.h"

namespace kestavo::publish {

class NatsOutput;
class ZmqOutput;

// The outputs beside the relay, as both programs take them from their command lines.
struct OutputOptions {
    std::vector<std::string> nats; // server URLs; none: no NATS output
    std::string natsSubject;       // the subjects' base; empty: named after the dongle
    std::string zmq;               // the PUB socket's endpoint; empty: no ZeroMQ output
    bool zmqHeader = false;        // each ZeroMQ message led by a part saying which transfers follow
    std::size_t largestBatch = 64; // frames (NATS) or samples (ZeroMQ) in one message at most

    [[nodiscard]] bool Any() const { return !nats.empty() || !zmq.empty(); }
};

// Checks of option values both programs share: empty when fine, else why not.
// "nats://host:port[,nats://host:port…]" (the scheme may be left out: nats:// is assumed).
std::string CheckNatsServers(const std::string& text);
// A subject base: tokens of letters, digits, '-' and '_', separated by single dots.
std::string CheckNatsSubject(const std::string& text);
// "tcp://ADDRESS:PORT", "ipc://PATH" or "inproc://NAME".
std::string CheckZmqEndpoint(const std::string& text);
// The servers of a --nats value, the scheme added where it was left out.
std::vector<std::string> SplitNatsServers(const std::string& text);

// "kestavo.<token>", every character a subject may not hold replaced by '_'; the token is the dongle's
// serial number, else its ids as VVVV_PPPP.
std::string SubjectBase(const std::string& serial, std::uint16_t vendor, std::uint16_t product);

// The outputs in force: each starts at once and keeps trying by itself; the reader offers each
// transfer to all of them and never waits.
class Outputs {
public:
    Outputs(const OutputOptions& options, const std::string& subjectBase, LogFn log);
    ~Outputs();
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;

    // An output that could not even start (a bad URL, an endpoint in use), or empty.
    [[nodiscard]] const std::string& Error() const { return error_; }

    // The reader thread.
    void Offer(const frames::StampedSample& sample);

    // "NATS 1234 published, 0 dropped; ZeroMQ …", for the summaries in the log.
    [[nodiscard]] std::string Summary() const;

    struct Count {
        const char* name; // "nats", "zmq"
        std::uint64_t published;
        std::uint64_t dropped;
        Output::Last last; // the last transfer sent on
    };
    // Each output in force, as the status page names it.
    [[nodiscard]] std::vector<Count> Counts() const;
    [[nodiscard]] const NatsOutput* Nats() const { return nats_.get(); }
    [[nodiscard]] const ZmqOutput* Zmq() const { return zmq_.get(); }

private:
    std::string error_;
    std::unique_ptr<NatsOutput> nats_;
    std::unique_ptr<ZmqOutput> zmq_;
};

} // namespace kestavo::publish
