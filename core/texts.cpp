#include "core/texts.h"

#include "networkdriver/network_driver.h"

namespace kestavo::core::texts {

std::string CannotStartRelay(int port) {
    return "Cannot start the relay server on port " + std::to_string(port) + "!";
}

std::string Access(const std::string& description) {
    return "Access: " + description;
}

std::string ClientConnectedFrom(const std::string& peer) {
    return std::string(kClientConnected) + " " + peer;
}

std::string ClientGone(const std::string& peer, std::uint32_t reason) {
    return "Client gone " + peer + " (" + Departure(reason) + ")";
}

std::string ReaderHeldBack(std::uint64_t nanoseconds) {
    // Rounded up: a wait of a fraction of a millisecond is not said as none.
    return "Reader held back " + std::to_string((nanoseconds + 999'999) / 1'000'000) +
           " ms in the last minute: the clients could not keep up";
}

std::string ClientRefused(const std::string& peer, const std::string& why) {
    return "Client refused: " + peer + " (" + why + ")";
}

const char* Departure(std::uint32_t reason) {
    switch (reason) {
    case kGoneClosed:
        return "closed by the peer";
    case kGoneTooSlow:
        return "too slow";
    case kGoneKeepalive:
        return "keepalive";
    default:
        return "reset";
    }
}

} // namespace kestavo::core::texts
