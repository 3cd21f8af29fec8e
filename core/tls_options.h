#pragma once

#include <memory>
#include <string>

#include "networkdriver/tls.h"

namespace kestavo::core {

// The TLS options as both programs take them.
struct TlsOptions {
    int port = 0; // the TLS listener's; 0: none
    std::string certificate;
    std::string key;
    std::string clientCa;
    bool noPlain = false;

    [[nodiscard]] bool Any() const { return port > 0; }
    [[nodiscard]] networkdriver::TlsFiles Files() const { return {certificate, key, clientCa}; }
};

// Why the options together make no sense (a TLS port without a certificate, a certificate without a
// port, --no-plain without TLS, the TLS port the plain one), or an empty text.
std::string CheckTlsOptions(const TlsOptions& options, int plainPort);

} // namespace kestavo::core
