#pragma once

#include <cstdint>
#include <string>

// Every line the core says about its events, in one place, so that the window, the service and the
// status page word an event the same way. Where the window has its own text, it is the one here.
namespace kestavo::core::texts {

inline constexpr char kNetworkStarted[] = "Network started";
inline constexpr char kNetworkStopped[] = "Network stopped";
// The window's line: it names no peer.
inline constexpr char kClientConnected[] = "Client connected";

// "Cannot start the relay server on port 9001!"
std::string CannotStartRelay(int port);
// "Access: only 127.0.0.0/8", the access rules in force in words.
std::string Access(const std::string& description);
// "Client connected ::1 50312"
std::string ClientConnectedFrom(const std::string& peer);
// "Client gone ::1 50312 (too slow)"
std::string ClientGone(const std::string& peer, std::uint32_t reason);
// "Client refused: ::1 (not allowed)"
std::string ClientRefused(const std::string& peer, const std::string& why);
// "Reader held back 340 ms in the last minute: the clients could not keep up"
std::string ReaderHeldBack(std::uint64_t nanoseconds);
// Why a client left, as the relay-socket library's departure reason gives it: the words the Clients
// window and the status page show ("closed by the peer", "reset", "keepalive", "too slow").
const char* Departure(std::uint32_t reason);

} // namespace kestavo::core::texts
