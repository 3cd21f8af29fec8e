#include "tests/kit/net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "clientkit/cpp/tls_client.h"

namespace kestavo::testkit {
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

int ConnectTo(const std::string& host, int port, int receiveBuffer) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && receiveBuffer > 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

TcpClient::TcpClient(const std::string& host, int port, int receiveBuffer)
    : fd_(ConnectTo(host, port, receiveBuffer)) {}

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

bool TcpClient::ResetByServer(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> chunk(64 * 1024);
    for (;;) {
        if (!WaitReadable(fd_, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
        if (got <= 0) {
            return got < 0 && errno == ECONNRESET;
        }
    }
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
    // A port the kernel hands out for bind(0) is one it also hands out to the next outgoing connection,
    // of this test or of another running beside it; ports below that range are never taken that way.
    int lowestEphemeral = 32768;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(range, "%d", &lowestEphemeral) != 1) {
            lowestEphemeral = 32768;
        }
        std::fclose(range);
    }
    const int lowest = 10000;
    const int highest = std::max(lowest + 1000, lowestEphemeral) - 1;
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(lowest, highest);
    for (;;) {
        const int port = pick(random);
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) {
            return port;
        }
    }
}

std::vector<std::uint8_t> ReadTls(client::TlsConnection& connection, std::size_t n, bool* ended,
                                  std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> chunk(65536);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (bytes.size() < n && std::chrono::steady_clock::now() < deadline) {
        if (!connection.Pending()) {
            pollfd ready{connection.Fd(), POLLIN, 0};
            ::poll(&ready, 1, 100);
        }
        std::string error;
        bool refused = false;
        const ssize_t got =
            connection.Read(chunk.data(), std::min(chunk.size(), n - bytes.size()), error, refused);
        if (got == -2) {
            continue;
        }
        if (got <= 0) {
            if (ended != nullptr) {
                *ended = got == 0;
            }
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return bytes;
}

} // namespace kestavo::testkit
