#pragma once

#include <cstdint>
#include <string>

#include "core/relay_server.h"

namespace kestavo::testkit {

// The relay as the programs run it, quietly, on a port of the caller's choosing.
class TableServer {
public:
    // tls: a TLS listener beside the plain one, or instead of it.
    explicit TableServer(int port, core::TlsOptions tls = {}) : port_(port), host_() {
        host_.UseTls(std::move(tls));
        Start();
    }

    // Listens on the port and fills a fresh table; Stop sends the stop frame and releases everything.
    void Start() { host_.Start(port_); }
    void Stop() { host_.Stop(); }

    [[nodiscard]] int Port() const { return port_; }
    relay::ClientTable& Table() { return host_.Table(); }
    // Clients the relay reported gone since it was made.
    [[nodiscard]] std::uint64_t Gone() const { return host_.GoneCount(); }

private:
    int port_;
    core::RelayServer host_;
};

} // namespace kestavo::testkit
