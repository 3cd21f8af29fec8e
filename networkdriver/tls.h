#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "networkdriver/network_driver.h"

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace networkdriver {

// Where a TLS server's credentials are read from (PEM): its certificate (the chain may follow it), its
// key, and the CA whose certificates its clients must present (none: clients are not asked for one).
struct TlsFiles {
    std::string certificate;
    std::string key;
    std::string clientCa;
};

// A TLS server's credentials as loaded, replaced whole by Reload: handshakes that started keep what
// they started with, new ones take the new. TLS 1.2 and 1.3 only.
class TlsCredentials {
public:
    // Nothing, and why in error (naming the file), when a file cannot be read, the key does not match the
    // certificate, or the certificate is not valid now.
    // clientCertificateOptional: as for MakeContext.
    static std::shared_ptr<TlsCredentials> Load(const TlsFiles& files, std::string& error,
                                                bool clientCertificateOptional = false);

    // Reads the files again; when they fail to load, keeps what it had and says why.
    bool Reload(std::string& error);

    // The context a new handshake starts from, held by the caller for as long as it needs it.
    [[nodiscard]] std::shared_ptr<SSL_CTX> Current() const;
    [[nodiscard]] const TlsFiles& Files() const { return files_; }
    [[nodiscard]] bool AsksForClientCertificates() const { return !files_.clientCa.empty(); }

    // One server's clients: `optional` admits a client without a certificate (the status page, which
    // admits a token instead); a certificate it does present must still pass.
    static std::shared_ptr<SSL_CTX> MakeContext(const TlsFiles& files, bool clientCertificateOptional,
                                                std::string& error);
    // Sets up a context made elsewhere (an HTTPS server's) the same way. False, with why, when the
    // files fail.
    static bool Configure(SSL_CTX* context, const TlsFiles& files, bool clientCertificateOptional,
                          std::string& error);

private:
    TlsCredentials(TlsFiles files, bool optional) : files_(std::move(files)), optional_(optional) {}

    const TlsFiles files_;
    const bool optional_;
    mutable std::mutex mutex_;
    std::shared_ptr<SSL_CTX> context_;
};

// How the servers started next listen for TLS clients: on `port` (0: none) with these credentials, and
// on the plain port as well unless `plain` is false.
struct TlsListening {
    int port = 0;
    bool plain = true;
    std::shared_ptr<TlsCredentials> credentials;
    // A client that has not finished its handshake by then is dropped: it holds a descriptor and some
    // memory, and a thousand of them must not be kept for ever.
    std::chrono::milliseconds handshakeLimit{10'000};
};
void SetTlsListening(TlsListening listening);

// What the TLS listener of a server has seen since it started.
struct TlsCounts {
    std::uint64_t admitted = 0;
    std::uint64_t refused = 0;  // the handshake failed: no certificate, a bad one, not TLS at all
    std::uint64_t timedOut = 0; // not finished within the handshake limit
};
TlsCounts TlsCountsOf(NetHandle server);

// A connected TLS client's certificate subject ("CN=roof-viewer,O=Site 1"); empty for a plain client
// or one that presented none.
std::string PeerSubject(NetHandle client);

// Why a handshake that failed failed, in a few words ("certificate expired", "no certificate", "not
// TLS"), from the handshake's result and the library's error queue, which it clears.
std::string HandshakeFailure(SSL* ssl, int result);

// A certificate's subject as RFC 2253 writes it, most specific part first.
std::string SubjectOf(SSL* ssl);

} // namespace networkdriver
