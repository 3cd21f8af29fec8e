#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <asio.hpp>

#include "networkdriver/access.h"
#include "networkdriver/client_stream.h"
#include "networkdriver/network_driver.h"
#include "networkdriver/short_lock.h"
#include "networkdriver/thread_annotations.h"
#include "networkdriver/tls.h"

namespace networkdriver {

class FanOut;

// The library's two locks, taken in this order and never the other way round. The tables' lock guards
// which servers and clients exist; held for a few instructions, but for entering a client on the I/O
// thread, which allocates its entries and, when a table has to grow, copies the live entries into one
// twice its size. The queue lock guards every client's stream and state of writing, the shared log,
// the members of the fan-out and the pacing.
extern ShortLock g_tablesLock;
extern ShortLock g_queueLock ACQUIRED_AFTER(g_tablesLock);

struct Callbacks {
    ClientDataCallbackFn data = nullptr;
    ClientGoneCallbackFn gone = nullptr;
    ClientConnectedCallbackFn connected = nullptr;
};

// One client connection.
struct Session : std::enable_shared_from_this<Session> {
    Session(asio::io_context& io, asio::ip::tcp::socket connected)
        : socket(std::move(connected)), lingerTimer(io) {}

    // Set before the session is entered in the tables and never changed.
    NetHandle handle = 0;
    NetHandle server = 0;
    // Its server's: the clients of one server share a log, those of another never see it.
    std::shared_ptr<FanOut> fanOut;
    Callbacks callbacks;
    std::string peer;       // "address port"
    std::string address;    // the peer's address alone
    std::int64_t since = 0; // connected, in ms since the epoch
    // A TLS client's connection once its handshake is done (the I/O thread's alone), and the subject of
    // the certificate it presented.
    std::shared_ptr<SSL> tls;
    std::string subject;

    asio::ip::tcp::socket socket; // the I/O thread's alone
    asio::steady_timer lingerTimer;

    // Where the I/O thread is with the client.
    enum class Io {
        kIdle,    // nothing to write
        kReady,   // waiting in the list of clients to write to
        kWriting, // being written to
        kBlocked, // waiting for room in the socket
    };
    Io io GUARDED_BY(g_queueLock) = Io::kIdle;
    bool closed GUARDED_BY(g_queueLock) = false;
    bool dropping GUARDED_BY(g_queueLock) = false; // found too slow; going
    bool named GUARDED_BY(g_queueLock) = false;    // scratch, while the members are changed
    ClientStream stream GUARDED_BY(g_queueLock);
    std::size_t maxQueued GUARDED_BY(g_queueLock) = 0; // the most bytes queued at once
    std::int64_t
        takenAt GUARDED_BY(g_queueLock) = 0; // when a write last took bytes (or it joined), steady ns

    alignas(64) std::atomic<bool> released{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> receivedInCallback{false};
    std::atomic<std::uint64_t> bytesSent{0}; // written by the I/O thread
    // The I/O thread's alone: the blocks a write in progress reads, and written pieces to free.
    std::vector<std::shared_ptr<Block>> holding;
    std::vector<Piece> spent;
    // A TLS client's: what was taken from its stream to be encrypted, and how much of it has been.
    std::vector<unsigned char> staging;
    std::size_t stagingSent = 0;

    // Keeps the descriptor open, and its number unused by another, while ReceiveData reads it on another
    // thread. The send path never takes it.
    Mutex descriptorMutex;
    int fd GUARDED_BY(descriptorMutex) = -1; // while the socket is open; set by the I/O thread
    // The same number, for the I/O thread's own reads and writes, which happen only while it is open.
    int ioFd = -1;
};

// One listening socket of a server; a server has one for every address it listens on.
struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io), retryTimer(io) {}

    int fd = -1;      // stays open until the I/O thread closes the acceptor
    bool tls = false; // its clients shake hands before they are entered
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    // Filled by accept itself: a peer that resets right after connecting still has an address, and
    // is reported connected and then gone rather than silently never seen.
    asio::ip::tcp::endpoint acceptedPeer; // the I/O thread's alone
};

struct Server {
    // Set before the server is entered in the tables and never changed.
    NetHandle handle = 0;
    Callbacks callbacks;
    std::shared_ptr<FanOut> fanOut; // what SendDataToEach sends its clients
    int sendBufferSize = 0;
    int receiveBufferSize = 0;
    AccessRules rules;
    TlsListening tls;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::atomic<std::uint64_t> tlsAdmitted{0};
    std::atomic<std::uint64_t> tlsRefused{0};
    std::atomic<std::uint64_t> tlsTimedOut{0};
    // The sender's waits for the clients (PaceSender) and how long they lasted, in all.
    std::atomic<std::uint64_t> heldTimes{0};
    std::atomic<std::uint64_t> heldNs{0};

    std::atomic<bool> released{false};
    // Its clients in the tables, and how many come from each address.
    std::unordered_set<NetHandle> children GUARDED_BY(g_tablesLock);
    std::unordered_map<std::string, int> perAddress GUARDED_BY(g_tablesLock);
};

} // namespace networkdriver
