#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "networkdriver/client_statistics.h"
#include "networkdriver/tls.h"
#include "record/recorder.h"
#include "traces/live_columns.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace kestavo::relayd {

// One of the outputs beside the relay ("nats", "zmq"): samples it sent on and dropped since the start,
// and the last transfer it sent on (opening 0 before the first).
struct OutputCount {
    std::string name;
    std::uint64_t published = 0;
    std::uint64_t dropped = 0;
    std::uint32_t lastOpening = 0;
    std::uint64_t lastTransfer = 0;
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
    int tlsPort = 0;      // 0: no TLS listener
    bool plain = true;    // a plain port beside it
    networkdriver::TlsCounts tls;
    std::uint64_t heldBackTimes = 0; // the reader's waits for the relay's clients, since the start
    std::uint64_t heldBackNs = 0;
    std::optional<record::Recorder::Status> recording; // while it records
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

class LiveFeeds;

// The live plot's query, as GET /live takes it: the dongle by name (the first when none is given),
// the plot's width in columns, its span and the updates a second it wants. Empty error when good, else
// what is wrong, for a 400.
struct LiveQuery {
    std::string dongle;
    int width = 0;
    int spanMs = 10000;
    int rate = 10;
};
inline constexpr int kMostColumns = 4096;
std::string ParseLiveQuery(const std::multimap<std::string, std::string>& parameters, LiveQuery& query);

// One update of a live plot as a server-sent event: the clock's index of its first column, a column's
// time, and each column as [least, greatest] of each trace, or 0 when no sample fell on it.
std::string LiveEvent(const traces::LiveColumns::Update& update, std::int64_t columnNs, std::uint64_t skipped,
                      std::uint64_t overwritten);

// Serves /status and /metrics on a thread of its own, and with live feeds the live plots' /live.
class StatusServer {
public:
    // At most this many live plots at once; the next is answered 503.
    static constexpr int kMostViewers = 32;
    // Connections waiting to be taken.
    static constexpr int kBacklog = 512;

    // Who may read an HTTPS status page: a client with a certificate of the credentials' client CA, or a
    // request bearing the token; anyone else is answered 401.
    struct Security {
        std::shared_ptr<networkdriver::TlsCredentials> credentials; // the client certificate optional
        std::string token;                                          // empty: no token admits
    };

    // With security, it speaks HTTPS only.
    explicit StatusServer(std::function<ServiceState()> state, LiveFeeds* live = nullptr,
                          std::optional<Security> security = std::nullopt);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // False when it cannot listen there.
    bool Start(const std::string& address, int port);

    // A new token, from a SIGHUP (any thread).
    void SetToken(std::string token);

private:
    void ServeLive(const httplib::Request& request, httplib::Response& response);
    [[nodiscard]] bool Admitted(const httplib::Request& request);

    std::function<ServiceState()> state_;
    LiveFeeds* live_;
    std::optional<Security> security_;
    std::mutex tokenMutex_;
    std::atomic<int> viewers_{0};
    std::atomic<bool> stopping_{false}; // live plots end, so that the server's threads can
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

} // namespace kestavo::relayd
