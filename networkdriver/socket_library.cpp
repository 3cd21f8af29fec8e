// The relay server: one asio I/O thread of the library's own runs every socket. SendData only queues;
// the I/O thread writes. Callbacks run on the I/O thread and may wait for the program's window thread,
// so nothing a caller does here ever waits for the I/O thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <vector>

#include <asio.hpp>

#include "networkdriver/handle_index.h"
#include "networkdriver/network_driver.h"

namespace {

using asio::ip::tcp;

constexpr std::size_t kQueueLimit = 4 * 1024 * 1024;
constexpr std::size_t kReceiveChunk = 64 * 1024;
constexpr auto kLingerLimit = std::chrono::seconds(2);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// A peer that vanished without a word is found within about half a minute.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

struct Callbacks {
    ClientDataCallbackFn data = nullptr;
    ClientGoneCallbackFn gone = nullptr;
    ClientConnectedCallbackFn connected = nullptr;
};

struct Server;

// Bytes waiting to be written. Appending is the send path's inner step, so it is a bounds check and a
// copy, with none of a vector's zero-filling or general insertion.
class ByteBuffer {
public:
    void Append(const unsigned char* bytes, std::size_t length) {
        if (capacity_ - size_ < length) {
            Grow(size_ + length);
        }
        std::memcpy(data_.get() + size_, bytes, length);
        size_ += length;
    }
    [[nodiscard]] const unsigned char* Data() const { return data_.get(); }
    [[nodiscard]] std::size_t Size() const { return size_; }
    [[nodiscard]] bool Empty() const { return size_ == 0; }
    void Clear() { size_ = 0; }
    void Release() {
        data_.reset();
        size_ = capacity_ = 0;
    }
    void Swap(ByteBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    void Grow(std::size_t needed) {
        const std::size_t capacity = std::max({needed, capacity_ * 2, std::size_t{4096}});
        auto grown = std::make_unique_for_overwrite<unsigned char[]>(capacity);
        if (size_ > 0) {
            std::memcpy(grown.get(), data_.get(), size_);
        }
        data_ = std::move(grown);
        capacity_ = capacity;
    }

    std::unique_ptr<unsigned char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Guards a client's outbound queue. SendData takes it once per client for every frame while the I/O
// thread takes it once per write; both hold it for a few instructions, so a waiter spins briefly and
// then yields rather than sleeping in the kernel.
class SpinLock {
public:
    void lock() noexcept {
        for (int spins = 0; locked_.exchange(true, std::memory_order_acquire);) {
            while (locked_.load(std::memory_order_relaxed)) {
                if (++spins > 100) {
                    std::this_thread::yield();
                }
            }
        }
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

struct Session : std::enable_shared_from_this<Session> {
    Session(asio::io_context& io, tcp::socket connected) : socket(std::move(connected)), lingerTimer(io) {}

    NetHandle handle = 0;
    NetHandle server = 0;
    Callbacks callbacks;
    tcp::socket socket;
    asio::steady_timer lingerTimer;

    // What SendData touches, in one cache line of its own.
    alignas(64) SpinLock mutex; // guards the members down to outbound
    bool writeScheduled = false;
    bool closed = false;
    int fd = -1; // the socket's descriptor while it is open, for ReceiveData on other threads
    std::size_t inFlight = 0;
    ByteBuffer outbound;

    alignas(64) std::atomic<bool> released{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> receivedInCallback{false};
    ByteBuffer writing; // the I/O thread's alone
};

struct Server {
    explicit Server(asio::io_context& io) : acceptor(io), retryTimer(io) {}

    NetHandle handle = 0;
    Callbacks callbacks;
    int sendBufferSize = 0;
    int receiveBufferSize = 0;
    int listenFd = -1; // stays open until the I/O thread closes the acceptor
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    // Filled by accept itself: a peer that resets right after connecting still has an address, and
    // is reported connected and then gone rather than silently never seen.
    tcp::endpoint acceptedPeer; // the I/O thread's alone
    std::atomic<bool> released{false};
};

class Driver {
public:
    static Driver& Instance() {
        static Driver driver;
        return driver;
    }

    Driver() : work_(asio::make_work_guard(io_)), thread_([this] { Run(); }) {}

    ~Driver() {
        {
            std::lock_guard lock(mutex_);
            for (auto& [handle, server] : servers_) {
                server->released = true;
            }
            for (auto& [handle, session] : sessions_) {
                session->released = true;
            }
        }
        asio::post(io_, [this] {
            std::lock_guard lock(mutex_);
            for (auto& [handle, server] : servers_) {
                std::error_code ignored;
                server->acceptor.close(ignored);
                server->retryTimer.cancel();
            }
            for (auto& [handle, session] : sessions_) {
                Close(*session);
            }
            servers_.clear();
            sessions_.clear();
            index_ = {};
        });
        work_.reset();
        thread_.join(); // run() returns once every socket and timer is closed
    }

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    NetHandle Listen(const Callbacks& callbacks, int port, int sendBufferSize, int receiveBufferSize) {
        if (port < 1 || port > 65535) {
            return 0;
        }
        auto server = std::make_shared<Server>(io_);
        server->callbacks = callbacks;
        server->sendBufferSize = sendBufferSize;
        server->receiveBufferSize = receiveBufferSize;
        if (!Open(server->acceptor, tcp::v6(), port) && !Open(server->acceptor, tcp::v4(), port)) {
            return 0;
        }
        server->handle = NextHandle();
        server->listenFd = server->acceptor.native_handle();
        {
            std::lock_guard lock(mutex_);
            servers_[server->handle] = server;
        }
        asio::post(io_, [this, server] { Accept(server); });
        return server->handle;
    }

    std::int32_t Send(NetHandle handle, const void* bytes, std::int32_t length) {
        if (length < 0 || (bytes == nullptr && length > 0)) {
            return -1;
        }
        // The reader thread calls this once per client for every frame, so it takes no reference on
        // the session (the count's cache line would bounce between this thread and the I/O thread):
        // the table's lock keeps the session alive while its own lock guards the queue. The I/O
        // thread never takes the two locks the other way round.
        std::shared_ptr<Session> wake;
        bool overflow = false;
        {
            std::lock_guard tables(mutex_);
            Session* const found = index_.Find(handle);
            if (found == nullptr) {
                return -1;
            }
            Session& session = *found;
            std::lock_guard lock(session.mutex);
            if (session.closed) {
                return -1;
            }
            const auto size = static_cast<std::size_t>(length);
            if (session.outbound.Size() + session.inFlight + size > kQueueLimit) {
                overflow = true;
                wake = session.shared_from_this();
            } else {
                const auto* data = static_cast<const unsigned char*>(bytes);
                session.outbound.Append(data, size);
                if (!session.writeScheduled) {
                    session.writeScheduled = true;
                    wake = session.shared_from_this();
                }
            }
            // A relay sends each frame to its clients in the order they came, and handles are given out
            // in that order: the next call most likely names the next handle, so its queue is fetched
            // into the cache while the caller moves on.
            if (Session* const next = index_.PeekNext(handle)) {
                __builtin_prefetch(&next->mutex, 1);
            }
        }
        if (overflow) {
            asio::post(io_, [this, wake] { Gone(wake, kGoneTooSlow); });
            return -1;
        }
        if (wake) {
            asio::post(io_, [this, wake] { Write(wake); });
        }
        return length;
    }

    std::int32_t Receive(NetHandle handle, std::int32_t* value) {
        const std::shared_ptr<Session> session = FindSession(handle);
        if (!session) {
            return -1;
        }
        session->receivedInCallback = true;
        unsigned char chunk[kReceiveChunk];
        ssize_t got = 0;
        {
            // Held so that the descriptor cannot be closed, and its number reused, during the read.
            std::lock_guard lock(session->mutex);
            if (session->fd < 0) {
                return 0;
            }
            got = ::recv(session->fd, chunk, sizeof chunk, MSG_DONTWAIT);
        }
        if (got <= 0) {
            return 0;
        }
        if (value != nullptr) {
            std::memcpy(value, chunk, std::min<std::size_t>(sizeof *value, static_cast<std::size_t>(got)));
        }
        return static_cast<std::int32_t>(got);
    }

    std::int32_t Release(NetHandle handle) {
        std::shared_ptr<Session> session;
        std::shared_ptr<Server> server;
        std::vector<std::shared_ptr<Session>> children;
        {
            std::lock_guard lock(mutex_);
            if (const auto found = sessions_.find(handle); found != sessions_.end()) {
                session = found->second;
                sessions_.erase(found);
                index_.Erase(handle);
                session->released = true;
            } else if (const auto foundServer = servers_.find(handle); foundServer != servers_.end()) {
                server = foundServer->second;
                servers_.erase(foundServer);
                server->released = true;
                // Stop listening now, not when the I/O thread gets to it, so that the port can be
                // listened on again at once. The descriptor itself is closed on the I/O thread.
                ::shutdown(server->listenFd, SHUT_RDWR);
                for (auto it = sessions_.begin(); it != sessions_.end();) {
                    if (it->second->server == handle) {
                        it->second->released = true;
                        children.push_back(it->second);
                        index_.Erase(it->first);
                        it = sessions_.erase(it);
                    } else {
                        ++it;
                    }
                }
            } else {
                return -1;
            }
        }
        if (session) {
            asio::post(io_, [this, session] { Linger(session); });
        } else {
            asio::post(io_, [this, server, children] {
                std::error_code ignored;
                server->acceptor.close(ignored);
                server->retryTimer.cancel();
                for (const auto& child : children) {
                    Linger(child);
                }
            });
        }
        return 0;
    }

private:
    void Run() {
        // Named, so that an operator's tools (top -H, gdb) tell it from the window's threads.
        ::pthread_setname_np(::pthread_self(), "kestavo-relay");
        for (;;) {
            try {
                io_.run();
                return;
            } catch (...) {
                // A handler that threw must not end the thread that every client depends on.
            }
        }
    }

    NetHandle NextHandle() {
        NetHandle handle = 0;
        do {
            handle = next_.fetch_add(1);
        } while (handle == 0);
        return handle;
    }

    static bool Open(tcp::acceptor& acceptor, const tcp& protocol, int port) {
        std::error_code error;
        acceptor.open(protocol, error);
        if (error) {
            return false;
        }
        if (protocol == tcp::v6()) {
            acceptor.set_option(asio::ip::v6_only(false), error); // one socket for IPv4 and IPv6 clients
        }
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
        acceptor.bind(tcp::endpoint(protocol, static_cast<unsigned short>(port)), error);
        if (!error) {
            acceptor.listen(asio::socket_base::max_listen_connections, error);
        }
        if (error) {
            std::error_code ignored;
            acceptor.close(ignored);
            return false;
        }
        return true;
    }

    std::shared_ptr<Session> FindSession(NetHandle handle) {
        std::lock_guard lock(mutex_);
        const auto found = sessions_.find(handle);
        return found == sessions_.end() ? nullptr : found->second;
    }

    void Accept(const std::shared_ptr<Server>& server) {
        if (server->released) {
            return;
        }
        server->acceptor.async_accept(
            server->acceptedPeer, [this, server](std::error_code error, tcp::socket socket) {
                if (server->released) {
                    return;
                }
                if (error) {
                    // Out of descriptors, or a connection reset before it was taken: try again shortly
                    // rather than spinning.
                    server->retryTimer.expires_after(kAcceptRetry);
                    server->retryTimer.async_wait([this, server](std::error_code) { Accept(server); });
                    return;
                }
                Accepted(server, std::move(socket));
                Accept(server);
            });
    }

    void Accepted(const std::shared_ptr<Server>& server, tcp::socket socket) {
        std::error_code error;
        socket.set_option(tcp::no_delay(true), error);
        socket.set_option(asio::socket_base::keep_alive(true), error);
        const int fd = socket.native_handle();
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof kKeepAliveIdleSeconds);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds,
                     sizeof kKeepAliveIntervalSeconds);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
        if (server->sendBufferSize > 0) {
            socket.set_option(asio::socket_base::send_buffer_size(server->sendBufferSize), error);
        }
        if (server->receiveBufferSize > 0) {
            socket.set_option(asio::socket_base::receive_buffer_size(server->receiveBufferSize), error);
        }
        const tcp::endpoint peer = server->acceptedPeer;
        auto session = std::make_shared<Session>(io_, std::move(socket));
        session->handle = NextHandle();
        session->server = server->handle;
        session->callbacks = server->callbacks;
        session->fd = fd;
        {
            std::lock_guard lock(mutex_);
            if (server->released) {
                return;
            }
            sessions_[session->handle] = session;
            index_.Insert(session->handle, session.get());
        }
        WaitForData(session);
        if (session->callbacks.connected != nullptr && !session->released) {
            session->callbacks.connected(peer.port(), session->handle);
        }
    }

    void WaitForData(const std::shared_ptr<Session>& session) {
        session->socket.async_wait(tcp::socket::wait_read, [this, session](std::error_code error) {
            if (session->released || session->gone) {
                return;
            }
            if (error) {
                Gone(session, kGoneError);
                return;
            }
            unsigned char peek = 0;
            const ssize_t waiting = ::recv(session->fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
            if (waiting == 0) {
                Gone(session, kGoneClosed);
                return;
            }
            if (waiting < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    WaitForData(session);
                } else {
                    Gone(session, kGoneError);
                }
                return;
            }
            session->receivedInCallback = false;
            if (session->callbacks.data != nullptr) {
                session->callbacks.data(session->handle);
            }
            if (!session->receivedInCallback && !session->released) {
                // Nobody took the data: drop it here, so that a client that sends cannot make the
                // library spin or hold on to memory.
                unsigned char chunk[kReceiveChunk];
                if (::recv(session->fd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) {
                    Gone(session, kGoneClosed);
                    return;
                }
            }
            WaitForData(session);
        });
    }

    void Write(const std::shared_ptr<Session>& session) {
        {
            std::lock_guard lock(session->mutex);
            if (session->closed) {
                return;
            }
            if (session->outbound.Empty()) {
                session->writeScheduled = false;
                session->inFlight = 0;
                if (session->released) {
                    CloseLocked(*session);
                }
                return;
            }
            session->writing.Swap(session->outbound);
            session->outbound.Clear();
            session->inFlight = session->writing.Size();
        }
        asio::async_write(session->socket, asio::buffer(session->writing.Data(), session->writing.Size()),
                          [this, session](std::error_code error, std::size_t) {
                              session->writing.Clear();
                              if (error) {
                                  Gone(session, kGoneError);
                                  return;
                              }
                              Write(session);
                          });
    }

    // Reports a client gone, once, and closes it. A released client is closed without a report.
    void Gone(const std::shared_ptr<Session>& session, GoneReason reason) {
        if (session->gone.exchange(true)) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            sessions_.erase(session->handle);
            index_.Erase(session->handle);
        }
        Close(*session);
        if (!session->released && session->callbacks.gone != nullptr) {
            session->callbacks.gone(session->handle, reason);
        }
    }

    // Lets a released client receive what was queued for it, then closes it.
    void Linger(const std::shared_ptr<Session>& session) {
        {
            std::lock_guard lock(session->mutex);
            if (session->closed) {
                return;
            }
            if (!session->writeScheduled) {
                CloseLocked(*session);
                return;
            }
        }
        session->lingerTimer.expires_after(kLingerLimit);
        session->lingerTimer.async_wait([session](std::error_code error) {
            if (!error) {
                Close(*session);
            }
        });
    }

    static void Close(Session& session) {
        std::lock_guard lock(session.mutex);
        CloseLocked(session);
    }

    static void CloseLocked(Session& session) {
        if (session.closed) {
            return;
        }
        session.closed = true;
        session.fd = -1;
        session.outbound.Release();
        std::error_code ignored;
        session.socket.shutdown(tcp::socket::shutdown_both, ignored);
        session.socket.close(ignored);
        session.lingerTimer.cancel();
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    SpinLock mutex_; // guards the tables, for a few instructions at a time
    std::unordered_map<NetHandle, std::shared_ptr<Server>> servers_;
    std::unordered_map<NetHandle, std::shared_ptr<Session>> sessions_;
    networkdriver::HandleIndex<Session> index_; // the same sessions, for SendData
    std::atomic<NetHandle> next_{1};
    std::thread thread_;
};

} // namespace

NetHandle InitializeSocketWithCallbackANDString(ClientDataCallbackFn dataCallback,
                                                ClientGoneCallbackFn goneCallback,
                                                ClientConnectedCallbackFn connectedCallback,
                                                std::int32_t /*flags*/, std::int32_t port,
                                                std::int32_t /*version*/, std::int32_t /*mode*/,
                                                const char* /*ownAddress*/, const char* /*multicastGroup*/,
                                                std::int32_t sendBufferSize, std::int32_t receiveBufferSize) {
    try {
        return Driver::Instance().Listen({dataCallback, goneCallback, connectedCallback}, port,
                                         sendBufferSize, receiveBufferSize);
    } catch (...) {
        return 0;
    }
}

std::int32_t SendData(NetHandle client, const void* bytes, std::int32_t length) {
    try {
        return Driver::Instance().Send(client, bytes, length);
    } catch (...) {
        return -1;
    }
}

std::int32_t ReceiveData(NetHandle client, std::int32_t* value) {
    try {
        return Driver::Instance().Receive(client, value);
    } catch (...) {
        return -1;
    }
}

std::int32_t ProcessSocketMessage(NetHandle /*client*/, std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
    return 0;
}

std::int32_t ReleaseSocket(NetHandle handle) {
    try {
        return Driver::Instance().Release(handle);
    } catch (...) {
        return -1;
    }
}
