#include "status.h"

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

std::string StatusJson(const ServiceState& state, const networkdriver::ClientSnapshot& clients) {
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
    const nlohmann::json status = {
        {"dongle", {{"device", state.device}, {"open", state.dongleOpen}}},
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
    return status.dump(2) + "\n";
}

std::string MetricsText(const ServiceState& state, const networkdriver::ClientSnapshot& clients) {
    std::string text;
    const auto metric = [&](const char* name, const char* type, const char* help,
                            const std::string& samples) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
    };
    const auto sample = [](const char* name, double value) {
        char line[128];
        std::snprintf(line, sizeof line, "%s %.17g\n", name, value);
        return std::string(line);
    };
    metric("kestavo_transfers_total", "counter", "USB transfers read from the dongle.",
           sample("kestavo_transfers_total", static_cast<double>(state.transfers)));
    metric("kestavo_transfer_errors_total", "counter", "USB reads that timed out or failed.",
           sample("kestavo_transfer_errors_total", static_cast<double>(state.errors)));
    metric("kestavo_frames_relayed_total", "counter", "Sample frames handed to the relay.",
           sample("kestavo_frames_relayed_total", static_cast<double>(state.framesRelayed)));
    metric("kestavo_dongle_open", "gauge", "1 while the dongle is open and read.",
           sample("kestavo_dongle_open", state.dongleOpen ? 1 : 0));
    metric("kestavo_clients", "gauge", "Relay clients connected now.",
           sample("kestavo_clients", static_cast<double>(clients.connected.size())));
    std::uint64_t queued = 0;
    for (const auto& client : clients.connected) {
        queued += client.queuedBytes;
    }
    metric("kestavo_queued_bytes", "gauge", "Bytes queued for the relay's clients now.",
           sample("kestavo_queued_bytes", static_cast<double>(queued)));
    std::string departures;
    for (const char* reason : kReasons) {
        const auto found = clients.departures.find(reason);
        const double count = found == clients.departures.end() ? 0.0 : static_cast<double>(found->second);
        char line[160];
        std::snprintf(line, sizeof line, "kestavo_client_departures_total{reason=\"%s\"} %.17g\n",
                      Label(reason).c_str(), count);
        departures += line;
    }
    metric("kestavo_client_departures_total", "counter", "Relay clients that left, by why.", departures);
    if (!state.outputs.empty()) {
        std::string published;
        std::string dropped;
        for (const OutputCount& output : state.outputs) {
            char line[160];
            std::snprintf(line, sizeof line, "kestavo_output_samples_published_total{output=\"%s\"} %llu\n",
                          output.name.c_str(), static_cast<unsigned long long>(output.published));
            published += line;
            std::snprintf(line, sizeof line, "kestavo_output_samples_dropped_total{output=\"%s\"} %llu\n",
                          output.name.c_str(), static_cast<unsigned long long>(output.dropped));
            dropped += line;
        }
        metric("kestavo_output_samples_published_total", "counter",
               "Transfers' samples an output (NATS, ZeroMQ) sent on.", published);
        metric("kestavo_output_samples_dropped_total", "counter",
               "Transfers' samples an output dropped: overwritten before it could send them, or refused.",
               dropped);
    }
    return text;
}

StatusServer::StatusServer(std::function<ServiceState()> state)
    : state_(std::move(state)), server_(std::make_unique<httplib::Server>()) {
    server_->Get("/status", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(StatusJson(state_(), networkdriver::TakeClientSnapshot()), "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(MetricsText(state_(), networkdriver::TakeClientSnapshot()),
                             "text/plain; version=0.0.4");
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
