#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/tls_options.h"
#include "networkdriver/thread_annotations.h"
#include "relay/client_table.h"

namespace kestavo::core {

using LogFn = std::function<void(const std::string&)>;

// The kernel buffers of each client connection, in bytes, handed to the relay-socket library at start.
inline constexpr std::int32_t kRelaySocketBufferSize = 65500;

// One of the relay-socket library's three events: data from a client, a client connected (value: the
// client's own port), a client gone (value: why, a GoneReason).
struct RelayEvent {
    enum class Kind { Data, Connected, Gone };
    Kind kind;
    NetHandle client;
    std::uint32_t value;
};

// The relay server: the client table over the relay-socket library, and the one place that starts the
// library's servers and receives their callbacks. Several may run in a process (one per dongle): the
// library's callbacks are plain functions, and find the server of each client through a process-wide
// map.
//
// By default an event is handled on the library's thread as it comes. A host that must handle it on a
// thread of its own (the window, on its window thread) gives a dispatch that carries the event there,
// waits until it is handled, and there calls Handle.
class RelayServer {
public:
    using Dispatch = std::function<void(const RelayEvent&)>;

    // log: the service's lines, naming each client ("Client connected ::1 50312"); none for the window,
    // which words its own.
    explicit RelayServer(LogFn log = {}, Dispatch dispatch = {});
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Listens on the port, every interface, IPv4 and IPv6. False when the port cannot be listened on
    // (texts::CannotStartRelay words it), or TLS is asked for and its files cannot be read (TlsProblem
    // says why).
    bool Start(int port, const std::string& ownAddress = {});

    // A TLS listener beside the plain one (or instead of it), from the next start on. Its files are
    // read again at each start; a start whose files fail keeps those it had, if it had any.
    void UseTls(TlsOptions options) { tls_ = std::move(options); }
    [[nodiscard]] const TlsOptions& Tls() const { return tls_; }
    // Reads the files again for the handshakes that follow; the clients connected stay. False, with
    // why, when they fail to load: the old ones are kept.
    bool ReloadTls(std::string& error);
    // Why the last start could not read the TLS files, or empty.
    [[nodiscard]] const std::string& TlsProblem() const { return tlsProblem_; }
    [[nodiscard]] networkdriver::TlsCounts TlsCounts() const;
    // How often and how long the sender (the reader) was made to wait for the clients, over every start
    // of the server. The host's thread.
    [[nodiscard]] networkdriver::HeldBack HeldBack() const;
    // Every client receives the stop frame, then the server and every client are released.
    void Stop();
    [[nodiscard]] bool Running() const { return table_.Running(); }

    // What an event does to the table. Connected enters the client (false when the server had stopped);
    // Gone takes it out (false when it was not there); Data takes what it sent and drops it.
    bool Handle(const RelayEvent& event);

    relay::ClientTable& Table() { return table_; }
    [[nodiscard]] const relay::ClientTable& Table() const { return table_; }
    // The clients that went away since the server was made, for any reason.
    [[nodiscard]] std::uint64_t GoneCount() const { return gone_.load(); }

private:
    static bool OnData(NetHandle client);
    static bool OnGone(NetHandle client, std::uint32_t reason);
    static bool OnConnected(std::int32_t port, NetHandle client);
    static void Route(const RelayEvent& event);

    LogFn log_;
    Dispatch dispatch_;
    TlsOptions tls_;
    std::shared_ptr<networkdriver::TlsCredentials> credentials_;
    std::string tlsProblem_;
    relay::ClientTable table_;
    networkdriver::Mutex peersMutex_;
    // Each connected client's address, for the line when it goes.
    std::map<NetHandle, std::string> peers_ GUARDED_BY(peersMutex_);
    std::atomic<std::uint64_t> gone_{0};
    networkdriver::HeldBack heldBefore_; // by the servers stopped since
};

} // namespace kestavo::core
