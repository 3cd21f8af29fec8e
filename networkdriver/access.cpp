#include "networkdriver/access.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

namespace networkdriver {

std::optional<Network> ParseNetwork(const std::string& text, std::string& error) {
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    Network network;
    network.text = text;
    int maximum = 128;
    if (in_addr v4{}; ::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        network.address[10] = network.address[11] = 0xFF;
        std::memcpy(network.address.data() + 12, &v4, 4);
        maximum = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), network.address.data()) != 1) {
        error = "'" + text + "' is not NETWORK/BITS (an IPv4 or IPv6 address, then / and a prefix length)";
        return std::nullopt;
    }
    int bits = maximum;
    if (slash != std::string::npos) {
        const std::string length = text.substr(slash + 1);
        char* end = nullptr;
        const long parsed = std::strtol(length.c_str(), &end, 10);
        if (length.empty() || *end != '\0' || length[0] == '-' || length[0] == '+' || parsed > maximum) {
            error = "'" + text + "' has a prefix length that is not 0 to " + std::to_string(maximum);
            return std::nullopt;
        }
        bits = static_cast<int>(parsed);
    }
    network.bits = bits + (maximum == 32 ? 96 : 0);
    return network;
}

bool Contains(const Network& network, const std::array<std::uint8_t, 16>& address) {
    int left = network.bits;
    for (std::size_t i = 0; i < 16 && left > 0; ++i, left -= 8) {
        const auto mask = static_cast<std::uint8_t>(left >= 8 ? 0xFF : 0xFF << (8 - left));
        if ((network.address[i] & mask) != (address[i] & mask)) {
            return false;
        }
    }
    return true;
}

std::string Describe(const AccessRules& rules) {
    std::vector<std::string> parts;
    const auto list = [](const std::vector<std::string>& items) {
        std::string joined;
        for (const std::string& item : items) {
            joined += (joined.empty() ? "" : ", ") + item;
        }
        return joined;
    };
    if (!rules.listen.empty()) {
        parts.push_back("listening on " + list(rules.listen));
    }
    if (!rules.allow.empty()) {
        std::vector<std::string> networks;
        for (const Network& network : rules.allow) {
            networks.push_back(network.text);
        }
        parts.push_back("allowing " + list(networks));
    }
    if (rules.maxClients > 0) {
        parts.push_back("at most " + std::to_string(rules.maxClients) + " clients");
    }
    if (rules.maxPerAddress > 0) {
        parts.push_back("at most " + std::to_string(rules.maxPerAddress) + " from one address");
    }
    std::string line;
    for (const std::string& part : parts) {
        line += (line.empty() ? "" : "; ") + part;
    }
    return line;
}

} // namespace networkdriver
