#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "core/dongle.h"
#include "relay/client_table.h"

namespace kestavo::core {

// The relay without a window: the client table over the relay-socket library, whose callbacks enter
// and remove clients directly and name each in the log. One at a time in a process: the library's
// callbacks are plain functions and find it through a process-wide pointer.
class RelayHost {
public:
    explicit RelayHost(LogFn log);
    ~RelayHost();
    RelayHost(const RelayHost&) = delete;
    RelayHost& operator=(const RelayHost&) = delete;

    // Listens on the port, every interface, IPv4 and IPv6; says "Network started". False, with a
    // line saying why, when the port cannot be listened on.
    bool Start(int port);
    // Every client receives the stop frame, then everything is released; says "Network stopped".
    void Stop();

    relay::ClientTable& Table() { return table_; }
    // The clients that went away since the host was made, for any reason.
    [[nodiscard]] std::uint64_t GoneCount() const { return gone_.load(); }

private:
    static bool OnData(NetHandle client);
    static bool OnGone(NetHandle client, std::uint32_t reason);
    static bool OnConnected(std::int32_t port, NetHandle client);

    LogFn log_;
    relay::ClientTable table_;
    std::mutex peersMutex_;
    std::map<NetHandle, std::string> peers_; // each connected client's address, for the line when it goes
    std::atomic<std::uint64_t> gone_{0};
};

} // namespace kestavo::core
