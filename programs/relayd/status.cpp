#include "status.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <thread>

#include "core/access_options.h"
#include "live.h"

namespace kestavo::relayd {
namespace page {
extern const char kIndexHtml[];
extern const char kPageCss[];
extern const char kPageJs[];
} // namespace page
namespace {

// The page loads nothing from anywhere but this service, and nothing may frame it.
constexpr char kPagePolicy[] = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                               "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

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
    if (!client.subject.empty()) {
        json["subject"] = client.subject;
    }
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
        nlohmann::json last = nullptr;
        if (output.lastOpening > 0) {
            last = {{"opening", output.lastOpening}, {"transfer", output.lastTransfer}};
        }
        outputs.push_back({{"name", output.name},
                           {"published", output.published},
                           {"dropped", output.dropped},
                           {"lastSent", last}});
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
              {"departures", clients.departures},
              {"readerHeldBack",
               {{"times", state.heldBackTimes}, {"seconds", static_cast<double>(state.heldBackNs) / 1e9}}}}},
            {"recording", state.recording
                              ? nlohmann::json{{"state", state.recording->state},
                                               {"problem", state.recording->problem},
                                               {"file", state.recording->file},
                                               {"bytesWritten", state.recording->bytesWritten},
                                               {"samplesDropped", state.recording->samplesDropped},
                                               {"recordings", state.recording->recordings}}
                              : nlohmann::json(nullptr)},
            {"tls", state.tlsPort > 0 ? nlohmann::json{{"port", state.tlsPort},
                                                       {"plain", state.plain},
                                                       {"admitted", state.tls.admitted},
                                                       {"refused", state.tls.refused},
                                                       {"timedOut", state.tls.timedOut}}
                                      : nlohmann::json(nullptr)},
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
    metric("kestavo_reader_held_seconds_total", "counter",
           "Time the reader waited for relay clients that could not keep up; the dongle's samples may be "
           "lost meanwhile.",
           [](const DongleState& d, const Clients&, auto put) {
               put("", static_cast<double>(d.heldBackNs) / 1e9);
           });
    metric("kestavo_reader_held_total", "counter", "Times the reader waited for relay clients.",
           [](const DongleState& d, const Clients&, auto put) {
               put("", static_cast<double>(d.heldBackTimes));
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
    const bool anyRecording = std::any_of(state.dongles.begin(), state.dongles.end(),
                                          [](const DongleState& d) { return d.recording.has_value(); });
    if (anyRecording) {
        metric("kestavo_recording", "gauge",
               "1 while the dongle's samples are being recorded, 0 while waiting.",
               [](const DongleState& d, const Clients&, auto put) {
                   if (d.recording) {
                       put("", d.recording->state == "recording" ? 1 : 0);
                   }
               });
        metric("kestavo_recording_bytes_total", "counter", "Bytes of samples written into recordings.",
               [](const DongleState& d, const Clients&, auto put) {
                   if (d.recording) {
                       put("", static_cast<double>(d.recording->bytesWritten));
                   }
               });
        metric("kestavo_recording_samples_dropped_total", "counter",
               "Transfers' samples the recording could not keep (too slow, or the disk failing).",
               [](const DongleState& d, const Clients&, auto put) {
                   if (d.recording) {
                       put("", static_cast<double>(d.recording->samplesDropped));
                   }
               });
    }
    const bool anyTls = std::any_of(state.dongles.begin(), state.dongles.end(),
                                    [](const DongleState& d) { return d.tlsPort > 0; });
    if (anyTls) {
        metric("kestavo_tls_handshakes_total", "counter",
               "TLS handshakes on the relay's TLS port, by how they ended.",
               [](const DongleState& d, const Clients&, auto put) {
                   if (d.tlsPort > 0) {
                       put("result=\"admitted\"", static_cast<double>(d.tls.admitted));
                       put("result=\"refused\"", static_cast<double>(d.tls.refused));
                       put("result=\"timed out\"", static_cast<double>(d.tls.timedOut));
                   }
               });
    }
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
        metric("kestavo_output_last_transfer", "gauge",
               "The number of the last transfer an output sent on, counted from 0 at each opening of the "
               "dongle (kestavo_output_opening).",
               [](const DongleState& d, const Clients&, auto put) {
                   for (const OutputCount& output : d.outputs) {
                       put("output=\"" + Label(output.name) + "\"", static_cast<double>(output.lastTransfer));
                   }
               });
        metric("kestavo_output_opening", "gauge",
               "Which opening of the dongle the last transfer an output sent on came from (0: none yet).",
               [](const DongleState& d, const Clients&, auto put) {
                   for (const OutputCount& output : d.outputs) {
                       put("output=\"" + Label(output.name) + "\"", static_cast<double>(output.lastOpening));
                   }
               });
    }
    return text;
}

std::string ParseLiveQuery(const std::multimap<std::string, std::string>& parameters, LiveQuery& query) {
    const auto number = [&](const char* name, int low, int high, int& out, bool required) -> std::string {
        const auto found = parameters.find(name);
        if (found == parameters.end()) {
            return required ? std::string(name) + " is missing: a whole number from " + std::to_string(low) +
                                  " to " + std::to_string(high)
                            : std::string();
        }
        const std::string& text = found->second;
        char* end = nullptr;
        const long value = text.size() > 9 ? -1 : std::strtol(text.c_str(), &end, 10);
        if (text.empty() || end == nullptr || *end != '\0' || value < low || value > high) {
            return std::string(name) + ": '" + text.substr(0, 32) + "' is not a whole number from " +
                   std::to_string(low) + " to " + std::to_string(high);
        }
        out = static_cast<int>(value);
        return {};
    };
    if (const auto found = parameters.find("dongle"); found != parameters.end()) {
        query.dongle = found->second;
    }
    for (const std::string& error :
         {number("width", 1, kMostColumns, query.width, true),
          number("span", 100, 60000, query.spanMs, false), number("rate", 1, 20, query.rate, false)}) {
        if (!error.empty()) {
            return error;
        }
    }
    return {};
}

std::string LiveEvent(const traces::LiveColumns::Update& update, std::int64_t columnNs, std::uint64_t skipped,
                      std::uint64_t overwritten) {
    std::string text = "data: {\"first\":" + std::to_string(update.first) +
                       ",\"columnNs\":" + std::to_string(columnNs) +
                       ",\"skipped\":" + std::to_string(skipped) +
                       ",\"overwritten\":" + std::to_string(overwritten) + ",\"columns\":[";
    for (std::size_t i = 0; i < update.columns.size(); ++i) {
        const traces::Column& column = update.columns[i];
        text += i == 0 ? "" : ",";
        if (!column.any) {
            text += "0";
            continue;
        }
        text += "[";
        for (std::size_t trace = 0; trace < traces::kTraces; ++trace) {
            text += (trace == 0 ? "" : ",") + std::to_string(column.least[trace]) + "," +
                    std::to_string(column.greatest[trace]);
        }
        text += "]";
    }
    return text + "]}\n\n";
}

void StatusServer::ServeLive(const httplib::Request& request, httplib::Response& response) {
    LiveQuery query;
    std::string error = ParseLiveQuery(request.params, query);
    const ServiceState state = state_();
    std::size_t index = 0;
    if (error.empty() && !query.dongle.empty()) {
        const auto found = std::find_if(state.dongles.begin(), state.dongles.end(),
                                        [&](const DongleState& d) { return d.name == query.dongle; });
        if (found == state.dongles.end()) {
            error = "dongle: no dongle is named '" + query.dongle.substr(0, 64) + "'";
        }
        index = static_cast<std::size_t>(found - state.dongles.begin());
    }
    if (!error.empty()) {
        response.status = 400;
        response.set_content(error + "\n", "text/plain");
        return;
    }
    if (viewers_.fetch_add(1) >= kMostViewers) {
        viewers_.fetch_sub(1);
        response.status = 503;
        response.set_header("Retry-After", "5");
        response.set_content("Too many live plots at once (" + std::to_string(kMostViewers) +
                                 "); try again later\n",
                             "text/plain");
        return;
    }
    live_->Watch(index);
    struct Viewer {
        explicit Viewer(const LiveQuery& query)
            : columns(query.width, std::int64_t{query.spanMs} * 1'000'000),
              period(std::chrono::milliseconds(1000 / query.rate)) {}
        traces::LiveColumns columns;
        std::chrono::steady_clock::duration period;
        std::chrono::steady_clock::time_point due{};
        std::uint64_t skipped = 0;
    };
    auto viewer = std::make_shared<Viewer>(query);
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, viewer, index](std::size_t, httplib::DataSink& sink) {
            if (stopping_) {
                return false;
            }
            const auto now = std::chrono::steady_clock::now();
            if (viewer->due != std::chrono::steady_clock::time_point{}) {
                if (now < viewer->due) {
                    std::this_thread::sleep_for(viewer->due - now);
                } else if (now - viewer->due > viewer->period) {
                    // The viewer took longer than its updates come: those it missed are said.
                    viewer->skipped += static_cast<std::uint64_t>((now - viewer->due) / viewer->period);
                }
            }
            viewer->due = std::max(now, viewer->due) + viewer->period;
            std::uint64_t overwritten = 0;
            const auto update = live_->Next(index, viewer->columns, overwritten);
            const std::string event =
                LiveEvent(update, viewer->columns.ColumnNs(), viewer->skipped, overwritten);
            return sink.write(event.data(), event.size());
        },
        [this, index](bool) {
            live_->Unwatch(index);
            viewers_.fetch_sub(1);
        });
}

namespace {

// The connection's context is switched to the credentials' latest at each handshake, so that a reload
// reaches new connections while those open keep theirs. Called at every handshake, with or without a
// server name.
int TakeLatestCredentials(SSL* ssl, int* /*alert*/, void* credentials) {
    const std::shared_ptr<SSL_CTX> latest =
        static_cast<networkdriver::TlsCredentials*>(credentials)->Current();
    SSL_set_SSL_CTX(ssl, latest.get());
    return SSL_TLSEXT_ERR_OK;
}

std::unique_ptr<httplib::Server> MakeServer(const std::optional<StatusServer::Security>& security) {
    if (!security) {
        return std::make_unique<httplib::Server>();
    }
    networkdriver::TlsCredentials* credentials = security->credentials.get();
    return std::make_unique<httplib::SSLServer>([credentials](SSL_CTX& context) {
        std::string error;
        if (!networkdriver::TlsCredentials::Configure(&context, credentials->Files(), true, error)) {
            return false;
        }
        SSL_CTX_set_tlsext_servername_callback(&context, TakeLatestCredentials);
        SSL_CTX_set_tlsext_servername_arg(&context, credentials);
        return true;
    });
}

// Whether two texts are equal, in a time that does not tell how much of them was.
bool SameSecret(const std::string& given, const std::string& secret) {
    return given.size() == secret.size() && CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

} // namespace

bool StatusServer::Admitted(const httplib::Request& request) {
    if (!security_) {
        return true;
    }
    if (request.ssl != nullptr && security_->credentials->AsksForClientCertificates() &&
        SSL_get0_peer_certificate(request.ssl) != nullptr &&
        SSL_get_verify_result(request.ssl) == X509_V_OK) {
        return true;
    }
    std::lock_guard lock(tokenMutex_);
    return !security_->token.empty() &&
           SameSecret(request.get_header_value("Authorization"), "Bearer " + security_->token);
}

void StatusServer::SetToken(std::string token) {
    std::lock_guard lock(tokenMutex_);
    if (security_) {
        security_->token = std::move(token);
    }
}

StatusServer::StatusServer(std::function<ServiceState()> state, LiveFeeds* live,
                           std::optional<Security> security)
    : state_(std::move(state)), live_(live), security_(std::move(security)), server_(MakeServer(security_)) {
    if (security_) {
        server_->set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response& response) {
                if (Admitted(request)) {
                    return httplib::Server::HandlerResponse::Unhandled;
                }
                response.status = 401;
                response.set_header("WWW-Authenticate", "Bearer realm=\"kestavo\"");
                response.set_content("401 A client certificate or a bearer token is needed\n", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            });
    }
    // Each live plot holds a thread for as long as it watches; the others answer everything else.
    server_->new_task_queue = [] {
        return new httplib::ThreadPool(kMostViewers + 8);
    };
    // A request a connection: a thread never waits on an idle one, so a crowd of viewers turned away
    // cannot keep the status from being answered. The page asks every half second; that is cheap.
    server_->set_keep_alive_max_count(1);
    server_->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            response.set_content(std::to_string(response.status) +
                                     (response.status == 404 ? " Not found" : "") + "\n",
                                 "text/plain");
        }
    });
    if (live_ != nullptr) {
        server_->Get("/live", [this](const httplib::Request& request, httplib::Response& response) {
            ServeLive(request, response);
        });
        const auto file = [this](const char* path, const char* content, const char* type) {
            server_->Get(path, [content, type](const httplib::Request&, httplib::Response& response) {
                response.set_header("Content-Security-Policy", kPagePolicy);
                response.set_header("X-Content-Type-Options", "nosniff");
                response.set_header("Cache-Control", "no-cache");
                response.set_content(content, type);
            });
        };
        file("/", page::kIndexHtml, "text/html; charset=utf-8");
        file("/page.css", page::kPageCss, "text/css; charset=utf-8");
        file("/page.js", page::kPageJs, "text/javascript; charset=utf-8");
    }
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
    stopping_ = true;
    server_->stop();
    if (live_ != nullptr) {
        live_->Stop(); // a live plot's next wait ends at once
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool StatusServer::Start(const std::string& address, int port) {
    // The library listens with a backlog of 5: a crowd of viewers at once (or scrapers) would have its
    // connections dropped and retried a second later. The socket is taken as it is made, and listened
    // on again with room for them.
    int listening = -1;
    server_->set_socket_options([&listening](int socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = socket;
    });
    if (!server_->is_valid() || !server_->bind_to_port(address, port)) {
        return false;
    }
    if (listening >= 0) {
        ::listen(listening, kBacklog);
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

} // namespace kestavo::relayd
