#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace networkdriver {

// An IPv4 or IPv6 network. IPv4 networks are held as IPv4-mapped IPv6 ones, so that an IPv4 peer of
// the dual-stack socket (which arrives as ::ffff:a.b.c.d) matches them.
struct Network {
    std::array<std::uint8_t, 16> address{};
    int bits = 0;     // of the 128
    std::string text; // as given
};

// Reads "ADDRESS/BITS" or a lone address (all its bits). On a malformed text, gives nothing and says
// why in error.
std::optional<Network> ParseNetwork(const std::string& text, std::string& error);
bool Contains(const Network& network, const std::array<std::uint8_t, 16>& address);

// Who may connect to a relay, and where it listens.
struct AccessRules {
    std::vector<std::string> listen; // addresses; none: every interface, IPv4 and IPv6
    std::vector<Network> allow;      // none: any peer
    int maxClients = 0;              // connected at once; 0: no limit
    int maxPerAddress = 0;           // connected at once from one address; 0: no limit
    // Told of a refused peer ("::1 50312") and why, at most once a minute for each address, on the
    // library's I/O thread.
    std::function<void(const std::string& peer, const std::string& reason)> refused;

    [[nodiscard]] bool Any() const {
        return !listen.empty() || !allow.empty() || maxClients > 0 || maxPerAddress > 0;
    }
};

// What the rules in force are, in a line ("listening on ::1; allowing 10.0.0.0/8; at most 10 clients,
// 2 from one address").
std::string Describe(const AccessRules& rules);

// The rules for the servers started from now on, in this process. A refused peer is closed at once:
// it is never reported connected, so it has no handle and is never sent a byte.
void SetAccessRules(AccessRules rules);

} // namespace networkdriver
