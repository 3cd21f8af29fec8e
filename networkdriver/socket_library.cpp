// The relay server: one asio I/O thread of the library's own runs every socket. SendData only queues;
// the I/O thread writes. Callbacks run on the I/O thread and may wait for the program's window thread,
// so nothing a caller does here ever waits for the I/O thread.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "diagnostics/failures.h"
#include "diagnostics/rate_limit.h"
#include "networkdriver/access.h"
#include "networkdriver/client_statistics.h"
#include "networkdriver/handle_index.h"
#include "networkdriver/network_driver.h"

namespace {

using asio::ip::tcp;

constexpr std::size_t kQueueLimit = 4 * 1024 * 1024;
// SendDataToEach wakes the I/O thread once for this many clients that need a write.
constexpr std::size_t kWakesPerTask = 16;
constexpr std::size_t kReceiveChunk = 64 * 1024;
// A client's queue grows in chunks from the first size, doubling, up to the largest.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = 64 * 1024;
// What a client's queue keeps of the chunks it has written, for the next frames.
constexpr std::size_t kSpareLimit = 64 * 1024;
constexpr auto kLingerLimit = std::chrono::seconds(2);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// A refused address is reported at most once in this time; the record of them is pruned past this size.
constexpr auto kRefusalQuiet = std::chrono::minutes(1);
constexpr std::size_t kRefusalRecord = 4096;
// A peer that vanished without a word is found within about half a minute.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;
// Keepalive only probes an idle connection; one that has frames waiting for an acknowledgement that never
// comes is given up after the same time.
constexpr unsigned kUserTimeoutMs =
    (kKeepAliveIdleSeconds + kKeepAliveIntervalSeconds * kKeepAliveProbes) * 1000;

struct Callbacks {
    ClientDataCallbackFn data = nullptr;
    ClientGoneCallbackFn gone = nullptr;
    ClientConnectedCallbackFn connected = nullptr;
};

struct Server;

// A run of queued bytes. A client's queue is a list of these, so that appending never moves what is
// already queued: the only copy made under a client's lock is the caller's own frame into room that is
// already there.
struct Chunk {
    Chunk() = default;
    Chunk(std::unique_ptr<unsigned char[]> allocated, std::size_t room)
        : bytes(std::move(allocated)), capacity(room) {}
    // A chunk moved from is empty and has no room, so it is never written into.
    Chunk(Chunk&& other) noexcept
        : bytes(std::move(other.bytes)), size(std::exchange(other.size, 0)),
          capacity(std::exchange(other.capacity, 0)) {}
    Chunk& operator=(Chunk&& other) noexcept {
        bytes = std::move(other.bytes);
        size = std::exchange(other.size, 0);
        capacity = std::exchange(other.capacity, 0);
        return *this;
    }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    ~Chunk() = default;

    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
    std::size_t capacity = 0;

    [[nodiscard]] std::size_t Room() const { return capacity - size; }
    void Put(const unsigned char* data, std::size_t length) {
        std::memcpy(bytes.get() + size, data, length);
        size += length;
    }
};

Chunk MakeChunk(std::size_t capacity) {
    return {std::make_unique_for_overwrite<unsigned char[]>(capacity), capacity};
}

// Guards what SendData touches: the tables, and each client's queue. Every side holds it for a few
// instructions: no system call, sweep or copy of more than one frame happens under it, and memory is
// allocated under it only when a table or a queue's list of chunks grows. So a waiter spins for a
// moment. Letting go is a plain store, which the send path pays for once per client and frame. A waiter that
// still finds it held after spinning (its holder was preempted, perhaps by a thread of higher priority: the
// reader may run at another) yields, and then sleeps in short naps, so that it never keeps the holder off a
// core.
class ShortLock {
public:
    void lock() noexcept {
        if (!locked_.exchange(true, std::memory_order_acquire)) {
            return;
        }
        LockContended();
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    void LockContended() noexcept {
        for (int waited = 0;; ++waited) {
            if (!locked_.load(std::memory_order_relaxed) &&
                !locked_.exchange(true, std::memory_order_acquire)) {
                return;
            }
            if (waited < 100) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            } else if (waited < 120) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    }

    std::atomic<bool> locked_{false};
};

struct Session : std::enable_shared_from_this<Session> {
    Session(asio::io_context& io, tcp::socket connected) : socket(std::move(connected)), lingerTimer(io) {
        full.reserve(4);
        spares.reserve(4);
        writing.reserve(4);
        recycled.reserve(4);
    }

    NetHandle handle = 0;
    NetHandle server = 0;
    Callbacks callbacks;
    std::string peer;    // "address port", set before the session is entered and never changed
    std::string address; // the peer's address alone, likewise
    tcp::socket socket;  // the I/O thread's alone
    asio::steady_timer lingerTimer;

    // What SendData touches for every frame, in one cache line of its own.
    alignas(64) ShortLock mutex; // guards the members down to nextCapacity
    bool writeScheduled = false;
    bool closed = false;
    // The bytes in full and tail (the low half) and the frames taken since the I/O thread last took
    // the queue (the high half): one word, so that the send path counts its frame in the addition that
    // queues its bytes. The high half cannot overflow: no more frames come between two takes than bytes
    // fit in the queue, each frame being at least a byte.
    std::uint64_t queuedAndFrames = 0;
    std::size_t inFlight = 0;  // bytes being written
    Chunk tail;                // the chunk frames are appended to, after the full ones
    std::uint64_t frames = 0;  // frames taken before the queue was last taken
    std::size_t maxQueued = 0; // the most bytes queued and in flight at once
    // Touched once a chunk rather than once a frame.
    std::vector<Chunk> full;
    // Written chunks kept for the next frames (up to kSpareLimit bytes), so that a steady stream
    // allocates nothing and never touches fresh pages.
    std::vector<Chunk> spares;
    std::size_t nextCapacity = kFirstChunk;

    static constexpr std::uint64_t kOneFrame = std::uint64_t{1} << 32;
    [[nodiscard]] std::size_t Queued() const { return queuedAndFrames & (kOneFrame - 1); }
    [[nodiscard]] std::uint64_t Frames() const { return frames + (queuedAndFrames >> 32); }
    // Empties the count of queued bytes, keeping the frames'. The lock is held.
    void TakeQueued() {
        frames += queuedAndFrames >> 32;
        queuedAndFrames = 0;
    }

    // Makes chunk the one frames are appended to; the old one, if it holds anything, waits in turn.
    // The lock is held.
    void NewTail(Chunk chunk) {
        if (tail.size > 0) {
            full.push_back(std::move(tail));
        } else if (tail.bytes) {
            spares.push_back(std::move(tail));
        }
        tail = std::move(chunk);
    }

    alignas(64) std::atomic<bool> released{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> receivedInCallback{false};
    std::atomic<std::uint64_t> bytesSent{0}; // written by the I/O thread
    std::int64_t since = 0;                  // connected, in ms since the epoch; set before entry
    std::vector<Chunk> writing;              // the I/O thread's alone
    std::vector<Chunk> recycled;             // the I/O thread's alone
    std::vector<asio::const_buffer> gather;

    // Keeps the descriptor open, and its number unused by another, while ReceiveData reads it on another
    // thread. The send path never takes it.
    std::mutex descriptorMutex;
    int fd = -1; // the socket's descriptor while it is open; set by the I/O thread, under the mutex
};

// One listening socket of a server; a server has one for every address it listens on.
struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io), retryTimer(io) {}

    int fd = -1; // stays open until the I/O thread closes the acceptor
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    // Filled by accept itself: a peer that resets right after connecting still has an address, and
    // is reported connected and then gone rather than silently never seen.
    tcp::endpoint acceptedPeer; // the I/O thread's alone
};

struct Server {
    NetHandle handle = 0;
    Callbacks callbacks;
    int sendBufferSize = 0;
    int receiveBufferSize = 0;
    networkdriver::AccessRules rules;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::atomic<bool> released{false};
    // Guarded by the table lock: its clients in the tables, and how many come from each address.
    std::unordered_set<NetHandle> children;
    std::unordered_map<std::string, int> perAddress;
};

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

// A peer's address as a person reads it: an IPv4 peer of the dual-stack socket without its IPv6 dress.
std::string AddressText(const tcp::endpoint& peer) {
    asio::ip::address address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Driver {
public:
    static Driver& Instance() {
        static Driver driver;
        return driver;
    }

    Driver() : work_(asio::make_work_guard(io_)), thread_([this] { Run(); }) {}

    ~Driver() {
        std::unordered_map<NetHandle, std::shared_ptr<Server>> servers;
        std::unordered_map<NetHandle, std::shared_ptr<Session>> sessions;
        {
            std::lock_guard lock(mutex_);
            servers.swap(servers_);
            sessions.swap(sessions_);
            index_ = {};
        }
        for (auto& [handle, server] : servers) {
            server->released = true;
        }
        for (auto& [handle, session] : sessions) {
            session->released = true;
        }
        asio::post(io_, [servers = std::move(servers), sessions = std::move(sessions)] {
            for (const auto& [handle, server] : servers) {
                CloseListeners(*server);
            }
            for (const auto& [handle, session] : sessions) {
                Close(*session, false);
            }
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
        auto server = std::make_shared<Server>();
        server->callbacks = callbacks;
        server->sendBufferSize = sendBufferSize;
        server->receiveBufferSize = receiveBufferSize;
        {
            std::lock_guard lock(rulesMutex_);
            server->rules = rules_;
        }
        if (server->rules.listen.empty()) {
            auto listener = std::make_unique<Listener>(io_);
            if (!Open(listener->acceptor, tcp::endpoint(tcp::v6(), static_cast<unsigned short>(port))) &&
                !Open(listener->acceptor, tcp::endpoint(tcp::v4(), static_cast<unsigned short>(port)))) {
                return 0;
            }
            server->listeners.push_back(std::move(listener));
        }
        for (const std::string& address : server->rules.listen) {
            std::error_code error;
            const asio::ip::address parsed = asio::ip::make_address(address, error);
            auto listener = std::make_unique<Listener>(io_);
            if (error ||
                !Open(listener->acceptor, tcp::endpoint(parsed, static_cast<unsigned short>(port)))) {
                CloseListeners(*server);
                return 0;
            }
            server->listeners.push_back(std::move(listener));
        }
        for (auto& listener : server->listeners) {
            listener->fd = listener->acceptor.native_handle();
        }
        server->handle = NextHandle();
        {
            std::lock_guard lock(mutex_);
            servers_[server->handle] = server;
        }
        asio::post(io_, [this, server] {
            for (auto& listener : server->listeners) {
                Accept(server, *listener);
            }
        });
        return server->handle;
    }

    // What one locked step of a send did with a client's queue.
    enum class Appended { kQueued, kQueuedWake, kOverflow, kNeedsChunk, kNoClient };

    // Appends the frame to the session's queue, with the table's lock and the session's held: into room
    // at hand, a spare, or `fresh` (a chunk made and filled outside the locks); else says how big a chunk
    // it needs in `wanted`. Sets `wake` when the I/O thread must be told, or the client dropped.
    static Appended AppendLocked(Session& session, const unsigned char* data, std::size_t size, Chunk& fresh,
                                 std::size_t& wanted, std::shared_ptr<Session>& wake) {
        if (session.closed) {
            return Appended::kNoClient;
        }
        if (size == 0) {
            return Appended::kQueued; // nothing to queue; the call still tells whether the client is there
        }
        if (session.Queued() + session.inFlight + size > kQueueLimit) {
            session.maxQueued = std::max(session.maxQueued, session.Queued() + session.inFlight);
            wake = session.shared_from_this();
            return Appended::kOverflow;
        }
        if (session.tail.Room() >= size) {
            session.tail.Put(data, size);
        } else if (fresh.bytes) {
            session.NewTail(std::move(fresh));
        } else if (!session.spares.empty() && session.spares.back().capacity >= size) {
            Chunk reused = std::move(session.spares.back());
            session.spares.pop_back();
            reused.size = 0;
            reused.Put(data, size);
            session.NewTail(std::move(reused));
        } else {
            wanted = std::max(size, session.nextCapacity);
            session.nextCapacity = std::min(session.nextCapacity * 2, kLargestChunk);
            return Appended::kNeedsChunk;
        }
        session.queuedAndFrames += size + Session::kOneFrame;
        if (!session.writeScheduled) {
            session.writeScheduled = true;
            wake = session.shared_from_this();
            return Appended::kQueuedWake;
        }
        return Appended::kQueued;
    }

    std::int32_t Send(NetHandle handle, const void* bytes, std::int32_t length) {
        if (length < 0 || (bytes == nullptr && length > 0)) {
            return -1;
        }
        const auto size = static_cast<std::size_t>(length);
        const auto* data = static_cast<const unsigned char*>(bytes);
        // A frame that fits in no chunk at hand goes into a new one, allocated and filled outside the
        // locks; the locked step then only links it in.
        Chunk fresh;
        for (;;) {
            std::shared_ptr<Session> wake;
            std::size_t wanted = 0;
            Appended appended = Appended::kNoClient;
            {
                // The reader thread calls this once per client for every frame, so it takes no reference
                // on the session (the count's cache line would bounce between this thread and the I/O
                // thread): the table's lock keeps the session alive while its own lock guards the queue.
                // The I/O thread never takes the two locks the other way round.
                std::lock_guard tables(mutex_);
                Session* const found = index_.Find(handle);
                if (found == nullptr) {
                    return -1;
                }
                {
                    std::lock_guard lock(found->mutex);
                    appended = AppendLocked(*found, data, size, fresh, wanted, wake);
                }
                // A relay sends each frame to its clients in the order they came, and handles are given
                // out in that order: the next call most likely names the next handle, so its queue is
                // fetched into the cache while the caller moves on.
                if (Session* const next = index_.PeekNext(handle)) {
                    __builtin_prefetch(&next->mutex, 1);
                }
            }
            switch (appended) {
            case Appended::kNoClient:
                return -1;
            case Appended::kNeedsChunk:
                fresh = MakeChunk(wanted);
                fresh.Put(data, size);
                continue;
            case Appended::kOverflow:
                asio::post(io_, [this, wake] { Gone(wake, kGoneTooSlow, "too slow"); });
                return -1;
            case Appended::kQueuedWake:
                asio::post(io_, [this, wake] { Write(wake); });
                return length;
            case Appended::kQueued:
                return length;
            }
        }
    }

    // The same frame to each client, in the order given, as Send would one call after the other; but the
    // tables are locked once for them all, and the I/O thread is woken once for every client that needs
    // it. A client whose queue needs a new chunk gets the frame through Send afterwards, so that nothing
    // is allocated under the lock; no other frame of this caller can come between.
    std::int32_t SendEach(const NetHandle* handles, std::int32_t count, const void* bytes,
                          std::int32_t length) {
        if (length < 0 || count < 0 || (bytes == nullptr && length > 0) ||
            (handles == nullptr && count > 0)) {
            return -1;
        }
        const auto size = static_cast<std::size_t>(length);
        const auto* data = static_cast<const unsigned char*>(bytes);
        std::vector<std::shared_ptr<Session>> wakes;
        std::vector<std::shared_ptr<Session>> overflows;
        std::vector<NetHandle> later;
        std::int32_t taken = 0;
        {
            std::lock_guard tables(mutex_);
            Chunk none;
            for (std::int32_t i = 0; i < count; ++i) {
                Session* const found = index_.Find(handles[i]);
                if (found == nullptr) {
                    continue;
                }
                if (Session* const next = index_.PeekNext(handles[i])) {
                    __builtin_prefetch(&next->mutex, 1);
                }
                std::shared_ptr<Session> wake;
                std::size_t wanted = 0;
                Appended appended = Appended::kNoClient;
                {
                    std::lock_guard lock(found->mutex);
                    appended = AppendLocked(*found, data, size, none, wanted, wake);
                }
                switch (appended) {
                case Appended::kQueuedWake:
                    wakes.push_back(std::move(wake));
                    ++taken;
                    // The first clients' writes start while the frame is still being queued for the
                    // others, a few clients a task.
                    if (wakes.size() == kWakesPerTask) {
                        PostWrites(std::move(wakes));
                        wakes = {};
                    }
                    break;
                case Appended::kQueued:
                    ++taken;
                    break;
                case Appended::kOverflow:
                    overflows.push_back(std::move(wake));
                    break;
                case Appended::kNeedsChunk:
                    later.push_back(handles[i]);
                    break;
                case Appended::kNoClient:
                    break;
                }
            }
        }
        for (const NetHandle handle : later) {
            taken += Send(handle, bytes, length) >= 0 ? 1 : 0;
        }
        for (auto& session : overflows) {
            asio::post(io_, [this, session] { Gone(session, kGoneTooSlow, "too slow"); });
        }
        if (!wakes.empty()) {
            PostWrites(std::move(wakes));
        }
        return taken;
    }

    void PostWrites(std::vector<std::shared_ptr<Session>> sessions) {
        asio::post(io_, [this, sessions = std::move(sessions)] {
            for (const auto& session : sessions) {
                Write(session);
            }
        });
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
            std::lock_guard lock(session->descriptorMutex);
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

    std::string Peer(NetHandle handle) {
        const std::shared_ptr<Session> session = FindSession(handle);
        return session ? session->peer : std::string();
    }

    std::int32_t Release(NetHandle handle) {
        std::shared_ptr<Session> session;
        std::shared_ptr<Server> server;
        std::unordered_set<NetHandle> childHandles;
        {
            std::lock_guard lock(mutex_);
            if (const auto found = sessions_.find(handle); found != sessions_.end()) {
                session = found->second;
                EraseLocked(*session);
                session->released = true;
            } else if (const auto foundServer = servers_.find(handle); foundServer != servers_.end()) {
                server = foundServer->second;
                servers_.erase(foundServer);
                server->released = true;
                childHandles.swap(server->children);
            } else {
                return -1;
            }
        }
        if (session) {
            Departed(session, "released");
            asio::post(io_, [this, session] { Linger(session); });
            return 0;
        }
        // Stop listening now, not when the I/O thread gets to it, so that the port can be listened on
        // again at once. The descriptor itself is closed on the I/O thread.
        for (const auto& listener : server->listeners) {
            ::shutdown(listener->fd, SHUT_RDWR);
        }
        // One client at a time, so that the table lock is never held for a sweep over them all.
        std::vector<std::shared_ptr<Session>> children;
        children.reserve(childHandles.size());
        for (const NetHandle child : childHandles) {
            std::lock_guard lock(mutex_);
            if (const auto found = sessions_.find(child); found != sessions_.end()) {
                children.push_back(found->second);
                EraseLocked(*found->second);
                children.back()->released = true;
            }
        }
        for (const auto& child : children) {
            Departed(child, "relay stopped");
        }
        asio::post(io_, [this, server, children = std::move(children)] {
            CloseListeners(*server);
            for (const auto& child : children) {
                Linger(child);
            }
        });
        return 0;
    }

private:
    void Run() {
        // Named, so that an operator's tools (top -H, gdb) tell it from the window's threads.
        ::pthread_setname_np(::pthread_self(), "kestavo-relay");
        for (;;) {
            // A handler that threw must not end the thread that every client depends on.
            try {
                io_.run();
                return;
            } catch (const std::exception& exception) {
                const std::string what = std::string("a relay handler (") + exception.what() + ")";
                kestavo::diagnostics::ReportFailure(what.c_str(), 0);
            } catch (...) {
                kestavo::diagnostics::ReportFailure("a relay handler", 0);
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

    static bool Open(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
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
        if (error) {
            std::error_code ignored;
            acceptor.close(ignored);
            return false;
        }
        return true;
    }

    static void CloseListeners(Server& server) {
        for (auto& listener : server.listeners) {
            std::error_code ignored;
            listener->acceptor.close(ignored);
            listener->retryTimer.cancel();
        }
    }

    std::shared_ptr<Session> FindSession(NetHandle handle) {
        std::lock_guard lock(mutex_);
        const auto found = sessions_.find(handle);
        return found == sessions_.end() ? nullptr : found->second;
    }

    // Takes a session out of the tables. The table lock is held.
    void EraseLocked(const Session& session) {
        sessions_.erase(session.handle);
        index_.Erase(session.handle);
        if (const auto owner = servers_.find(session.server); owner != servers_.end()) {
            Server& server = *owner->second;
            if (server.children.erase(session.handle) > 0) {
                if (const auto count = server.perAddress.find(session.address);
                    count != server.perAddress.end() && --count->second <= 0) {
                    server.perAddress.erase(count);
                }
            }
        }
    }

    void Accept(const std::shared_ptr<Server>& server, Listener& listener) {
        if (server->released) {
            return;
        }
        listener.acceptor.async_accept(
            listener.acceptedPeer, [this, server, &listener](std::error_code error, tcp::socket socket) {
                if (server->released) {
                    return;
                }
                if (error) {
                    // Out of descriptors, or a connection reset before it was taken: the clients already
                    // connected are served on, and accepting is tried again shortly rather than in a spin.
                    if (error != asio::error::connection_aborted) {
                        kestavo::diagnostics::ReportFailure("accepting a relay client", error.value());
                    }
                    listener.retryTimer.expires_after(kAcceptRetry);
                    listener.retryTimer.async_wait(
                        [this, server, &listener](std::error_code) { Accept(server, listener); });
                    return;
                }
                Accepted(server, std::move(socket), listener.acceptedPeer);
                Accept(server, listener);
            });
    }

    void Accepted(const std::shared_ptr<Server>& server, tcp::socket socket, const tcp::endpoint& peer) {
        const std::string address = AddressText(peer);
        const std::string peerText = address + " " + std::to_string(peer.port());
        if (const char* refusal = Refusal(*server, peer, address)) {
            // Closed at once with a reset: no handle, no table entry, not a byte.
            std::error_code ignored;
            socket.set_option(asio::socket_base::linger(true, 0), ignored);
            socket.close(ignored);
            ReportRefusal(*server, address, peerText, refusal);
            return;
        }
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
        if (server->sendBufferSize > 0) {
            socket.set_option(asio::socket_base::send_buffer_size(server->sendBufferSize), error);
            Require(error, "setting SO_SNDBUF on a client connection");
        }
        if (server->receiveBufferSize > 0) {
            socket.set_option(asio::socket_base::receive_buffer_size(server->receiveBufferSize), error);
            Require(error, "setting SO_RCVBUF on a client connection");
        }
        auto session = std::make_shared<Session>(io_, std::move(socket));
        session->since = NowMs();
        session->peer = peerText;
        session->address = address;
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
            server->children.insert(session->handle);
            ++server->perAddress[address];
        }
        {
            std::lock_guard lock(rosterMutex_);
            roster_.push_back(session);
        }
        WaitForData(session);
        if (session->callbacks.connected != nullptr && !session->released) {
            session->callbacks.connected(peer.port(), session->handle);
        }
    }

    // Why the server's rules refuse the peer, or nullptr. Only the I/O thread enters clients, so the
    // counts cannot grow between this check and the entry.
    const char* Refusal(Server& server, const tcp::endpoint& peer, const std::string& address) {
        const networkdriver::AccessRules& rules = server.rules;
        if (!rules.allow.empty()) {
            std::array<std::uint8_t, 16> bytes{};
            const asio::ip::address from = peer.address();
            bytes = from.is_v6() ? from.to_v6().to_bytes()
                                 : asio::ip::make_address_v6(asio::ip::v4_mapped, from.to_v4()).to_bytes();
            if (std::none_of(
                    rules.allow.begin(), rules.allow.end(),
                    [&](const networkdriver::Network& network) { return Contains(network, bytes); })) {
                return "not allowed";
            }
        }
        std::lock_guard lock(mutex_);
        if (rules.maxClients > 0 && server.children.size() >= static_cast<std::size_t>(rules.maxClients)) {
            return "too many clients";
        }
        if (rules.maxPerAddress > 0) {
            const auto count = server.perAddress.find(address);
            if (count != server.perAddress.end() && count->second >= rules.maxPerAddress) {
                return "too many from this address";
            }
        }
        return nullptr;
    }

    // Tells the program of a refusal, at most once a minute for each address, so that a flood of
    // connections cannot flood its log. Runs on the I/O thread, which alone keeps the record.
    void ReportRefusal(const Server& server, const std::string& address, const std::string& peer,
                       const char* reason) {
        if (refusals_.Pass(address, std::chrono::steady_clock::now()) && server.rules.refused) {
            server.rules.refused(peer, reason);
        }
    }

    void WaitForData(const std::shared_ptr<Session>& session) {
        session->socket.async_wait(tcp::socket::wait_read, [this, session](std::error_code error) {
            if (session->released || session->gone) {
                return;
            }
            if (error) {
                Gone(session, kGoneError, "reset");
                return;
            }
            unsigned char peek = 0;
            const ssize_t waiting = ::recv(session->fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
            if (waiting == 0) {
                Gone(session, kGoneClosed, "closed by the peer");
                return;
            }
            if (waiting < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    WaitForData(session);
                } else {
                    Gone(session, kGoneError, errno == ETIMEDOUT ? "keepalive" : "reset");
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
                    Gone(session, kGoneClosed, "closed by the peer");
                    return;
                }
            }
            WaitForData(session);
        });
    }

    void Write(const std::shared_ptr<Session>& session) {
        // What the last write took is kept for reuse, up to the limit, and the rest freed here, outside
        // the lock.
        std::size_t kept = 0;
        for (Chunk& chunk : session->writing) {
            if (kept + chunk.capacity <= kSpareLimit) {
                kept += chunk.capacity;
                chunk.size = 0;
                session->recycled.push_back(std::move(chunk));
            }
        }
        session->writing.clear();
        bool finished = false;
        {
            std::lock_guard lock(session->mutex);
            if (session->closed) {
                return;
            }
            if (session->spares.empty()) {
                session->spares.swap(session->recycled);
            }
            if (session->Queued() == 0) {
                session->writeScheduled = false;
                session->inFlight = 0;
                finished = session->released;
            } else {
                // The most queued at once, seen here rather than on the send path: what waits now and what
                // the write that just ended carried were queued together a moment ago.
                session->maxQueued = std::max(session->maxQueued, session->Queued() + session->inFlight);
                session->writing.swap(session->full);
                session->writing.push_back(std::move(session->tail));
                // The next frames go straight into a spare, if there is one.
                if (!session->spares.empty()) {
                    session->tail = std::move(session->spares.back());
                    session->spares.pop_back();
                }
                session->inFlight = session->Queued();
                session->TakeQueued();
            }
        }
        session->recycled.clear(); // the spares not taken, if the queue still had some
        if (finished) {
            Close(*session, false);
            return;
        }
        if (session->writing.empty()) {
            return;
        }
        const auto written = [this, session](std::error_code error, std::size_t bytes) {
            session->bytesSent.fetch_add(bytes, std::memory_order_relaxed);
            if (error) {
                Gone(session, kGoneError, error == asio::error::timed_out ? "keepalive" : "reset");
                return;
            }
            Write(session);
        };
        // Most writes take one chunk; that one goes out as a plain buffer, since a buffer sequence is
        // copied into every step of the write.
        if (session->writing.size() == 1) {
            const Chunk& only = session->writing.front();
            asio::async_write(session->socket, asio::buffer(only.bytes.get(), only.size), written);
            return;
        }
        session->gather.clear();
        for (const Chunk& chunk : session->writing) {
            session->gather.emplace_back(chunk.bytes.get(), chunk.size);
        }
        asio::async_write(session->socket, session->gather, written);
    }

    static networkdriver::ClientStatistics StatisticsOf(Session& session) {
        networkdriver::ClientStatistics statistics;
        statistics.handle = session.handle;
        statistics.peer = session.peer;
        statistics.connectedSince = session.since;
        statistics.bytesSent = session.bytesSent.load(std::memory_order_relaxed);
        std::lock_guard lock(session.mutex);
        statistics.framesSent = session.Frames();
        statistics.queuedBytes = session.Queued() + session.inFlight;
        statistics.maxQueuedBytes = session.maxQueued;
        return statistics;
    }

    // Moves a client from the roster to the record of those that left, once, with why.
    void Departed(const std::shared_ptr<Session>& session, const char* why) {
        networkdriver::ClientStatistics statistics = StatisticsOf(*session);
        statistics.left = why;
        statistics.leftAt = NowMs();
        std::lock_guard lock(rosterMutex_);
        const auto found = std::find(roster_.begin(), roster_.end(), session);
        if (found == roster_.end()) {
            return;
        }
        roster_.erase(found);
        ++departures_[why];
        left_.push_back(std::move(statistics));
        if (left_.size() > networkdriver::kClientsRemembered) {
            left_.pop_front();
        }
    }

public:
    networkdriver::ClientSnapshot Snapshot() {
        std::vector<std::shared_ptr<Session>> live;
        networkdriver::ClientSnapshot snapshot;
        {
            std::lock_guard lock(rosterMutex_);
            live = roster_;
            snapshot.left.assign(left_.begin(), left_.end());
            snapshot.departures = departures_;
        }
        for (const auto& session : live) {
            snapshot.connected.push_back(StatisticsOf(*session));
        }
        return snapshot;
    }

private:
    // Reports a client gone, once, and closes it. A released client is closed without a report. A client
    // that failed or fell too far behind is reset, so that the kernel drops what it still holds for it
    // at once rather than keeping it for as long as the peer keeps its window shut.
    void Gone(const std::shared_ptr<Session>& session, GoneReason reason, const char* why) {
        if (session->gone.exchange(true)) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            EraseLocked(*session);
        }
        Departed(session, why);
        Close(*session, reason != kGoneClosed);
        if (!session->released && session->callbacks.gone != nullptr) {
            session->callbacks.gone(session->handle, reason);
        }
    }

    // Lets a released client receive what was queued for it, then closes it; one that has not taken it
    // within the limit is reset.
    void Linger(const std::shared_ptr<Session>& session) {
        {
            std::lock_guard lock(session->mutex);
            if (session->closed) {
                return;
            }
            if (session->writeScheduled) {
                session->lingerTimer.expires_after(kLingerLimit);
                session->lingerTimer.async_wait([session](std::error_code error) {
                    if (!error) {
                        Close(*session, true);
                    }
                });
                return;
            }
        }
        Close(*session, false);
    }

    // Closes the connection, on the I/O thread. Everything slow (the system calls, freeing the queue)
    // happens after the lock is let go.
    static void Close(Session& session, bool abortive) {
        std::vector<Chunk> dropped;
        Chunk tail;
        std::vector<Chunk> spares;
        {
            std::lock_guard lock(session.mutex);
            if (session.closed) {
                return;
            }
            session.closed = true;
            dropped.swap(session.full);
            tail = std::move(session.tail);
            spares.swap(session.spares);
            session.TakeQueued();
        }
        {
            std::lock_guard lock(session.descriptorMutex);
            session.fd = -1;
        }
        std::error_code ignored;
        if (abortive) {
            session.socket.set_option(asio::socket_base::linger(true, 0), ignored);
        } else {
            session.socket.shutdown(tcp::socket::shutdown_both, ignored);
        }
        session.socket.close(ignored);
        session.lingerTimer.cancel();
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    // Guards the tables below and each server's children. Held for a few instructions, but for entering
    // a client on the I/O thread, which allocates its entries and, when a table has to grow, copies the
    // live entries into one twice its size.
    ShortLock mutex_;
    std::unordered_map<NetHandle, std::shared_ptr<Server>> servers_;
    std::unordered_map<NetHandle, std::shared_ptr<Session>> sessions_;
    networkdriver::HandleIndex<Session> index_; // the same sessions, for SendData
    std::atomic<NetHandle> next_{1};
    // Every connected client, and the latest that left, for the program's view of them. Its own mutex:
    // the send path never takes it.
    std::mutex rosterMutex_;
    std::vector<std::shared_ptr<Session>> roster_;
    std::deque<networkdriver::ClientStatistics> left_;
    std::map<std::string, std::uint64_t> departures_;
    std::mutex rulesMutex_;
    networkdriver::AccessRules rules_; // for the servers started next; guarded by rulesMutex_
    kestavo::diagnostics::RateLimit refusals_{kRefusalQuiet, kRefusalRecord}; // the I/O thread's
    std::thread thread_;

public:
    void SetRules(networkdriver::AccessRules rules) {
        std::lock_guard lock(rulesMutex_);
        rules_ = std::move(rules);
    }
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

std::int32_t SendDataToEach(const NetHandle* clients, std::int32_t count, const void* bytes,
                            std::int32_t length) {
    try {
        return Driver::Instance().SendEach(clients, count, bytes, length);
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

namespace networkdriver {

void SetAccessRules(AccessRules rules) {
    Driver::Instance().SetRules(std::move(rules));
}

ClientSnapshot TakeClientSnapshot() {
    return Driver::Instance().Snapshot();
}

} // namespace networkdriver

std::int32_t GetPeerAddressString(NetHandle client, char* buffer, std::int32_t size) {
    if (buffer == nullptr || size < 1) {
        return -1;
    }
    try {
        const std::string peer = Driver::Instance().Peer(client);
        const std::size_t length = std::min(peer.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, peer.data(), length);
        buffer[length] = '\0';
        return peer.empty() ? -1 : 0;
    } catch (...) {
        buffer[0] = '\0';
        return -1;
    }
}

std::int32_t ReleaseSocket(NetHandle handle) {
    try {
        return Driver::Instance().Release(handle);
    } catch (...) {
        return -1;
    }
}
