#pragma once

#include <optional>
#include <string>
#include <vector>

#include "networkdriver/access.h"

namespace kestavo::core {

// The access options as both programs take them, with the same rules and the same error texts:
// each --listen an IP address, each --allow NETWORK/BITS, the limits whole numbers (0: none).
struct AccessOptions {
    std::vector<std::string> listen;
    std::vector<std::string> allow;
    int maxClients = 0;
    int maxPerAddress = 0;
};

// An empty text when the option's value is good, else why not.
std::string CheckListenAddress(const std::string& text);
std::string CheckNetwork(const std::string& text);
std::string CheckLimit(const std::string& option, int value);

// The rules the options give; nothing, with why in error, when one of them is bad.
std::optional<networkdriver::AccessRules> MakeAccessRules(const AccessOptions& options, std::string& error);

} // namespace kestavo::core
