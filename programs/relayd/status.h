#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "networkdriver/client_statistics.h"

namespace httplib {
class Server;
}

namespace kestavo::relayd {

// One of the outputs beside the relay ("nats", "zmq"): samples it sent on and dropped since the start.
struct OutputCount {
    std::string name;
    std::uint64_t published = 0;
    std::uint64_t dropped = 0;
};

// What the service's main loop publishes every tick for one dongle, for its status page.
struct DongleState {
    std::string name = "default";
    std::string device; // as given: "04d2:162e"
    bool dongleOpen = false;
    std::string problem; // why it is not served as it should be (its relay port in use, say); empty if none
    std::int64_t transfers = 0; // since the start
    std::int64_t errors = 0;
    double transfersPerSecond = 0; // over the latest tick
    std::uint64_t framesRelayed = 0;
    double framesPerSecond = 0;
    int port = 0;
    bool relayRunning = false;
    NetHandle server = 0; // the relay's, while it runs
    std::vector<OutputCount> outputs;
};

struct ServiceState {
    std::vector<DongleState> dongles; // in the configuration's order
};

// Each dongle's relay clients, in the same order.
using ClientSnapshots = std::vector<networkdriver::ClientSnapshot>;
ClientSnapshots TakeSnapshots(const ServiceState& state);

// GET /status: the service, its dongles and every client as JSON (the fields are documented in the
// README).
std::string StatusJson(const ServiceState& state, const ClientSnapshots& clients);
// GET /metrics: the same in Prometheus's text format, every name starting "kestavo_", every series
// labelled with its dongle.
std::string MetricsText(const ServiceState& state, const ClientSnapshots& clients);

// Serves /status and /metrics on a thread of its own.
class StatusServer {
public:
    explicit StatusServer(std::function<ServiceState()> state);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // False when it cannot listen there.
    bool Start(const std::string& address, int port);

private:
    std::function<ServiceState()> state_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

} // namespace kestavo::relayd
