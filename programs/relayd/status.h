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

// What the service's main loop publishes every tick, for its status page.
struct ServiceState {
    std::string device; // as given: "04d2:162e"
    bool dongleOpen = false;
    std::int64_t transfers = 0; // since the start
    std::int64_t errors = 0;
    double transfersPerSecond = 0; // over the latest tick
    std::uint64_t framesRelayed = 0;
    double framesPerSecond = 0;
    int port = 0;
    bool relayRunning = false;
    std::vector<OutputCount> outputs;
};

// GET /status: the service and every client as JSON (the fields are documented in the README).
std::string StatusJson(const ServiceState& state, const networkdriver::ClientSnapshot& clients);
// GET /metrics: the same in Prometheus's text format, every name starting "kestavo_".
std::string MetricsText(const ServiceState& state, const networkdriver::ClientSnapshot& clients);

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
