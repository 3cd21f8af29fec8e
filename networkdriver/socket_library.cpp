// The relay server: one asio I/O thread of the library's own runs every socket. SendData only queues;
// the I/O thread writes. Callbacks run on the I/O thread and may wait for the program's window thread,
// so nothing a caller does here waits for the I/O thread, but PaceSender, which waits only while the
// clients are taking frames (pacing.h).
//
// The parts: accepting.* (listening sockets, a new connection's options, the access rules' networks),
// session.h (a client and a server, the two locks), shared_log.* and client_stream.* (what each client
// is still to be sent), fan_out.* (the clients SendDataToEach sends to, and the pacing), roster.* (the
// clients connected and gone, for the program's view). Here: the tables of servers and clients, the
// I/O sweep that writes, and the six functions.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "diagnostics/failures.h"
#include "diagnostics/rate_limit.h"
#include "networkdriver/accepting.h"
#include "networkdriver/access.h"
#include "networkdriver/client_statistics.h"
#include "networkdriver/fan_out.h"
#include "networkdriver/handle_index.h"
#include "networkdriver/network_driver.h"
#include "networkdriver/roster.h"
#include "networkdriver/session.h"
#include "networkdriver/tls.h"

namespace networkdriver {
ShortLock g_tablesLock;
ShortLock g_queueLock;
} // namespace networkdriver

namespace {

using asio::ip::tcp;
using networkdriver::g_queueLock;
using networkdriver::g_tablesLock;
using networkdriver::Hold;
using networkdriver::Listener;
using networkdriver::Piece;
using networkdriver::Server;
using networkdriver::Session;
using networkdriver::ShortLock;

constexpr std::size_t kReceiveChunk = 64 * 1024;
constexpr auto kLingerLimit = std::chrono::seconds(2);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// Connections taken from the backlog at each turn of the accepting thread. Each completion of an accept
// waits its turn behind the sweeps that write to the clients already there, so a crowd taken one at a
// turn would take as many sweeps as it has members to come in.
constexpr int kAcceptedAtOnce = 256;
// A refused address is reported at most once in this time; the record of them is pruned past this size.
constexpr auto kRefusalQuiet = std::chrono::minutes(1);
constexpr std::size_t kRefusalRecord = 4096;
// What a TLS client's write takes from its stream at once: four records' worth.
constexpr std::size_t kTlsChunk = 64 * 1024;

// A TLS client from its acceptance until its handshake is done, on the handshake thread.
struct Handshake {
    Handshake(asio::io_context& io, tcp::socket accepted, std::shared_ptr<Server> owner,
              const tcp::endpoint& from)
        : socket(std::move(accepted)), timer(io), server(std::move(owner)), peer(from) {}
    tcp::socket socket;
    asio::steady_timer timer;
    std::shared_ptr<Server> server;
    tcp::endpoint peer;
    std::shared_ptr<SSL> ssl;
    bool over = false;
};

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The server whose sender this thread was last told to wait for (by its last SendDataToEach), or 0: so
// that PaceSender, called after every frame, costs nothing while nobody is behind.
thread_local NetHandle t_toPace = 0;

class Driver {
public:
    static Driver& Instance() {
        static Driver driver;
        return driver;
    }

    // The TLS library is set up first, so that its own clean-up at exit comes after this one's: the
    // threads it keeps state for are joined before it lets go of that state.
    Driver()
        : tlsLibrary_(OPENSSL_init_ssl(0, nullptr)), work_(asio::make_work_guard(io_)),
          handshakeWork_(asio::make_work_guard(handshakes_)), handshakeThread_([this] { RunHandshakes(); }),
          thread_([this] { Run(); }) {}

    ~Driver() {
        std::unordered_map<NetHandle, std::shared_ptr<Server>> servers;
        std::unordered_map<NetHandle, std::shared_ptr<Session>> sessions;
        {
            Hold tables(g_tablesLock);
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
        asio::post(io_, [this, servers = std::move(servers), sessions = std::move(sessions)] {
            for (const auto& [handle, server] : servers) {
                CloseListeners(server);
            }
            for (const auto& [handle, session] : sessions) {
                Close(*session, false);
            }
        });
        work_.reset();
        thread_.join(); // run() returns once every socket and timer is closed
        handshakeWork_.reset();
        handshakes_.stop();
        handshakeThread_.join();
        // A server's listeners belong to both threads' contexts, and handlers left in either may hold the
        // server: its listeners go now, while both contexts are there.
        std::vector<std::weak_ptr<Server>> made;
        {
            Hold tables(g_tablesLock);
            made.swap(made_);
        }
        for (const std::weak_ptr<Server>& one : made) {
            if (const std::shared_ptr<Server> server = one.lock()) {
                server->listeners.clear();
            }
        }
    }

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    NetHandle Listen(const networkdriver::Callbacks& callbacks, int port, int sendBufferSize,
                     int receiveBufferSize) {
        if (port < 1 || port > 65535) {
            return 0;
        }
        auto server = std::make_shared<Server>();
        server->callbacks = callbacks;
        server->fanOut = std::make_shared<networkdriver::FanOut>();
        server->sendBufferSize = sendBufferSize;
        server->receiveBufferSize = receiveBufferSize;
        {
            Hold lock(rulesMutex_);
            server->rules = rules_;
            server->tls = tls_;
        }
        const bool tls = server->tls.port > 0 && server->tls.credentials;
        if (tls && (server->tls.port < 1 || server->tls.port > 65535)) {
            return 0;
        }
        // Every address the rules name (else every interface) on each port: the plain one unless only
        // TLS is wanted, and the TLS one.
        // A TLS listener accepts on the handshake thread, so that its clients come to the I/O thread only
        // once they have shaken hands.
        const auto open = [&](int onPort, bool forTls) {
            const auto at = static_cast<unsigned short>(onPort);
            if (server->rules.listen.empty()) {
                auto listener = std::make_unique<Listener>(forTls ? handshakes_ : io_);
                if (!networkdriver::OpenAcceptor(listener->acceptor, tcp::endpoint(tcp::v6(), at)) &&
                    !networkdriver::OpenAcceptor(listener->acceptor, tcp::endpoint(tcp::v4(), at))) {
                    return false;
                }
                listener->tls = forTls;
                server->listeners.push_back(std::move(listener));
            }
            for (const std::string& address : server->rules.listen) {
                std::error_code error;
                const asio::ip::address parsed = asio::ip::make_address(address, error);
                auto listener = std::make_unique<Listener>(forTls ? handshakes_ : io_);
                if (error || !networkdriver::OpenAcceptor(listener->acceptor, tcp::endpoint(parsed, at))) {
                    return false;
                }
                listener->tls = forTls;
                server->listeners.push_back(std::move(listener));
            }
            return true;
        };
        if (((!tls || server->tls.plain) && !open(port, false)) || (tls && !open(server->tls.port, true))) {
            for (auto& listener : server->listeners) {
                std::error_code ignored;
                listener->acceptor.close(ignored); // nothing waits on it yet
            }
            return 0;
        }
        for (auto& listener : server->listeners) {
            listener->fd = listener->acceptor.native_handle();
        }
        server->handle = NextHandle();
        {
            Hold tables(g_tablesLock);
            std::erase_if(made_, [](const std::weak_ptr<Server>& made) { return made.expired(); });
            made_.push_back(server);
            servers_[server->handle] = server;
            Hold queue(g_queueLock);
            fanOuts_[server->handle] = server->fanOut.get();
        }
        for (auto& listener : server->listeners) {
            asio::post(listener->tls ? handshakes_ : io_,
                       [this, server, at = listener.get()] { Accept(server, *at); });
        }
        return server->handle;
    }

    // A client's own bytes, whole, after whatever it was sent before.
    std::int32_t Send(NetHandle handle, const void* bytes, std::int32_t length) {
        if (length < 0 || (bytes == nullptr && length > 0)) {
            return -1;
        }
        const auto size = static_cast<std::size_t>(length);
        const auto* data = static_cast<const unsigned char*>(bytes);
        // A frame that fits in no piece at hand goes into a new one, allocated and filled outside the
        // locks; the locked step then only links it in.
        Piece fresh;
        for (;;) {
            std::shared_ptr<Session> dropped;
            bool post = false;
            {
                Hold tables(g_tablesLock);
                Session* const session = index_.Find(handle);
                if (session == nullptr) {
                    return -1;
                }
                Hold queue(g_queueLock);
                if (session->closed || session->dropping) {
                    return -1;
                }
                if (size == 0) {
                    return 0; // nothing to queue; the call still tells whether the client is there
                }
                networkdriver::FanOut& fanOut = *session->fanOut;
                const std::size_t queued = session->stream.Queued(fanOut.Head());
                if (queued + size > networkdriver::kQueueLimit) {
                    session->maxQueued = std::max(session->maxQueued, queued);
                    fanOut.Drop(*session);
                    dropped = session->shared_from_this();
                } else if (!fanOut.AppendOwn(*session, data, size, fresh)) {
                    fresh.capacity = std::max(size, networkdriver::kOwnPiece);
                } else {
                    post = Ready(*session);
                }
            }
            if (dropped) {
                asio::post(io_, [this, dropped] { Gone(dropped, kGoneTooSlow, "too slow"); });
                return -1;
            }
            if (fresh.capacity > 0 && !fresh.own) {
                fresh.own = std::make_unique_for_overwrite<unsigned char[]>(fresh.capacity);
                std::memcpy(fresh.own.get(), data, size);
                fresh.size = size;
                continue;
            }
            if (post) {
                PostSweep();
            }
            return length;
        }
    }

    // The same bytes to each client of the server, as Send to each in turn, but put once into the log
    // that the server's clients' streams share (fan_out.h).
    std::int32_t SendEach(NetHandle server, const NetHandle* handles, std::int32_t count, const void* bytes,
                          std::int32_t length) {
        if (length < 0 || count < 0 || (bytes == nullptr && length > 0) ||
            (handles == nullptr && count > 0)) {
            return -1;
        }
        const auto size = static_cast<std::size_t>(length);
        const auto* data = static_cast<const unsigned char*>(bytes);
        std::vector<std::shared_ptr<Session>> dropped;
        bool post = false;
        std::int32_t taken = 0;
        {
            Hold queue(g_queueLock);
            networkdriver::FanOut* const found = FanOutLocked(server);
            if (found == nullptr) {
                t_toPace = 0;
                return 0; // released: none of its clients is there to take it
            }
            networkdriver::FanOut& fanOut = *found;
            if (!fanOut.NamedLastTime(handles, count)) {
                // The tables' lock comes first: let go and take both.
                queue.Unlock();
                Hold tables(g_tablesLock);
                queue.Lock();
                fanOut.Regroup(handles, count, [this, server](NetHandle handle) NO_THREAD_SAFETY_ANALYSIS {
                    Session* session = index_.Find(handle); // the tables' lock is held here
                    return session != nullptr && session->server == server ? session : nullptr;
                });
            }
            if (fanOut.Append(data, size, dropped, woken_) && !woken_.empty()) {
                for (auto& session : woken_) {
                    session->io = Session::Io::kReady;
                    ready_.push_back(std::move(session));
                }
                woken_.clear();
                post = ScheduleSweep();
            }
            taken = static_cast<std::int32_t>(fanOut.Count());
            // Only this sender appends to the server's log, so what the pacing says now holds until
            // it asks.
            t_toPace = fanOut.SenderToWait() ? server : 0;
        }
        for (auto& session : dropped) {
            asio::post(io_, [this, session] { Gone(session, kGoneTooSlow, "too slow"); });
        }
        if (post) {
            PostSweep();
        }
        return taken;
    }

    // Waits until the clients the pacing goes by have caught up, or none is taking anything. Never on
    // the I/O thread, which a callback may have called this from.
    void Pace(NetHandle server) {
        if (t_toPace != server || server == 0 || std::this_thread::get_id() == thread_.get_id()) {
            return;
        }
        t_toPace = 0;
        const std::int64_t start = networkdriver::SteadyNowNs();
        for (bool waited = false;; waited = true) {
            bool goOn = false;
            {
                Hold queue(g_queueLock);
                networkdriver::FanOut* const found = FanOutLocked(server);
                goOn = found == nullptr || found->SenderMayGoOn(networkdriver::SteadyNowNs());
            }
            if (goOn) {
                if (waited) {
                    CountHold(server, networkdriver::SteadyNowNs() - start);
                }
                return;
            }
            std::this_thread::sleep_for(networkdriver::kPaceNap);
        }
    }

    // Every wait is counted, so that a dongle that cannot wait (it goes on producing, and what is not
    // read is lost in it) shows that it was made to.
    void CountHold(NetHandle handle, std::int64_t ns) {
        if (const std::shared_ptr<Server> server = FindServer(handle)) {
            server->heldTimes.fetch_add(1, std::memory_order_relaxed);
            server->heldNs.fetch_add(static_cast<std::uint64_t>(ns), std::memory_order_relaxed);
        }
    }

    networkdriver::HeldBack Held(NetHandle handle) {
        const std::shared_ptr<Server> server = FindServer(handle);
        return server ? networkdriver::HeldBack{server->heldTimes.load(), server->heldNs.load()}
                      : networkdriver::HeldBack{};
    }

    std::int32_t Receive(NetHandle handle, std::int32_t* value) {
        const std::shared_ptr<Session> session = FindSession(handle);
        if (!session) {
            return -1;
        }
        if (session->tls) {
            return 0; // the I/O thread reads what a TLS client sends, through its connection, and drops it
        }
        session->receivedInCallback = true;
        unsigned char chunk[kReceiveChunk];
        ssize_t got = 0;
        {
            Hold lock(session->descriptorMutex);
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

    NetHandle ServerOf(NetHandle handle) {
        const std::shared_ptr<Session> session = FindSession(handle);
        return session ? session->server : 0;
    }

    std::string Peer(NetHandle handle) {
        const std::shared_ptr<Session> session = FindSession(handle);
        return session ? session->peer : std::string();
    }

    std::string Subject(NetHandle handle) {
        const std::shared_ptr<Session> session = FindSession(handle);
        return session ? session->subject : std::string();
    }

    networkdriver::TlsCounts Counts(NetHandle handle) {
        const std::shared_ptr<Server> server = FindServer(handle);
        if (!server) {
            return {};
        }
        return {server->tlsAdmitted.load(), server->tlsRefused.load(), server->tlsTimedOut.load()};
    }

    std::int32_t Release(NetHandle handle) {
        std::shared_ptr<Session> session;
        std::shared_ptr<Server> server;
        std::unordered_set<NetHandle> childHandles;
        {
            Hold tables(g_tablesLock);
            if (const auto found = sessions_.find(handle); found != sessions_.end()) {
                session = found->second;
                EraseLocked(*session);
                session->released = true;
            } else if (const auto foundServer = servers_.find(handle); foundServer != servers_.end()) {
                server = foundServer->second;
                servers_.erase(foundServer);
                Hold queue(g_queueLock);
                fanOuts_.erase(handle); // its clients' sessions keep it alive while they close
                lastFanOut_ = {0, nullptr};
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
            Hold tables(g_tablesLock);
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
            CloseListeners(server);
            for (const auto& child : children) {
                Linger(child);
            }
        });
        return 0;
    }

    networkdriver::ClientSnapshot Snapshot(NetHandle server) {
        networkdriver::Roster::View view = roster_.Take(server);
        networkdriver::ClientSnapshot snapshot;
        snapshot.left = std::move(view.left);
        snapshot.departures = std::move(view.departures);
        for (const auto& session : view.connected) {
            snapshot.connected.push_back(StatisticsOf(*session));
        }
        return snapshot;
    }

    void SetRules(networkdriver::AccessRules rules) {
        Hold lock(rulesMutex_);
        rules_ = std::move(rules);
    }

    void SetTls(networkdriver::TlsListening tls) {
        Hold lock(rulesMutex_);
        tls_ = std::move(tls);
    }

private:
    // The I/O thread and the handshake thread: named, so that an operator's tools (top -H, gdb) tell
    // them from the window's threads.
    void Run() { RunThread(io_, "kestavo-relay", "a relay handler"); }
    void RunHandshakes() { RunThread(handshakes_, "kestavo-tls", "a TLS handshake"); }

    static void RunThread(asio::io_context& io, const char* name, const char* what) {
        ::pthread_setname_np(::pthread_self(), name);
        // TLS writes through the descriptor with write(), which raises SIGPIPE on a connection the peer
        // has closed; blocked here, it leaves the write failing with EPIPE instead, and a program that
        // keeps SIGPIPE's default (the window) alive.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (;;) {
            // A handler that threw must not end the thread that every client depends on.
            try {
                io.run();
                OPENSSL_thread_stop();
                return;
            } catch (const std::exception& exception) {
                const std::string failure = std::string(what) + " (" + exception.what() + ")";
                kestavo::diagnostics::ReportFailure(failure.c_str(), 0);
            } catch (...) {
                kestavo::diagnostics::ReportFailure(what, 0);
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

    // On the I/O thread; a TLS listener is closed on the handshake thread, whose it is.
    void CloseListeners(const std::shared_ptr<Server>& server) {
        for (auto& listener : server->listeners) {
            const auto close = [server, at = listener.get()] {
                std::error_code ignored;
                at->acceptor.close(ignored);
                at->retryTimer.cancel();
            };
            if (listener->tls) {
                asio::post(handshakes_, close);
            } else {
                close();
            }
        }
    }

    // The server's fan-out while it runs. A relay sends every frame to the same server, so the last one
    // found is kept at hand.
    networkdriver::FanOut* FanOutLocked(NetHandle server) REQUIRES(g_queueLock) {
        if (lastFanOut_.first == server && server != 0) {
            return lastFanOut_.second;
        }
        const auto found = fanOuts_.find(server);
        if (found == fanOuts_.end()) {
            return nullptr;
        }
        lastFanOut_ = {server, found->second};
        return found->second;
    }

    std::shared_ptr<Session> FindSession(NetHandle handle) {
        Hold tables(g_tablesLock);
        const auto found = sessions_.find(handle);
        return found == sessions_.end() ? nullptr : found->second;
    }

    std::shared_ptr<Server> FindServer(NetHandle handle) {
        Hold tables(g_tablesLock);
        const auto found = servers_.find(handle);
        return found == servers_.end() ? nullptr : found->second;
    }

    // Takes a session out of the tables.
    void EraseLocked(Session& session) REQUIRES(g_tablesLock) {
        {
            Hold queue(g_queueLock);
            session.fanOut->Remove(session);
        }
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
                Accepted(server, std::move(socket), listener.acceptedPeer, listener.tls);
                // The others already waiting come in with it, each a non-blocking accept; any failure
                // (nobody else waiting, or one the asynchronous accept reports) is left to the next turn.
                for (int more = 1; more < kAcceptedAtOnce && !server->released; ++more) {
                    tcp::socket next(listener.acceptor.get_executor());
                    std::error_code acceptError;
                    listener.acceptor.accept(next, listener.acceptedPeer, acceptError);
                    if (acceptError) {
                        break;
                    }
                    Accepted(server, std::move(next), listener.acceptedPeer, listener.tls);
                }
                Accept(server, listener);
            });
    }

    void Accepted(const std::shared_ptr<Server>& server, tcp::socket socket, const tcp::endpoint& peer,
                  bool tls) {
        if (Refused(server, socket, peer)) {
            return;
        }
        networkdriver::PrepareClientSocket(socket, server->sendBufferSize, server->receiveBufferSize);
        if (tls) {
            StartHandshake(server, std::move(socket), peer);
            return;
        }
        Enter(server, std::move(socket), peer, nullptr, {});
    }

    // Closes a peer the server's rules refuse at once, with a reset: no handle, no table entry, not a
    // byte. True when it did. On either thread: the report is made on the I/O thread.
    bool Refused(const std::shared_ptr<Server>& server, tcp::socket& socket, const tcp::endpoint& peer) {
        const std::string address = networkdriver::AddressText(peer);
        const char* refusal = Refusal(*server, peer, address);
        if (refusal == nullptr) {
            return false;
        }
        std::error_code ignored;
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
        std::string peerText = address + " " + std::to_string(peer.port());
        if (std::this_thread::get_id() == thread_.get_id()) {
            ReportRefusal(*server, address, peerText, refusal);
        } else {
            asio::post(io_, [this, server, address, peerText = std::move(peerText), refusal] {
                ReportRefusal(*server, address, peerText, refusal);
            });
        }
        return true;
    }

    // The handshake runs on a thread of its own, which also accepted the connection, so that a thousand
    // clients shaking hands at once never hold up the writes to those already streaming; the connection
    // comes to the I/O thread done.
    void StartHandshake(const std::shared_ptr<Server>& server, tcp::socket socket,
                        const tcp::endpoint& peer) {
        const int fd = socket.native_handle();
        auto handshake = std::make_shared<Handshake>(handshakes_, std::move(socket), server, peer);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        const std::shared_ptr<SSL_CTX> context = server->tls.credentials->Current();
        handshake->ssl = std::shared_ptr<SSL>(SSL_new(context.get()), SSL_free);
        if (!handshake->ssl || SSL_set_fd(handshake->ssl.get(), fd) != 1) {
            ERR_clear_error();
            EndHandshake(handshake, "out of memory for TLS", false);
            return;
        }
        SSL_set_accept_state(handshake->ssl.get());
        handshake->timer.expires_after(server->tls.handshakeLimit);
        handshake->timer.async_wait([this, handshake](std::error_code timerError) {
            if (!timerError && !handshake->over) {
                handshake->server->tlsTimedOut.fetch_add(1);
                char limit[32];
                std::snprintf(limit, sizeof limit, "%g s",
                              static_cast<double>(handshake->server->tls.handshakeLimit.count()) / 1000);
                EndHandshake(handshake, std::string("handshake not finished within ") + limit, true);
            }
        });
        StepHandshake(handshake);
    }

    void StepHandshake(const std::shared_ptr<Handshake>& handshake) {
        if (handshake->over) {
            return;
        }
        if (handshake->server->released) {
            // Its server is gone: no report, no count, nothing left behind.
            handshake->over = true;
            handshake->timer.cancel();
            std::error_code ignored;
            handshake->socket.close(ignored);
            return;
        }
        ERR_clear_error();
        const int result = SSL_do_handshake(handshake->ssl.get());
        if (result == 1) {
            handshake->over = true;
            handshake->timer.cancel();
            std::error_code error;
            const tcp protocol = handshake->socket.local_endpoint(error).protocol();
            const int fd = error ? -1 : handshake->socket.release(error);
            if (error) {
                return;
            }
            asio::post(io_, [this, server = handshake->server, fd, protocol, peer = handshake->peer,
                             ssl = handshake->ssl, subject = networkdriver::SubjectOf(handshake->ssl.get())] {
                tcp::socket socket(io_);
                std::error_code assignError;
                socket.assign(protocol, fd, assignError);
                if (assignError) {
                    ::close(fd);
                    return;
                }
                if (server->released || Refused(server, socket, peer)) {
                    return; // the count of clients may have grown while it shook hands
                }
                server->tlsAdmitted.fetch_add(1);
                Enter(server, std::move(socket), peer, ssl, subject);
            });
            return;
        }
        const int kind = SSL_get_error(handshake->ssl.get(), result);
        if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
            handshake->socket.async_wait(
                kind == SSL_ERROR_WANT_READ ? tcp::socket::wait_read : tcp::socket::wait_write,
                [this, handshake](std::error_code error) {
                    if (error) {
                        if (!handshake->over) {
                            handshake->server->tlsRefused.fetch_add(1);
                            EndHandshake(handshake, "reset during the handshake", false);
                        }
                        return;
                    }
                    StepHandshake(handshake);
                });
            return;
        }
        handshake->server->tlsRefused.fetch_add(1);
        EndHandshake(handshake, networkdriver::HandshakeFailure(handshake->ssl.get(), result), false);
    }

    // Closes a connection whose handshake failed (the alert saying why has gone out already) and tells
    // the program, rate-limited, on the I/O thread that keeps the record.
    void EndHandshake(const std::shared_ptr<Handshake>& handshake, std::string why, bool abortive) {
        handshake->over = true;
        handshake->timer.cancel();
        std::error_code ignored;
        if (abortive) {
            handshake->socket.set_option(asio::socket_base::linger(true, 0), ignored);
        }
        handshake->socket.close(ignored);
        const std::string address = networkdriver::AddressText(handshake->peer);
        asio::post(io_, [this, server = handshake->server, address,
                         peer = address + " " + std::to_string(handshake->peer.port()),
                         why = std::move(why)] { ReportRefusal(*server, address, peer, why.c_str()); });
    }

    void Enter(const std::shared_ptr<Server>& server, tcp::socket socket, const tcp::endpoint& peer,
               std::shared_ptr<SSL> tls, std::string subject) {
        const std::string address = networkdriver::AddressText(peer);
        const int fd = socket.native_handle();
        auto session = std::make_shared<Session>(io_, std::move(socket));
        session->since = NowMs();
        session->peer = address + " " + std::to_string(peer.port());
        session->address = address;
        session->tls = std::move(tls);
        session->subject = std::move(subject);
        session->handle = NextHandle();
        session->server = server->handle;
        session->fanOut = server->fanOut;
        session->callbacks = server->callbacks;
        session->ioFd = fd;
        {
            Hold lock(session->descriptorMutex);
            session->fd = fd;
        }
        {
            Hold tables(g_tablesLock);
            if (server->released) {
                return;
            }
            sessions_[session->handle] = session;
            index_.Insert(session->handle, session.get());
            server->children.insert(session->handle);
            ++server->perAddress[address];
        }
        roster_.Enter(session);
        WaitForData(session);
        if (session->callbacks.connected != nullptr && !session->released) {
            session->callbacks.connected(peer.port(), session->handle);
        }
    }

    // Why the server's rules refuse the peer, or nullptr. Only the I/O thread enters clients, so the
    // counts cannot grow between this check and the entry.
    const char* Refusal(Server& server, const tcp::endpoint& peer, const std::string& address) {
        const networkdriver::AccessRules& rules = server.rules;
        if (!networkdriver::Allowed(rules, peer.address())) {
            return "not allowed";
        }
        Hold tables(g_tablesLock);
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
        if (session->tls) {
            WaitForTlsData(session);
            return;
        }
        session->socket.async_wait(tcp::socket::wait_read, [this, session](std::error_code error) {
            if (session->released || session->gone) {
                return;
            }
            if (error) {
                Gone(session, kGoneError, "reset");
                return;
            }
            unsigned char peek = 0;
            const ssize_t waiting = ::recv(session->ioFd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
            if (waiting == 0) {
                Gone(session, kGoneClosed, "closed by the peer");
                return;
            }
            if (waiting < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    WaitForData(session);
                } else {
                    Failed(session, errno);
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
                if (::recv(session->ioFd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) {
                    Gone(session, kGoneClosed, "closed by the peer");
                    return;
                }
            }
            WaitForData(session);
        });
    }

    // What a TLS client sends goes through its connection (alerts, a close) and is dropped.
    void WaitForTlsData(const std::shared_ptr<Session>& session) {
        session->socket.async_wait(tcp::socket::wait_read, [this, session](std::error_code error) {
            if (session->released || session->gone) {
                return;
            }
            if (error) {
                Gone(session, kGoneError, "reset");
                return;
            }
            unsigned char chunk[kReceiveChunk];
            // A few records at a time, so that a client that floods cannot keep the thread to itself.
            for (int round = 0; round < 16; ++round) {
                std::size_t got = 0;
                ERR_clear_error();
                const int result = SSL_read_ex(session->tls.get(), chunk, sizeof chunk, &got);
                if (result == 1) {
                    continue;
                }
                const int kind = SSL_get_error(session->tls.get(), result);
                const int lastErrno = errno;
                ERR_clear_error();
                if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
                    break;
                }
                if (kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && lastErrno == 0)) {
                    Gone(session, kGoneClosed, "closed by the peer");
                } else if (kind == SSL_ERROR_SYSCALL) {
                    Failed(session, lastErrno);
                } else {
                    Gone(session, kGoneError, "reset");
                }
                return;
            }
            WaitForTlsData(session);
        });
    }

    bool Ready(Session& session) REQUIRES(g_queueLock) {
        if (session.io == Session::Io::kIdle) {
            session.io = Session::Io::kReady;
            ready_.push_back(session.shared_from_this());
        }
        return ScheduleSweep();
    }

    bool ScheduleSweep() REQUIRES(g_queueLock) {
        if (ready_.empty() || sweepPosted_) {
            return false;
        }
        sweepPosted_ = true;
        return true;
    }

    void PostSweep() {
        asio::post(io_, [this] { Sweep(); });
    }

    // One write to each client that was ready, in turn: one with more to write after it waits for the
    // next sweep, behind the others, so that a busy client never keeps the others waiting.
    void Sweep() {
        {
            Hold queue(g_queueLock);
            sweeping_.swap(ready_);
            sweepPosted_ = false;
        }
        for (const auto& session : sweeping_) {
            WriteOut(session);
        }
        sweeping_.clear();
    }

    // Writes what the client has waiting, as much as its socket takes at once.
    void WriteOut(const std::shared_ptr<Session>& session) {
        if (session->tls) {
            WriteOutTls(session);
            return;
        }
        std::array<iovec, networkdriver::kMostGathered> gathered{};
        int count = 0;
        std::size_t total = 0;
        bool finished = false;
        {
            Hold queue(g_queueLock);
            if (session->closed) {
                return;
            }
            total = session->stream.Gather(session->fanOut->Log(), gathered.data(), count, session->holding);
            if (total == 0) {
                finished = Idle(session);
            } else {
                session->io = Session::Io::kWriting;
                session->maxQueued =
                    std::max(session->maxQueued, session->stream.Queued(session->fanOut->Head()));
            }
        }
        if (total == 0) {
            if (finished) {
                Close(*session, false);
            }
            return;
        }
        msghdr message{};
        message.msg_iov = gathered.data();
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = ::sendmsg(session->ioFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        const int error = errno;
        session->holding.clear();
        if (sent < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            Failed(session, error);
            return;
        }
        const std::size_t wrote = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        bool blocked = false;
        bool post = false;
        {
            Hold queue(g_queueLock);
            if (session->closed) {
                return;
            }
            session->stream.Consume(wrote, session->spent);
            if (wrote > 0) {
                session->takenAt = networkdriver::SteadyNowNs();
            }
            if (wrote < total) {
                blocked = true;
                session->io = Session::Io::kBlocked;
            } else if (session->stream.Queued(session->fanOut->Head()) > 0) {
                session->io = Session::Io::kReady;
                ready_.push_back(session);
                post = ScheduleSweep();
            } else {
                finished = Idle(session);
            }
        }
        session->spent.clear();
        if (wrote > 0) {
            session->bytesSent.fetch_add(wrote, std::memory_order_relaxed);
        }
        if (post) {
            PostSweep();
        }
        if (finished) {
            Close(*session, false);
        } else if (blocked) {
            WaitToWrite(session, tcp::socket::wait_write);
        }
    }

    // Writes again once the socket has room (or, for TLS, has brought what the library waits for).
    void WaitToWrite(const std::shared_ptr<Session>& session, tcp::socket::wait_type wait) {
        session->socket.async_wait(wait, [this, session](std::error_code waitError) {
            if (waitError == asio::error::operation_aborted) {
                return; // closed
            }
            if (waitError) {
                Gone(session, kGoneError, "reset");
                return;
            }
            WriteOut(session);
        });
    }

    // A TLS client's: a stretch of its stream is taken into its staging (the library encrypts from one
    // buffer), then written through its connection; a write the socket cannot take all of is taken up
    // again from the same bytes when there is room.
    void WriteOutTls(const std::shared_ptr<Session>& session) {
        Session& client = *session;
        bool finished = false;
        if (client.stagingSent == client.staging.size()) {
            std::array<iovec, networkdriver::kMostGathered> gathered{};
            int count = 0;
            std::size_t total = 0;
            {
                Hold queue(g_queueLock);
                if (client.closed) {
                    return;
                }
                total = client.stream.Gather(client.fanOut->Log(), gathered.data(), count, client.holding);
                if (total == 0) {
                    finished = Idle(session);
                } else {
                    client.io = Session::Io::kWriting;
                    client.maxQueued =
                        std::max(client.maxQueued, client.stream.Queued(client.fanOut->Head()));
                }
            }
            if (total == 0) {
                if (finished) {
                    Close(client, false);
                }
                return;
            }
            client.staging.clear();
            client.stagingSent = 0;
            for (int i = 0; i < count && client.staging.size() < kTlsChunk; ++i) {
                const auto* base = static_cast<const unsigned char*>(gathered[i].iov_base);
                const std::size_t take = std::min(gathered[i].iov_len, kTlsChunk - client.staging.size());
                client.staging.insert(client.staging.end(), base, base + take);
            }
            client.holding.clear();
            {
                Hold queue(g_queueLock);
                if (client.closed) {
                    return;
                }
                client.stream.Consume(client.staging.size(), client.spent);
            }
            client.spent.clear();
        }
        bool progressed = false;
        while (client.stagingSent < client.staging.size()) {
            std::size_t wrote = 0;
            ERR_clear_error();
            const int result = SSL_write_ex(client.tls.get(), client.staging.data() + client.stagingSent,
                                            client.staging.size() - client.stagingSent, &wrote);
            if (result == 1) {
                client.stagingSent += wrote;
                client.bytesSent.fetch_add(wrote, std::memory_order_relaxed);
                progressed = true;
                continue;
            }
            const int kind = SSL_get_error(client.tls.get(), result);
            const int lastErrno = errno;
            ERR_clear_error();
            if (kind != SSL_ERROR_WANT_WRITE && kind != SSL_ERROR_WANT_READ) {
                Failed(session, kind == SSL_ERROR_SYSCALL && lastErrno != 0 ? lastErrno : ECONNRESET);
                return;
            }
            {
                Hold queue(g_queueLock);
                if (client.closed) {
                    return;
                }
                if (progressed) {
                    client.takenAt = networkdriver::SteadyNowNs();
                }
                client.io = Session::Io::kBlocked;
            }
            WaitToWrite(session,
                        kind == SSL_ERROR_WANT_WRITE ? tcp::socket::wait_write : tcp::socket::wait_read);
            return;
        }
        bool post = false;
        {
            Hold queue(g_queueLock);
            if (client.closed) {
                return;
            }
            client.takenAt = networkdriver::SteadyNowNs();
            if (client.stream.Queued(client.fanOut->Head()) > 0) {
                client.io = Session::Io::kReady;
                ready_.push_back(session);
                post = ScheduleSweep();
            } else {
                finished = Idle(session);
            }
        }
        if (post) {
            PostSweep();
        }
        if (finished) {
            Close(client, false);
        }
    }

    // With nothing left to write: a member waits for the next frame, a released client is done (true).
    bool Idle(const std::shared_ptr<Session>& session) REQUIRES(g_queueLock) {
        session->io = Session::Io::kIdle;
        session->fanOut->Idle(session);
        return session->released;
    }

    networkdriver::ClientStatistics StatisticsOf(Session& session) {
        networkdriver::ClientStatistics statistics;
        statistics.handle = session.handle;
        statistics.server = session.server;
        statistics.peer = session.peer;
        statistics.subject = session.subject;
        statistics.connectedSince = session.since;
        statistics.bytesSent = session.bytesSent.load(std::memory_order_relaxed);
        Hold queue(g_queueLock);
        statistics.framesSent = session.stream.FramesSent(session.fanOut->Log());
        statistics.queuedBytes = session.stream.Queued(session.fanOut->Head());
        statistics.maxQueuedBytes = std::max(session.maxQueued, statistics.queuedBytes);
        return statistics;
    }

    // Moves a client from the roster to the record of those that left, once, with why.
    void Departed(const std::shared_ptr<Session>& session, const char* why) {
        networkdriver::ClientStatistics statistics = StatisticsOf(*session);
        statistics.left = why;
        statistics.leftAt = NowMs();
        roster_.Leave(session, std::move(statistics));
    }

    // A connection that failed: found dead (the kernel gave up on it) or reset.
    void Failed(const std::shared_ptr<Session>& session, int error) {
        if (error == ETIMEDOUT) {
            Gone(session, kGoneKeepalive, "keepalive");
        } else {
            Gone(session, kGoneError, "reset");
        }
    }

    // Reports a client gone, once, and closes it. A released client is closed without a report. A client
    // that failed or fell too far behind is reset, so that the kernel drops what it still holds for it
    // at once rather than keeping it for as long as the peer keeps its window shut.
    void Gone(const std::shared_ptr<Session>& session, GoneReason reason, const char* why) {
        if (session->gone.exchange(true)) {
            return;
        }
        {
            Hold tables(g_tablesLock);
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
            Hold queue(g_queueLock);
            if (session->closed) {
                return;
            }
            if (session->io != Session::Io::kIdle) {
                session->lingerTimer.expires_after(kLingerLimit);
                session->lingerTimer.async_wait([this, session](std::error_code error) {
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
    void Close(Session& session, bool abortive) {
        std::deque<Piece> dropped;
        {
            Hold queue(g_queueLock);
            if (session.closed) {
                return;
            }
            session.closed = true;
            if (session.stream.Member()) {
                session.fanOut->Drop(session);
            }
            dropped = session.stream.TakePieces();
        }
        {
            Hold lock(session.descriptorMutex);
            session.fd = -1;
        }
        session.ioFd = -1;
        std::error_code ignored;
        if (abortive) {
            session.socket.set_option(asio::socket_base::linger(true, 0), ignored);
        } else {
            if (session.tls) {
                // The peer learns the stream ended here and was not cut off; it is not waited for.
                SSL_shutdown(session.tls.get());
                ERR_clear_error();
            }
            session.socket.shutdown(tcp::socket::shutdown_both, ignored);
        }
        session.socket.close(ignored);
        session.lingerTimer.cancel();
    }

    int tlsLibrary_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::unordered_map<NetHandle, std::shared_ptr<Server>> servers_ GUARDED_BY(g_tablesLock);
    std::unordered_map<NetHandle, std::shared_ptr<Session>> sessions_ GUARDED_BY(g_tablesLock);
    std::vector<std::weak_ptr<Server>> made_ GUARDED_BY(g_tablesLock);   // every server not yet gone
    networkdriver::HandleIndex<Session> index_ GUARDED_BY(g_tablesLock); // the same sessions, for SendData
    // Each running server's fan-out, for its sender: found under the lock it takes anyway.
    std::unordered_map<NetHandle, networkdriver::FanOut*> fanOuts_ GUARDED_BY(g_queueLock);
    std::pair<NetHandle, networkdriver::FanOut*> lastFanOut_ GUARDED_BY(g_queueLock){0, nullptr};
    std::vector<std::shared_ptr<Session>> ready_ GUARDED_BY(g_queueLock); // to write to at the next sweep
    std::vector<std::shared_ptr<Session>> woken_ GUARDED_BY(g_queueLock); // scratch, for SendEach
    bool sweepPosted_ GUARDED_BY(g_queueLock) = false;
    std::vector<std::shared_ptr<Session>> sweeping_; // the I/O thread's
    std::atomic<NetHandle> next_{1};
    networkdriver::Roster roster_;
    networkdriver::Mutex rulesMutex_;
    networkdriver::AccessRules rules_ GUARDED_BY(rulesMutex_);                // for the servers started next
    networkdriver::TlsListening tls_ GUARDED_BY(rulesMutex_);                 // the same
    kestavo::diagnostics::RateLimit refusals_{kRefusalQuiet, kRefusalRecord}; // the I/O thread's
    asio::io_context handshakes_;
    asio::executor_work_guard<asio::io_context::executor_type> handshakeWork_;
    std::thread handshakeThread_;
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

std::int32_t SendDataToEach(NetHandle server, const NetHandle* clients, std::int32_t count, const void* bytes,
                            std::int32_t length) {
    try {
        return Driver::Instance().SendEach(server, clients, count, bytes, length);
    } catch (...) {
        return -1;
    }
}

void PaceSender(NetHandle server) {
    try {
        Driver::Instance().Pace(server);
    } catch (...) {
        // pacing is a courtesy to the clients; a sender that cannot wait goes on
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

ClientSnapshot TakeClientSnapshot(NetHandle server) {
    return Driver::Instance().Snapshot(server);
}

void SetTlsListening(TlsListening listening) {
    Driver::Instance().SetTls(std::move(listening));
}

TlsCounts TlsCountsOf(NetHandle server) {
    try {
        return Driver::Instance().Counts(server);
    } catch (...) {
        return {};
    }
}

HeldBack HeldBackOf(NetHandle server) {
    try {
        return Driver::Instance().Held(server);
    } catch (...) {
        return {};
    }
}

std::string PeerSubject(NetHandle client) {
    try {
        return Driver::Instance().Subject(client);
    } catch (...) {
        return {};
    }
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

NetHandle ServerOfClient(NetHandle client) {
    try {
        return Driver::Instance().ServerOf(client);
    } catch (...) {
        return 0;
    }
}

std::int32_t ReleaseSocket(NetHandle handle) {
    try {
        return Driver::Instance().Release(handle);
    } catch (...) {
        return -1;
    }
}
