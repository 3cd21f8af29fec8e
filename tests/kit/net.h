#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestavo::client {
class TlsConnection;
}

namespace kestavo::testkit {

// A plain TCP client on loopback, as a relay client program would be.
class TcpClient {
public:
    // Connects to host (an address or a name) and port; Connected() tells whether it worked. A
    // receiveBuffer as ConnectTo's.
    TcpClient(const std::string& host, int port, int receiveBuffer = 0);
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    [[nodiscard]] bool Connected() const { return fd_ >= 0; }
    // The client's own port, as the server sees it.
    [[nodiscard]] int LocalPort() const;
    // The socket, for a test that reads it in a way of its own; the client still owns it.
    [[nodiscard]] int Descriptor() const { return fd_; }

    // Exactly n bytes, or nothing when the connection ends or the time runs out first.
    std::optional<std::vector<std::uint8_t>> Read(std::size_t n,
                                                  std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Everything until the server closes the connection (or the time runs out: then nothing).
    std::optional<std::vector<std::uint8_t>>
    ReadToEnd(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // True when the server closed the connection with nothing more to read, within the limit.
    bool ClosedByServer(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // True when, within the limit, reading ends in a reset by the server rather than an orderly close.
    bool ResetByServer(std::chrono::milliseconds limit = std::chrono::seconds(10));

    bool Send(const std::string& bytes);
    // Makes the connection end with a reset rather than an orderly close.
    void Reset();
    void Close();

    // Shrinks the receive buffer, so that a client that stops reading stalls its sender soon.
    void ShrinkReceiveBuffer();

private:
    int fd_ = -1;
};

// A connected TCP socket's descriptor (close-on-exec), or -1. A receiveBuffer (bytes) is set before
// connecting, so that the window is small from the handshake on; else the kernel's own.
int ConnectTo(const std::string& host, int port, int receiveBuffer = 0);

// A TCP port that nothing listens on just now, on any address.
int FreePort();

// Up to n bytes through a TLS connection: fewer when it ended (ended: whether in an orderly way) or the
// time ran out first.
std::vector<std::uint8_t> ReadTls(client::TlsConnection& connection, std::size_t n, bool* ended = nullptr,
                                  std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace kestavo::testkit
