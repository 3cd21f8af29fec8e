#include "clientkit/cpp/connect.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestavo::client {
namespace {

// Connects fd within timeoutMs (-1: as long as the system takes); 0 or an errno value.
int ConnectWithin(int fd, const sockaddr* address, socklen_t length, int timeoutMs) {
    if (timeoutMs < 0) {
        return ::connect(fd, address, length) == 0 ? 0 : errno;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (::connect(fd, address, length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd waiting{fd, POLLOUT, 0};
            const int ready = ::poll(&waiting, 1, timeoutMs);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t size = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            }
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    return error;
}

} // namespace

int ConnectTcp(const std::string& host, const std::string& port, std::string& error, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        error = "cannot find " + host + " port " + port + ": " + ::gai_strerror(status);
        return -1;
    }
    int fd = -1;
    int lastError = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        lastError = ConnectWithin(fd, address->ai_addr, address->ai_addrlen, timeoutMs);
        if (lastError == 0) {
            break;
        }
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        error = "cannot connect to " + host + " port " + port + ": " + std::strerror(lastError);
    }
    return fd;
}

} // namespace kestavo::client
