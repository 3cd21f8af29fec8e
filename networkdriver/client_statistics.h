#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "networkdriver/network_driver.h"

namespace networkdriver {

// What the relay-socket library knows of one client.
struct ClientStatistics {
    NetHandle handle = 0;
    NetHandle server = 0;             // whose client it is
    std::string peer;                 // "address port"
    std::string subject;              // a TLS client's certificate subject, else empty
    std::int64_t connectedSince = 0;  // ms since the epoch
    std::uint64_t bytesSent = 0;      // written to the connection
    std::uint64_t framesSent = 0;     // SendData calls taken that queued a byte or more
    std::uint64_t queuedBytes = 0;    // queued and being written now
    std::uint64_t maxQueuedBytes = 0; // the most at once
    // Why it left, empty while connected: "closed by the peer", "reset", "too slow", "keepalive",
    // "relay stopped" or "released".
    std::string left;
    std::int64_t leftAt = 0; // ms since the epoch
};

// Remembered for each server, and for so many servers at most (the latest started).
inline constexpr std::size_t kClientsRemembered = 100;
inline constexpr std::size_t kServersRemembered = 64;

struct ClientSnapshot {
    std::vector<ClientStatistics> connected;         // in order of connection
    std::vector<ClientStatistics> left;              // the latest kClientsRemembered, oldest first
    std::map<std::string, std::uint64_t> departures; // every client that left since the start, by why
};

// Every connected client of the server and the latest that left (of every server, for 0: the latest
// kClientsRemembered of them all). The send path never waits for it: it takes a mutex of its own and
// each client's lock for a moment.
ClientSnapshot TakeClientSnapshot(NetHandle server = 0);

} // namespace networkdriver
