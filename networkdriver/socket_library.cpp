// The relay server: one asio I/O thread of the library's own runs every socket. SendData only queues;
// the I/O thread writes. Callbacks run on the I/O thread and may wait for the program's window thread,
// so nothing a caller does here waits for the I/O thread, but PaceSender, which waits only while the
// clients are taking frames.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
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
constexpr std::size_t kReceiveChunk = 64 * 1024;
// What SendDataToEach sends is kept once, in a log of blocks that every client's stream refers to.
constexpr std::size_t kBlockSize = 64 * 1024;
// Blocks every client has written are kept for reuse, up to this many.
constexpr std::size_t kSpareBlocks = 16;
// A client's own bytes (SendData) are queued in pieces of at least this size.
constexpr std::size_t kOwnPiece = 4096;
// A sender that calls PaceSender runs at most this far ahead of its clients that are taking what they
// are sent, but the sixteenth furthest behind (and, of several, at least the one furthest behind); past
// it, it waits until they are half as far behind. So a few clients that are slow hold nobody back (they
// fall behind alone until the queue limit drops them), and one that takes nothing for a while is not
// waited for at all. Only when most of them are behind, because this host cannot write or they cannot
// read as fast as frames come, is the sender held, rather than every client being dropped.
constexpr std::size_t kAheadLimit = 512 * 1024;
constexpr std::size_t kPacedShare = 16;
constexpr auto kStuck = std::chrono::milliseconds(50);
// How often a paced sender looks again.
constexpr auto kPaceNap = std::chrono::microseconds(250);
// The most pieces of a client's stream gathered into one write.
constexpr int kMostGathered = 128;
// Where the log's positions start: far enough from zero that a position less a queue's worth of bytes
// never wraps.
constexpr std::uint64_t kLogOrigin = std::uint64_t{1} << 32;
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

struct Block {
    unsigned char bytes[kBlockSize];
};

// Not value-initialised: every byte is written before it is sent.
std::shared_ptr<Block> NewBlock() {
    return std::shared_ptr<Block>(new Block);
}

// A stretch of a client's stream that no longer grows with the log: bytes of the client's own, or a
// stretch of the log, held by its blocks.
struct Piece {
    std::unique_ptr<unsigned char[]> own; // the client's own bytes; null for a stretch of the log
    std::size_t capacity = 0;             // of own
    std::vector<std::shared_ptr<Block>> blocks;
    std::size_t offset = 0; // where the stretch starts in its first block
    std::size_t size = 0;   // bytes in the piece
    std::size_t done = 0;   // of them written

    [[nodiscard]] std::size_t Room() const { return own ? capacity - size : 0; }
};

// Guards the clients' queues and the log. Every side holds it for a few instructions: no system call,
// sweep over the clients or copy of more than one frame happens under it on the send path, but when the
// clients SendDataToEach is given change. So a waiter spins for a moment. A waiter that still finds it
// held after spinning (its holder was preempted, perhaps by a thread of higher priority: the reader may
// run at another) yields, and then sleeps in short naps, so that it never keeps the holder off a core.
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
    Session(asio::io_context& io, tcp::socket connected) : socket(std::move(connected)), lingerTimer(io) {}

    NetHandle handle = 0;
    NetHandle server = 0;
    Callbacks callbacks;
    std::string peer;    // "address port", set before the session is entered and never changed
    std::string address; // the peer's address alone, likewise
    tcp::socket socket;  // the I/O thread's alone
    asio::steady_timer lingerTimer;

    // Where the I/O thread is with the client.
    enum class Io {
        kIdle,    // nothing to write
        kReady,   // waiting in the list of clients to write to
        kWriting, // being written to
        kBlocked, // waiting for room in the socket
    };

    // Guarded by the queue lock. The client's stream is its pieces, then, while it is one of the clients
    // SendDataToEach sends to (a member), the log from `from` on.
    Io io = Io::kIdle;
    bool closed = false;
    bool dropping = false; // found too slow; going
    bool member = false;
    bool named = false;           // scratch, while the members are changed
    std::uint64_t from = 0;       // the log position its stream has reached, as a member
    std::uint64_t fromFrames = 0; // the log's frame count when it became a member
    std::deque<Piece> pieces;
    std::size_t pieceBytes = 0; // not yet written, in pieces
    std::uint64_t frames = 0;   // frames taken, but those of the log since it became a member
    std::size_t maxQueued = 0;  // the most bytes queued at once
    std::int64_t takenAt = 0;   // when a write last took bytes (or it became a member), steady ns

    [[nodiscard]] std::size_t Queued(std::uint64_t head) const {
        return pieceBytes + (member ? static_cast<std::size_t>(head - from) : 0);
    }
    // The log position at which the client's queue would be empty: its stream is this far behind the log.
    [[nodiscard]] std::uint64_t Base() const { return from - pieceBytes; }

    alignas(64) std::atomic<bool> released{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> receivedInCallback{false};
    std::atomic<std::uint64_t> bytesSent{0}; // written by the I/O thread
    std::int64_t since = 0;                  // connected, in ms since the epoch; set before entry
    // The I/O thread's alone: the blocks a write in progress reads, and written pieces to free.
    std::vector<std::shared_ptr<Block>> holding;
    std::vector<Piece> spent;

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
        asio::post(io_, [this, servers = std::move(servers), sessions = std::move(sessions)] {
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
                std::lock_guard tables(mutex_);
                Session* const session = index_.Find(handle);
                if (session == nullptr) {
                    return -1;
                }
                std::lock_guard queue(queueLock_);
                if (session->closed || session->dropping) {
                    return -1;
                }
                if (size == 0) {
                    return 0; // nothing to queue; the call still tells whether the client is there
                }
                if (session->Queued(head_) + size > kQueueLimit) {
                    session->maxQueued = std::max(session->maxQueued, session->Queued(head_));
                    Drop(*session);
                    std::erase(members_, session);
                    dropped = session->shared_from_this();
                } else if (!AppendOwn(*session, data, size, fresh)) {
                    fresh.capacity = std::max(size, kOwnPiece);
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

    // The same bytes to each client, as Send to each in turn, but put once into the log that the
    // clients' streams share. While the clients named are the same as at the last call, nothing is done
    // for each of them; a change in the list makes those no longer named leave the log where it is, and
    // the new ones join it here.
    std::int32_t SendEach(const NetHandle* handles, std::int32_t count, const void* bytes,
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
            std::unique_lock queue(queueLock_);
            std::unique_lock<ShortLock> tables;
            if (!NamedLastTime(handles, count)) {
                // The tables' lock comes first: let go and take both.
                queue.unlock();
                tables = std::unique_lock(mutex_);
                queue.lock();
                Regroup(handles, count);
            }
            if (size > 0 && !members_.empty()) {
                if (head_ + size > overflowAt_) {
                    DropOverflowing(size, dropped);
                }
                if (!members_.empty()) {
                    AppendLog(data, size);
                    post = WakeIdle();
                    if (head_ - paceBase_ > kAheadLimit) {
                        paceTarget_ = head_ - kAheadLimit / 2;
                        pace_.store(true, std::memory_order_relaxed);
                    }
                }
            }
            taken = static_cast<std::int32_t>(members_.size());
        }
        for (auto& session : dropped) {
            asio::post(io_, [this, session] { Gone(session, kGoneTooSlow, "too slow"); });
        }
        if (post) {
            PostSweep();
        }
        return taken;
    }

    // Waits until the sixteenth of the taking members furthest behind have reached the target, or no
    // member is taking anything. Never on the I/O thread, which a callback may have called this from.
    void Pace() {
        if (!pace_.load(std::memory_order_relaxed) || std::this_thread::get_id() == thread_.get_id()) {
            return;
        }
        for (;;) {
            {
                std::lock_guard queue(queueLock_);
                pace_.store(false, std::memory_order_relaxed);
                LookAtPace();
                if (paceBase_ >= paceTarget_) {
                    return;
                }
            }
            std::this_thread::sleep_for(kPaceNap);
        }
    }

    // Looks again at how far behind the members are: the log position that the sixteenth of those
    // taking what they are sent furthest behind have not reached (the head when none is taking
    // anything). The pacing goes by it until the next look.
    void LookAtPace() {
        bases_.clear();
        const std::int64_t stuck = NowNs() - std::chrono::nanoseconds(kStuck).count();
        for (const Session* const member : members_) {
            if (member->Base() == head_ || member->takenAt > stuck) {
                bases_.push_back(member->Base());
            }
        }
        if (bases_.empty()) {
            paceBase_ = head_;
            return;
        }
        // Never the one furthest behind of several: a single slow client holds nobody back.
        const std::size_t passed =
            std::max(bases_.size() / kPacedShare, std::min<std::size_t>(bases_.size() - 1, 1));
        const auto share = bases_.begin() + static_cast<std::ptrdiff_t>(passed);
        std::nth_element(bases_.begin(), share, bases_.end());
        paceBase_ = *share;
    }

    static std::int64_t NowNs() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // The rest, to the I/O side, with the queue lock held.

    [[nodiscard]] bool NamedLastTime(const NetHandle* handles, std::int32_t count) const {
        return lastNamed_.size() == static_cast<std::size_t>(count) &&
               (count == 0 || std::memcmp(lastNamed_.data(), handles,
                                          static_cast<std::size_t>(count) * sizeof *handles) == 0);
    }

    // Makes the clients named the members, in the order named; the tables' lock is held too. A handle
    // named twice is one member.
    void Regroup(const NetHandle* handles, std::int32_t count) {
        std::vector<Session*> members;
        members.reserve(static_cast<std::size_t>(count));
        for (std::int32_t i = 0; i < count; ++i) {
            Session* const session = index_.Find(handles[i]);
            if (session != nullptr && !session->closed && !session->dropping && !session->named) {
                session->named = true;
                members.push_back(session);
            }
        }
        for (Session* const old : members_) {
            if (!old->named) {
                Leave(*old);
            }
        }
        for (Session* const session : members) {
            session->named = false;
            if (!session->member) {
                Join(*session);
            }
        }
        members_.swap(members);
        lastNamed_.assign(handles, handles + count);
        if (members_.empty()) {
            idle_.clear(); // nobody left to wake: let go of the sessions gone since
        }
        overflowAt_ = std::numeric_limits<std::uint64_t>::max();
        for (const Session* const member : members_) {
            overflowAt_ = std::min(overflowAt_, OverflowPoint(*member));
        }
        LookAtPace();
    }

    // The log position at which the member's queue would pass the limit.
    [[nodiscard]] std::uint64_t OverflowPoint(const Session& member) const {
        return head_ + (kQueueLimit - std::min(member.Queued(head_), kQueueLimit));
    }

    void Join(Session& session) {
        session.member = true;
        session.takenAt = NowNs();
        session.from = head_;
        session.fromFrames = logFrames_;
        if (session.io == Session::Io::kIdle) {
            idle_.push_back(session.shared_from_this());
        }
    }

    // Ends the client's stretch of the log here, as a piece of its own holding its blocks.
    void CloseStretch(Session& session) {
        if (head_ > session.from) {
            Piece piece;
            piece.size = static_cast<std::size_t>(head_ - session.from);
            piece.offset = static_cast<std::size_t>((session.from - logBase_) % kBlockSize);
            const auto first = static_cast<std::size_t>((session.from - logBase_) / kBlockSize);
            const auto last = static_cast<std::size_t>((head_ - 1 - logBase_) / kBlockSize);
            piece.blocks.assign(log_.begin() + static_cast<std::ptrdiff_t>(first),
                                log_.begin() + static_cast<std::ptrdiff_t>(last) + 1);
            session.pieceBytes += piece.size;
            session.pieces.push_back(std::move(piece));
        }
        CountStretchFrames(session);
        session.from = head_;
    }

    // Moves the frames of the member's stretch of the log so far into its own count.
    void CountStretchFrames(Session& session) const {
        session.frames += logFrames_ - session.fromFrames;
        session.fromFrames = logFrames_;
    }

    void Leave(Session& session) {
        CloseStretch(session);
        session.member = false;
    }

    // Takes a client out of the members, keeping what it was sent; the tables' lock is held too.
    void RemoveMember(Session& session) {
        if (session.member) {
            Leave(session);
            std::erase(members_, &session);
        }
    }

    // Marks a client too slow; it takes nothing more. Its caller takes it out of the members.
    void Drop(Session& session) {
        session.dropping = true;
        if (session.member) {
            CountStretchFrames(session);
            session.member = false;
        }
    }

    // The frame would take a member past the queue limit: those it would are dropped, and the point at
    // which the next would is found again.
    void DropOverflowing(std::size_t size, std::vector<std::shared_ptr<Session>>& dropped) {
        overflowAt_ = std::numeric_limits<std::uint64_t>::max();
        std::erase_if(members_, [&](Session* member) {
            const std::size_t queued = member->Queued(head_);
            if (queued + size > kQueueLimit) {
                member->maxQueued = std::max(member->maxQueued, queued);
                Drop(*member);
                dropped.push_back(member->shared_from_this());
                return true;
            }
            overflowAt_ = std::min(overflowAt_, OverflowPoint(*member));
            return false;
        });
    }

    void AppendLog(const unsigned char* data, std::size_t size) {
        while (size > 0) {
            if (head_ == logBase_ + log_.size() * kBlockSize) {
                NewLogBlock();
            }
            const auto offset = static_cast<std::size_t>((head_ - logBase_) % kBlockSize);
            const std::size_t part = std::min(size, kBlockSize - offset);
            std::memcpy(log_.back()->bytes + offset, data, part);
            head_ += part;
            data += part;
            size -= part;
        }
        ++logFrames_;
    }

    // Lets go of the blocks every member has passed (kept for reuse when nobody else holds them), and
    // puts one more at the end. Once a block's worth of frames, so the walks over the members are cheap.
    void NewLogBlock() {
        LookAtPace();
        std::uint64_t needed = head_;
        for (const Session* const member : members_) {
            needed = std::min(needed, member->from);
        }
        while (!log_.empty() && logBase_ + kBlockSize <= needed) {
            if (log_.front().use_count() == 1 && spareBlocks_.size() < kSpareBlocks) {
                spareBlocks_.push_back(std::move(log_.front()));
            }
            log_.pop_front();
            logBase_ += kBlockSize;
        }
        if (spareBlocks_.empty()) {
            log_.push_back(NewBlock());
        } else {
            log_.push_back(std::move(spareBlocks_.back()));
            spareBlocks_.pop_back();
        }
    }

    // The client's own bytes after what it has queued; false when they need a new piece, `fresh`.
    bool AppendOwn(Session& session, const unsigned char* data, std::size_t size, Piece& fresh) {
        if (session.member) {
            CloseStretch(session); // the log goes on after these bytes
        }
        Piece* const last = session.pieces.empty() ? nullptr : &session.pieces.back();
        if (last != nullptr && last->Room() >= size) {
            std::memcpy(last->own.get() + last->size, data, size);
            last->size += size;
        } else if (fresh.own) {
            session.pieces.push_back(std::move(fresh));
            fresh = {};
        } else {
            return false;
        }
        session.pieceBytes += size;
        ++session.frames;
        if (session.member) {
            overflowAt_ = std::min(overflowAt_, OverflowPoint(session));
        }
        return true;
    }

    // Puts the members with nothing to write in the list of those to write to; true when a sweep must
    // be posted.
    bool WakeIdle() {
        if (idle_.empty()) {
            return false;
        }
        for (auto& session : idle_) {
            if (session->io == Session::Io::kIdle && session->member) {
                session->io = Session::Io::kReady;
                ready_.push_back(std::move(session));
            }
        }
        idle_.clear();
        return ScheduleSweep();
    }

    bool Ready(Session& session) {
        if (session.io == Session::Io::kIdle) {
            session.io = Session::Io::kReady;
            ready_.push_back(session.shared_from_this());
        }
        return ScheduleSweep();
    }

    bool ScheduleSweep() {
        if (ready_.empty() || sweepPosted_) {
            return false;
        }
        sweepPosted_ = true;
        return true;
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
    void EraseLocked(Session& session) {
        {
            std::lock_guard queue(queueLock_);
            RemoveMember(session);
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
        // Writes are made straight on the descriptor, and must never block the I/O thread.
        socket.non_blocking(true, error);
        Require(error, "making a client connection non-blocking");
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
                if (::recv(session->fd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) {
                    Gone(session, kGoneClosed, "closed by the peer");
                    return;
                }
            }
            WaitForData(session);
        });
    }

    void PostSweep() {
        asio::post(io_, [this] { Sweep(); });
    }

    // One write to each client that was ready, in turn: one with more to write after it waits for the
    // next sweep, behind the others, so that a busy client never keeps the others waiting.
    void Sweep() {
        {
            std::lock_guard queue(queueLock_);
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
        std::array<iovec, kMostGathered> gathered{};
        int count = 0;
        std::size_t total = 0;
        bool finished = false;
        {
            std::lock_guard queue(queueLock_);
            if (session->closed) {
                return;
            }
            total = Gather(*session, gathered.data(), count);
            if (total == 0) {
                finished = Idle(session);
            } else {
                session->io = Session::Io::kWriting;
                session->maxQueued = std::max(session->maxQueued, session->Queued(head_));
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
        const ssize_t sent = ::sendmsg(session->fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
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
            std::lock_guard queue(queueLock_);
            if (session->closed) {
                return;
            }
            Consume(*session, wrote);
            if (wrote > 0) {
                session->takenAt = NowNs();
            }
            if (wrote < total) {
                blocked = true;
                session->io = Session::Io::kBlocked;
            } else if (session->Queued(head_) > 0) {
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
            session->socket.async_wait(tcp::socket::wait_write, [this, session](std::error_code waitError) {
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
    }

    // With nothing left to write: a member waits for the next frame, a released client is done (true).
    bool Idle(const std::shared_ptr<Session>& session) {
        session->io = Session::Io::kIdle;
        if (session->member) {
            idle_.push_back(session);
        }
        return session->released;
    }

    // What the client has waiting, as buffers; the log's blocks it reads are held until the write ends.
    std::size_t Gather(Session& session, iovec* gathered, int& count) {
        std::size_t total = 0;
        const auto add = [&](unsigned char* bytes, std::size_t size) {
            gathered[count++] = {bytes, size};
            total += size;
        };
        for (const Piece& piece : session.pieces) {
            if (piece.own) {
                if (piece.size > piece.done) {
                    add(piece.own.get() + piece.done, piece.size - piece.done);
                }
            } else {
                std::size_t at = piece.offset + piece.done;
                std::size_t left = piece.size - piece.done;
                while (left > 0 && count < kMostGathered) {
                    const std::size_t part = std::min(left, kBlockSize - at % kBlockSize);
                    add(piece.blocks[at / kBlockSize]->bytes + at % kBlockSize, part);
                    at += part;
                    left -= part;
                }
            }
            if (count == kMostGathered) {
                return total;
            }
        }
        if (session.member) {
            auto at = static_cast<std::size_t>(session.from - logBase_);
            auto left = static_cast<std::size_t>(head_ - session.from);
            while (left > 0 && count < kMostGathered) {
                const std::shared_ptr<Block>& block = log_[at / kBlockSize];
                const std::size_t part = std::min(left, kBlockSize - at % kBlockSize);
                add(block->bytes + at % kBlockSize, part);
                session.holding.push_back(block);
                at += part;
                left -= part;
            }
        }
        return total;
    }

    // Takes the bytes written off the front of the client's stream.
    void Consume(Session& session, std::size_t written) {
        while (written > 0 && !session.pieces.empty()) {
            Piece& piece = session.pieces.front();
            const std::size_t part = std::min(written, piece.size - piece.done);
            piece.done += part;
            session.pieceBytes -= part;
            written -= part;
            if (piece.done < piece.size) {
                break;
            }
            if (piece.own && session.pieces.size() == 1) {
                piece.size = piece.done = 0; // kept for the next bytes of its own; the rest is the log's
                break;
            }
            session.spent.push_back(std::move(piece));
            session.pieces.pop_front();
        }
        if (session.member) {
            session.from += written;
        }
    }

    networkdriver::ClientStatistics StatisticsOf(Session& session) {
        networkdriver::ClientStatistics statistics;
        statistics.handle = session.handle;
        statistics.peer = session.peer;
        statistics.connectedSince = session.since;
        statistics.bytesSent = session.bytesSent.load(std::memory_order_relaxed);
        std::lock_guard queue(queueLock_);
        statistics.framesSent = session.frames + (session.member ? logFrames_ - session.fromFrames : 0);
        statistics.queuedBytes = session.Queued(head_);
        statistics.maxQueuedBytes = std::max(session.maxQueued, statistics.queuedBytes);
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
    // A connection that failed: found dead (the kernel gave up on it) or reset.
    void Failed(const std::shared_ptr<Session>& session, int error) {
        if (error == ETIMEDOUT) {
            Gone(session, kGoneKeepalive, "keepalive");
        } else {
            Gone(session, kGoneError, "reset");
        }
    }

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
            std::lock_guard queue(queueLock_);
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
            std::lock_guard queue(queueLock_);
            if (session.closed) {
                return;
            }
            session.closed = true;
            if (session.member) {
                Drop(session);
                std::erase(members_, &session);
            }
            dropped.swap(session.pieces);
            session.pieceBytes = 0;
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
    // Guards every client's queue and the log. Taken after the tables' lock, never before.
    ShortLock queueLock_;
    // The log: what SendDataToEach sent, once, for the members' streams. Positions count its bytes from
    // kLogOrigin; the blocks hold [logBase_, logBase_ + blocks * kBlockSize), head_ is its end.
    std::deque<std::shared_ptr<Block>> log_;
    std::uint64_t logBase_ = kLogOrigin;
    std::uint64_t head_ = kLogOrigin;
    std::uint64_t logFrames_ = 0;
    std::vector<std::shared_ptr<Block>> spareBlocks_;
    std::vector<NetHandle> lastNamed_; // the clients SendDataToEach was last given, as given
    std::vector<Session*> members_;    // the sessions of those, in order; each leaves it before it dies
    std::uint64_t overflowAt_ = std::numeric_limits<std::uint64_t>::max(); // a member passes the limit here
    std::vector<std::shared_ptr<Session>> idle_;  // members with nothing to write (or that have moved on)
    std::vector<std::shared_ptr<Session>> ready_; // clients to write to at the next sweep
    bool sweepPosted_ = false;
    std::vector<std::shared_ptr<Session>> sweeping_; // the I/O thread's
    // Pacing, under the queue lock: where the members PaceSender goes by were when last looked at, where
    // they are to be when a sender has been told to wait, and room for the look.
    std::uint64_t paceBase_ = kLogOrigin;
    std::uint64_t paceTarget_ = 0;  // where they are to be when a sender to wait is told to
    std::atomic<bool> pace_{false}; // a sender is to wait
    std::vector<std::uint64_t> bases_;
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

void PaceSender() {
    try {
        Driver::Instance().Pace();
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
