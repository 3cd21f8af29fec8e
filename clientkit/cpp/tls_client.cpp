#include "clientkit/cpp/tls_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace kestavo::client {
namespace {

std::string LibraryError(unsigned long code) {
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "the connection broke";
}

// An alert from the relay that says it turned this client down, rather than the line failing.
bool IsRefusal(unsigned long code) {
    if (ERR_GET_LIB(code) != ERR_LIB_SSL) {
        return false;
    }
    switch (ERR_GET_REASON(code)) {
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
    case SSL_R_TLSV1_ALERT_DECRYPT_ERROR:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
        return true;
    default:
        return false;
    }
}

// TLS writes through the descriptor with write(), which raises SIGPIPE on a connection the relay has
// closed. For the length of a call into the library the signal is blocked in this thread, so that the
// write fails with EPIPE instead; one it raised meanwhile is taken before the mask is put back.
class QuietPipe {
public:
    QuietPipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~QuietPipe() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{0, 0};
            sigtimedwait(&pipe_, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;

private:
    sigset_t pipe_{};
    sigset_t previous_{};
    bool wasPending_ = false;
};

bool IsAddress(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

} // namespace

std::unique_ptr<TlsConnection> TlsConnection::Open(int fd, const std::string& host,
                                                   const TlsClientSettings& settings, int timeoutMs,
                                                   std::string& error, bool& refused) {
    refused = false;
    const QuietPipe quiet;
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        ::close(fd);
        error = "TLS: " + LibraryError(ERR_get_error());
        return nullptr;
    }
    const auto fail = [&](const std::string& why) -> std::unique_ptr<TlsConnection> {
        error = why;
        SSL_CTX_free(context);
        ::close(fd);
        ERR_clear_error();
        return nullptr;
    };
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (settings.ca.empty() ? SSL_CTX_set_default_verify_paths(context) != 1
                            : SSL_CTX_load_verify_locations(context, settings.ca.c_str(), nullptr) != 1) {
        return fail("TLS: cannot read the CA " + (settings.ca.empty() ? "store" : settings.ca) + ": " +
                    LibraryError(ERR_peek_last_error()));
    }
    if (!settings.certificate.empty()) {
        if (SSL_CTX_use_certificate_chain_file(context, settings.certificate.c_str()) != 1) {
            return fail("TLS: cannot read the certificate " + settings.certificate + ": " +
                        LibraryError(ERR_peek_last_error()));
        }
        const std::string& key = settings.key.empty() ? settings.certificate : settings.key;
        if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(context) != 1) {
            return fail("TLS: cannot use the key " + key + ": " + LibraryError(ERR_peek_last_error()));
        }
    }
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        return fail("TLS: " + LibraryError(ERR_peek_last_error()));
    }
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    if (IsAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(check, host.c_str(), 0);
        SSL_set_tlsext_host_name(ssl, host.c_str());
    }
    // The handshake blocks, for the time allowed at most; the reads after it never do.
    if (timeoutMs >= 0) {
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    const int result = SSL_connect(ssl);
    if (result != 1) {
        const long verified = SSL_get_verify_result(ssl);
        const unsigned long code = ERR_peek_last_error();
        const int lastErrno = errno;
        SSL_free(ssl);
        if (verified != X509_V_OK) {
            refused = true;
            return fail(std::string("TLS: the relay's certificate is not trusted: ") +
                        X509_verify_cert_error_string(verified));
        }
        if (IsRefusal(code)) {
            refused = true;
            return fail("TLS: the relay refused the handshake: " + LibraryError(code));
        }
        if (code == 0 && (lastErrno == EAGAIN || lastErrno == EWOULDBLOCK)) {
            return fail("TLS: no handshake within " + std::to_string(timeoutMs / 1000) + " s");
        }
        return fail("TLS: the handshake failed: " + LibraryError(code));
    }
    timeval none{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<TlsConnection>(new TlsConnection(fd, context, ssl));
}

TlsConnection::~TlsConnection() {
    const QuietPipe quiet;
    SSL_free(ssl_);
    SSL_CTX_free(context_);
    ::close(fd_);
}

bool TlsConnection::Pending() const {
    return SSL_pending(ssl_) > 0;
}

ssize_t TlsConnection::Read(void* buffer, std::size_t size, std::string& error, bool& refused) {
    refused = false;
    const QuietPipe quiet;
    std::size_t got = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl_, buffer, size, &got) == 1) {
        return static_cast<ssize_t>(got);
    }
    const int kind = SSL_get_error(ssl_, 0);
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        return -2;
    }
    if (kind == SSL_ERROR_ZERO_RETURN) {
        return 0;
    }
    if (IsRefusal(code)) {
        // With TLS 1.3 a client hears that its certificate was turned down only once it reads.
        refused = true;
        error = "TLS: the relay refused this client: " + LibraryError(code);
        return -1;
    }
    if (kind == SSL_ERROR_SYSCALL && code == 0) {
        return 0; // closed without a word
    }
    error = "TLS: " + LibraryError(code);
    return -1;
}

} // namespace kestavo::client
