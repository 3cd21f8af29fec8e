#pragma once

#include <string>

#include <asio.hpp>

#include "networkdriver/access.h"

namespace networkdriver {

// Opens, binds and listens on the acceptor at the endpoint; false (and closed) when it cannot.
bool OpenAcceptor(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint);

// Makes a newly accepted connection ready to serve: above select()'s range where it can be, without
// Nagle's delay, with keepalive and a timeout for unacknowledged writes, the kernel buffers asked for
// (0 or less keeps the system's), non-blocking. Each option that fails is reported, rate-limited.
void PrepareClientSocket(asio::ip::tcp::socket& socket, int sendBufferSize, int receiveBufferSize);

// A peer's address as a person reads it: an IPv4 peer of the dual-stack socket without its IPv6 dress.
std::string AddressText(const asio::ip::tcp::endpoint& peer);

// Whether the rules' networks take the peer (every peer when they name none).
bool Allowed(const AccessRules& rules, const asio::ip::address& peer);

} // namespace networkdriver
