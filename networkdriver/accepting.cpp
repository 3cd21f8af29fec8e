#include "networkdriver/accepting.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "diagnostics/failures.h"

namespace networkdriver {
namespace {

using asio::ip::tcp;

// A peer that vanished without a word is found within about half a minute.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;
// Keepalive only probes an idle connection; one that has frames waiting for an acknowledgement that never
// comes is given up after the same time.
constexpr unsigned kUserTimeoutMs =
    (kKeepAliveIdleSeconds + kKeepAliveIntervalSeconds * kKeepAliveProbes) * 1000;

// Reports a failed socket option once (rate-limited) rather than leaving a connection without it silently.
void Require(const std::error_code& error, const char* what) {
    if (error) {
        kestavo::diagnostics::ReportFailure(what, error.value());
    }
}

void RequireOption(int fd, int level, int name, int value, const char* what) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        kestavo::diagnostics::ReportFailure(what, errno);
    }
}

// Moves a client's socket above the descriptors select() can watch, where the limit allows. The USB
// library waits on its device with select(), and a thousand clients would otherwise push the
// descriptor of a dongle opened after them past FD_SETSIZE, which select() cannot take.
void MoveAboveSelectRange(tcp::socket& socket) {
    const int fd = socket.native_handle();
    if (fd >= FD_SETSIZE) {
        return;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (moved < 0) {
        return; // the limit keeps every descriptor in select()'s range: nothing to make room for
    }
    std::error_code error;
    const tcp protocol = socket.local_endpoint(error).protocol();
    if (error) {
        ::close(moved);
        return;
    }
    socket.close(error);
    socket.assign(protocol, moved, error);
    if (error) {
        kestavo::diagnostics::ReportFailure("moving a client connection to a higher descriptor",
                                            error.value());
        ::close(moved);
    }
}

} // namespace

bool OpenAcceptor(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    std::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (error) {
        return false;
    }
    if (endpoint.protocol() == tcp::v6()) {
        // The unspecified address takes IPv4 clients too; any other IPv6 address only its own.
        acceptor.set_option(asio::ip::v6_only(!endpoint.address().is_unspecified()), error);
        Require(error, "setting IPV6_V6ONLY on the relay's socket");
    }
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    Require(error, "setting SO_REUSEADDR on the relay's socket");
    acceptor.bind(endpoint, error);
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        // Connections are taken in turns of several, the last finding none waiting.
        acceptor.non_blocking(true, error);
    }
    if (error) {
        std::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    return true;
}

void PrepareClientSocket(tcp::socket& socket, int sendBufferSize, int receiveBufferSize) {
    MoveAboveSelectRange(socket);
    std::error_code error;
    socket.set_option(tcp::no_delay(true), error);
    Require(error, "setting TCP_NODELAY on a client connection");
    socket.set_option(asio::socket_base::keep_alive(true), error);
    Require(error, "setting SO_KEEPALIVE on a client connection");
    const int fd = socket.native_handle();
    RequireOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds,
                  "setting TCP_KEEPIDLE on a client connection");
    RequireOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds,
                  "setting TCP_KEEPINTVL on a client connection");
    RequireOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes,
                  "setting TCP_KEEPCNT on a client connection");
    RequireOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs),
                  "setting TCP_USER_TIMEOUT on a client connection");
    if (sendBufferSize > 0) {
        socket.set_option(asio::socket_base::send_buffer_size(sendBufferSize), error);
        Require(error, "setting SO_SNDBUF on a client connection");
    }
    if (receiveBufferSize > 0) {
        socket.set_option(asio::socket_base::receive_buffer_size(receiveBufferSize), error);
        Require(error, "setting SO_RCVBUF on a client connection");
    }
    // Writes are made straight on the descriptor, and must never block the I/O thread.
    socket.non_blocking(true, error);
    Require(error, "making a client connection non-blocking");
}

std::string AddressText(const tcp::endpoint& peer) {
    asio::ip::address address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

bool Allowed(const AccessRules& rules, const asio::ip::address& peer) {
    if (rules.allow.empty()) {
        return true;
    }
    const std::array<std::uint8_t, 16> bytes =
        peer.is_v6() ? peer.to_v6().to_bytes()
                     : asio::ip::make_address_v6(asio::ip::v4_mapped, peer.to_v4()).to_bytes();
    return std::any_of(rules.allow.begin(), rules.allow.end(),
                       [&](const Network& network) { return Contains(network, bytes); });
}

} // namespace networkdriver
