#include "networkdriver/tls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509err.h>

namespace networkdriver {
namespace {

// The library's last error in its own words ("no start line"), its queue cleared.
std::string LibraryError() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

// Whether the file can be read at all, with the system's reason when not: clearer than the library's.
bool Readable(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    char byte = 0;
    const bool read = std::fread(&byte, 1, 1, file) == 1 || std::feof(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (!read) {
        error = path + ": " + std::strerror(readError);
        return false;
    }
    return true;
}

std::string TimeText(const ASN1_TIME* time) {
    BIO* bio = BIO_new(BIO_s_mem());
    ASN1_TIME_print(bio, time);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

} // namespace

std::shared_ptr<SSL_CTX> TlsCredentials::MakeContext(const TlsFiles& files, bool clientCertificateOptional,
                                                     std::string& error) {
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        error = "TLS: " + LibraryError();
        return nullptr;
    }
    if (!Configure(context.get(), files, clientCertificateOptional, error)) {
        return nullptr;
    }
    return context;
}

bool TlsCredentials::Configure(SSL_CTX* ctx, const TlsFiles& files, bool clientCertificateOptional,
                               std::string& error) {
    ERR_clear_error();
    if (!Readable(files.certificate, error) || !Readable(files.key, error) ||
        (!files.clientCa.empty() && !Readable(files.clientCa, error))) {
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // A stream of small records: the cheapest of the strong ciphers first.
    SSL_CTX_set_ciphersuites(ctx,
                             "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    // A relay client connects once and stays: tickets for resuming would be work for nothing.
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // A write the socket could not take all of is taken up again from where it ended.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx, files.certificate.c_str()) != 1) {
        error = files.certificate + ": not a certificate (" + LibraryError() + ")";
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
        const std::string why = LibraryError();
        error = mismatch ? files.key + ": does not match the certificate in " + files.certificate
                         : files.key + ": not a private key (" + why + ")";
        return false;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        error = files.key + ": does not match the certificate in " + files.certificate;
        return false;
    }
    X509* leaf = SSL_CTX_get0_certificate(ctx);
    if (X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0) {
        error = files.certificate + ": the certificate expired on " + TimeText(X509_get0_notAfter(leaf));
        return false;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(leaf)) > 0) {
        error = files.certificate + ": the certificate is not valid before " +
                TimeText(X509_get0_notBefore(leaf));
        return false;
    }
    if (!files.clientCa.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.clientCa.c_str());
        if (names == nullptr || SSL_CTX_load_verify_locations(ctx, files.clientCa.c_str(), nullptr) != 1) {
            if (names != nullptr) {
                sk_X509_NAME_pop_free(names, X509_NAME_free);
            }
            error = files.clientCa + ": not a CA certificate (" + LibraryError() + ")";
            return false;
        }
        SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx,
                           clientCertificateOptional ? SSL_VERIFY_PEER
                                                     : SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                           nullptr);
    }
    return true;
}

std::shared_ptr<TlsCredentials> TlsCredentials::Load(const TlsFiles& files, std::string& error,
                                                     bool clientCertificateOptional) {
    std::shared_ptr<TlsCredentials> credentials(new TlsCredentials(files, clientCertificateOptional));
    if (!credentials->Reload(error)) {
        return nullptr;
    }
    return credentials;
}

bool TlsCredentials::Reload(std::string& error) {
    std::shared_ptr<SSL_CTX> context = MakeContext(files_, optional_, error);
    if (!context) {
        return false;
    }
    std::lock_guard lock(mutex_);
    context_ = std::move(context);
    return true;
}

std::shared_ptr<SSL_CTX> TlsCredentials::Current() const {
    std::lock_guard lock(mutex_);
    return context_;
}

std::string HandshakeFailure(SSL* ssl, int result) {
    const int kind = SSL_get_error(ssl, result);
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (kind == SSL_ERROR_SYSCALL || kind == SSL_ERROR_ZERO_RETURN) {
        return "closed during the handshake";
    }
    if (ERR_GET_LIB(code) != ERR_LIB_SSL) {
        return "handshake failed";
    }
    switch (ERR_GET_REASON(code)) {
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
        return "no certificate";
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
        switch (SSL_get_verify_result(ssl)) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "certificate expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "certificate not yet valid";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "certificate not signed by the client CA";
        default:
            return std::string("certificate refused: ") +
                   X509_verify_cert_error_string(SSL_get_verify_result(ssl));
        }
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_UNEXPECTED_MESSAGE:
    case SSL_R_UNEXPECTED_RECORD:
    case SSL_R_LENGTH_MISMATCH:
        return "not TLS";
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_VERSION_TOO_LOW:
        return "no TLS version or cipher in common";
    default: {
        const char* reason = ERR_reason_error_string(code);
        return std::string("handshake failed: ") + (reason != nullptr ? reason : "unknown");
    }
    }
}

std::string SubjectOf(SSL* ssl) {
    X509* certificate = SSL_get1_peer_certificate(ssl);
    if (certificate == nullptr) {
        return {};
    }
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string subject(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    X509_free(certificate);
    return subject;
}

} // namespace networkdriver
