#include "status.h"

#include <algorithm>
#include <cstdlib>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/access_options.h"

namespace kestavo::relayd {
namespace {

// Every reason a client can leave for, so that each counter exists from the start.
constexpr const char* kReasons[] = {"closed by the peer", "reset",         "too slow",
                                    "keepalive",          "relay stopped", "released"};

nlohmann::json Client(const networkdriver::ClientStatistics& client) {
    nlohmann::json json = {{"handle", client.handle},
                           {"peer", client.peer},
                           {"connectedSince", client.connectedSince},
                           {"bytesSent", client.bytesSent},
                           {"framesSent", client.framesSent},
                           {"queuedBytes", client.queuedBytes},
                           {"maxQueuedBytes", client.maxQueuedBytes}};
    if (!client.left.empty()) {
        json["left"] = client.left;
        json["leftAt"] = client.leftAt;
    }
    return json;
}

std::string Label(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
        }
        escaped += c == '\n' ? 'n' : c;
    }
    return escaped;
}

} // namespace

ClientSnapshots TakeSnapshots(const ServiceState& state) {
    ClientSnapshots snapshots;
    for (const DongleState& dongle : state.dongles) {
        // A relay that does not run has no clients (a snapshot of server 0 would be every server's).
        snapshots.push_back(dongle.server != 0 ? networkdriver::TakeClientSnapshot(dongle.server)
                                               : networkdriver::ClientSnapshot{});
    }
    return snapshots;
}

namespace {

nlohmann::json DongleJson(const DongleState& state, const networkdriver::ClientSnapshot& clients) {
    nlohmann::json connected = nlohmann::json::array();
    for (const auto& client : clients.connected) {
        connected.push_back(Client(client));
    }
    nlohmann::json left = nlohmann::json::array();
    for (const auto& client : clients.left) {
        left.push_back(Client(client));
    }
    nlohmann::json outputs = nlohmann::json::array();
    for (const OutputCount& output : state.outputs) {
        outputs.push_back(
            {{"name", output.name}, {"published", output.published}, {"dropped", output.dropped}});
    }
    nlohmann::json dongle = {{"device", state.device}, {"open", state.dongleOpen}};
    if (!state.problem.empty()) {
        dongle["problem"] = state.problem;
    }
    return {{"name", state.name},
            {"dongle", dongle},
            {"transfers", state.transfers},
            {"errors", state.errors},
            {"rates",
             {{"transfersPerSecond", state.transfersPerSecond}, {"framesPerSecond", state.framesPerSecond}}},
            {"relay",
             {{"port", state.port},
              {"running", state.relayRunning},
              {"framesRelayed", state.framesRelayed},
              {"clients", clients.connected.size()},
              {"departures", clients.departures}}},
            {"clients", connected},
            {"clientsLeft", left},
            {"outputs", outputs}};
}

} // namespace

std::string StatusJson(const ServiceState& state, const ClientSnapshots& clients) {
    nlohmann::json dongles = nlohmann::json::array();
    for (std::size_t i = 0; i < state.dongles.size(); ++i) {
        dongles.push_back(DongleJson(state.dongles[i], clients.at(i)));
    }
    // The first dongle's figures stay at the top, where a reader of a one-dongle service finds them.
    nlohmann::json status = dongles.empty() ? nlohmann::json::object() : dongles[0];
    status.erase("name");
    status["dongles"] = dongles;
    return status.dump(2) + "\n";
}

std::string MetricsText(const ServiceState& state, const ClientSnapshots& clients) {
    std::string text;
    // Every series of one metric together, a line for each dongle (and each of its other labels).
    const auto metric = [&](const char* name, const char* type, const char* help, const auto& each) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (std::size_t i = 0; i < state.dongles.size(); ++i) {
            const std::string dongle = "dongle=\"" + Label(state.dongles[i].name) + "\"";
            each(state.dongles[i], clients.at(i), [&](const std::string& labels, double value) {
                char number[64];
                std::snprintf(number, sizeof number, "%.17g", value);
                text += std::string(name) + "{" + dongle + (labels.empty() ? "" : "," + labels) + "} " +
                        number + "\n";
            });
        }
    };
    using Clients = networkdriver::ClientSnapshot;
    metric("kestavo_transfers_total", "counter", "USB transfers read from the dongle.",
           [](const DongleState& d, const Clients&, auto put) { put("", static_cast<double>(d.transfers)); });
    metric("kestavo_transfer_errors_total", "counter", "USB reads that timed out or failed.",
           [](const DongleState& d, const Clients&, auto put) { put("", static_cast<double>(d.errors)); });
    metric("kestavo_frames_relayed_total", "counter", "Sample frames handed to the relay.",
           [](const DongleState& d, const Clients&, auto put) {
               put("", static_cast<double>(d.framesRelayed));
           });
    metric("kestavo_dongle_open", "gauge", "1 while the dongle is open and read.",
           [](const DongleState& d, const Clients&, auto put) { put("", d.dongleOpen ? 1 : 0); });
    metric("kestavo_relay_running", "gauge", "1 while the dongle's relay listens on its port.",
           [](const DongleState& d, const Clients&, auto put) { put("", d.relayRunning ? 1 : 0); });
    metric("kestavo_clients", "gauge", "Relay clients connected now.",
           [](const DongleState&, const Clients& c, auto put) {
               put("", static_cast<double>(c.connected.size()));
           });
    metric("kestavo_queued_bytes", "gauge", "Bytes queued for the relay's clients now.",
           [](const DongleState&, const Clients& c, auto put) {
               std::uint64_t queued = 0;
               for (const auto& client : c.connected) {
                   queued += client.queuedBytes;
               }
               put("", static_cast<double>(queued));
           });
    metric("kestavo_client_departures_total", "counter", "Relay clients that left, by why.",
           [](const DongleState&, const Clients& c, auto put) {
               for (const char* reason : kReasons) {
                   const auto found = c.departures.find(reason);
                   put("reason=\"" + Label(reason) + "\"",
                       found == c.departures.end() ? 0.0 : static_cast<double>(found->second));
               }
           });
    const bool anyOutputs = std::any_of(state.dongles.begin(), state.dongles.end(),
                                        [](const DongleState& d) { return !d.outputs.empty(); });
    if (anyOutputs) {
        metric("kestavo_output_samples_published_total", "counter",
               "Transfers' samples an output (NATS, ZeroMQ) sent on.",
               [](const DongleState& d, const Clients&, auto put) {
                   for (const OutputCount& output : d.outputs) {
                       put("output=\"" + Label(output.name) + "\"", static_cast<double>(output.published));
                   }
               });
        metric("kestavo_output_samples_dropped_total", "counter",
               "Transfers' samples an output dropped: overwritten before it could send them, or refused.",
               [](const DongleState& d, const Clients&, auto put) {
                   for (const OutputCount& output : d.outputs) {
                       put("output=\"" + Label(output.name) + "\"", static_cast<double>(output.dropped));
                   }
               });
    }
    return text;
}

StatusServer::StatusServer(std::function<ServiceState()> state)
    : state_(std::move(state)), server_(std::make_unique<httplib::Server>()) {
    server_->Get("/status", [this](const httplib::Request&, httplib::Response& response) {
        const ServiceState state = state_();
        response.set_content(StatusJson(state, TakeSnapshots(state)), "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        const ServiceState state = state_();
        response.set_content(MetricsText(state, TakeSnapshots(state)), "text/plain; version=0.0.4");
    });
}

StatusServer::~StatusServer() {
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool StatusServer::Start(const std::string& address, int port) {
    if (!server_->bind_to_port(address, port)) {
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

} // namespace kestavo::relayd
