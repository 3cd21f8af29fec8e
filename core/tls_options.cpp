#include "core/tls_options.h"

namespace kestavo::core {

std::string CheckTlsOptions(const TlsOptions& options, int plainPort) {
    const bool files = !options.certificate.empty() || !options.key.empty() || !options.clientCa.empty();
    if (!options.Any()) {
        if (options.noPlain) {
            return "--no-plain needs --tls-port: the relay would listen nowhere";
        }
        if (files) {
            return "--tls-cert, --tls-key and --tls-client-ca need --tls-port";
        }
        return {};
    }
    if (options.certificate.empty() || options.key.empty()) {
        return "--tls-port needs --tls-cert and --tls-key";
    }
    if (options.port == plainPort && !options.noPlain) {
        return "--tls-port: " + std::to_string(options.port) + " is the plain relay's port too";
    }
    return {};
}

} // namespace kestavo::core
