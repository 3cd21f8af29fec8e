#pragma once

#include <string>

namespace kestavo::client {

// Connects to a relay by name or address (IPv4 or IPv6), trying each address the name has in turn.
// Gives the connected socket, or -1 with the reason in error ("cannot find HOST port PORT: …" or
// "cannot connect to HOST port PORT: …"). A timeout of -1 waits as long as the system does.
int ConnectTcp(const std::string& host, const std::string& port, std::string& error, int timeoutMs = -1);

} // namespace kestavo::client
