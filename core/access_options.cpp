#include "core/access_options.h"

#include <arpa/inet.h>

namespace kestavo::core {

std::string CheckListenAddress(const std::string& text) {
    unsigned char address[16];
    if (::inet_pton(AF_INET, text.c_str(), address) == 1 ||
        ::inet_pton(AF_INET6, text.c_str(), address) == 1) {
        return {};
    }
    return "'" + text + "' is not an IPv4 or IPv6 address to listen on";
}

std::string CheckNetwork(const std::string& text) {
    std::string error;
    return networkdriver::ParseNetwork(text, error) ? std::string() : error;
}

std::string CheckLimit(const std::string& option, int value) {
    return value < 0 ? option + " takes a whole number from 0 (no limit), not " + std::to_string(value)
                     : std::string();
}

std::optional<networkdriver::AccessRules> MakeAccessRules(const AccessOptions& options, std::string& error) {
    networkdriver::AccessRules rules;
    for (const std::string& address : options.listen) {
        if (error = CheckListenAddress(address); !error.empty()) {
            return std::nullopt;
        }
        rules.listen.push_back(address);
    }
    for (const std::string& text : options.allow) {
        const auto network = networkdriver::ParseNetwork(text, error);
        if (!network) {
            return std::nullopt;
        }
        rules.allow.push_back(*network);
    }
    if (error = CheckLimit("--max-clients", options.maxClients); !error.empty()) {
        return std::nullopt;
    }
    if (error = CheckLimit("--max-per-address", options.maxPerAddress); !error.empty()) {
        return std::nullopt;
    }
    rules.maxClients = options.maxClients;
    rules.maxPerAddress = options.maxPerAddress;
    return rules;
}

} // namespace kestavo::core
