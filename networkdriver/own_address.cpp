#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>

#include "networkdriver/network_driver.h"

namespace {

std::string FirstExternalIpv4Address() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    std::string found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        in_addr address{};
        std::memcpy(&address, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr,
                    sizeof address);
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address, text, sizeof text) != nullptr) {
            found = text;
            break;
        }
    }
    freeifaddrs(list);
    return found;
}

} // namespace

void GetOwnAddrString(char* buffer, int size) {
    if (buffer == nullptr || size < 1) {
        return;
    }
    std::string address = FirstExternalIpv4Address();
    if (address.empty()) {
        address = "127.0.0.1";
    }
    const std::size_t length = std::min(address.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, address.data(), length);
    buffer[length] = '\0';
}
