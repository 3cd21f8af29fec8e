#include "tcp_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestavo::test {
namespace {

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            return false;
        }
        pollfd poll{fd, POLLIN, 0};
        const int ready = ::poll(&poll, 1, static_cast<int>(left.count()) + 1);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace

TcpClient::TcpClient(const std::string& host, int port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (host.find(':') != std::string::npos) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr);
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr);
        length = sizeof *v4;
    }
    fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TcpClient::~TcpClient() {
    Close();
}

int TcpClient::LocalPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::optional<std::vector<std::uint8_t>> TcpClient::Read(std::size_t n, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> bytes(n);
    std::size_t have = 0;
    while (have < n) {
        if (!WaitReadable(fd_, deadline)) {
            return std::nullopt;
        }
        const ssize_t got = ::recv(fd_, bytes.data() + have, n - have, 0);
        if (got <= 0) {
            return std::nullopt;
        }
        have += static_cast<std::size_t>(got);
    }
    return bytes;
}

std::optional<std::vector<std::uint8_t>> TcpClient::ReadToEnd(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    for (;;) {
        if (!WaitReadable(fd_, deadline)) {
            return std::nullopt;
        }
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got == 0) {
            return bytes;
        }
        if (got < 0) {
            return errno == ECONNRESET ? std::optional(bytes) : std::nullopt;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

bool TcpClient::ClosedByServer(std::chrono::milliseconds limit) {
    const auto rest = ReadToEnd(limit);
    return rest.has_value() && rest->empty();
}

bool TcpClient::Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void TcpClient::Reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

void TcpClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TcpClient::ShrinkReceiveBuffer() {
    const int size = 4096;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int FreePort() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin6_port);
}

} // namespace kestavo::test
