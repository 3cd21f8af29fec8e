#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace kestavo::client {

// What a client of a TLS relay trusts and presents.
struct TlsClientSettings {
    std::string ca;          // the relay's certificate is checked against this CA (PEM); empty: the system's
    std::string certificate; // presented when the relay asks for one (PEM), with its key
    std::string key;
};

// A TLS connection to a relay over a connected TCP socket, which it then owns. Reads never block.
class TlsConnection {
public:
    // Shakes hands within the time limit, checking the relay's certificate against the CA and its name
    // against host (a name or an address). Nothing, with why in error, when it fails; refused then
    // tells a failed check of either side's certificate from a connection that merely broke.
    static std::unique_ptr<TlsConnection> Open(int fd, const std::string& host,
                                               const TlsClientSettings& settings, int timeoutMs,
                                               std::string& error, bool& refused);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    [[nodiscard]] int Fd() const { return fd_; }
    // Bytes already decrypted and waiting, which polling the socket would not show.
    [[nodiscard]] bool Pending() const;
    // As recv: the bytes read, 0 when the relay closed the connection, -1 on an error (why in error;
    // refused when the relay turned down this client's certificate), -2 when nothing is there yet.
    ssize_t Read(void* buffer, std::size_t size, std::string& error, bool& refused);

private:
    TlsConnection(int fd, SSL_CTX* context, SSL* ssl) : fd_(fd), context_(context), ssl_(ssl) {}

    int fd_;
    SSL_CTX* context_;
    SSL* ssl_;
};

} // namespace kestavo::client
