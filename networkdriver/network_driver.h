#pragma once

#include <cstdint>

// The relay-socket library: the program's only door to the network. A TCP server that clients connect
// to, with one I/O thread of its own. Handles are 32-bit values; 0 never names a socket, and a handle is
// never given out twice in one process. No exception ever leaves these functions.

using NetHandle = std::uint32_t;

// Called on the library's I/O thread. Each returns true; the result is not looked at.
using ClientDataCallbackFn = bool (*)(NetHandle client);                       // data waits
using ClientGoneCallbackFn = bool (*)(NetHandle client, std::uint32_t reason); // the client went away
using ClientConnectedCallbackFn = bool (*)(std::int32_t port, NetHandle client);

// Why a client went away, as ClientGoneCallback's second value gives it.
enum GoneReason : std::uint32_t {
    kGoneClosed = 0,    // the client closed the connection
    kGoneError = 1,     // the connection failed (reset)
    kGoneTooSlow = 2,   // the client fell so far behind that its outbound queue was full
    kGoneKeepalive = 3, // the connection was found dead: keepalive or unanswered writes timed out
};

// Writes the host's own IPv4 address as zero-terminated text into buffer, cut to size - 1 characters.
// The address is for display: the first non-loopback IPv4 address of an interface that is up, or
// "127.0.0.1" when the host has none. Nothing is written when size is less than 1.
void GetOwnAddrString(char* buffer, int size);

// Starts a server that accepts clients on port (1 to 65535) on every interface, IPv4 and IPv6 alike, and
// returns its handle, or 0 when it cannot listen there. From then on it reports each client's arrival
// (with the client's own port), its data and its departure through the three callbacks, until the
// handle is released.
//   flags, version, mode: reserved, accepted and ignored (the program passes 0, 1, 1).
//   ownAddress: the address shown to the operator; for display only, the server listens everywhere.
//   multicastGroup: accepted and never used: nothing is ever sent to it.
//   sendBufferSize, receiveBufferSize: the kernel buffer sizes (SO_SNDBUF, SO_RCVBUF) of each client
//   connection in bytes; 0 or less keeps the system's.
NetHandle InitializeSocketWithCallbackANDString(ClientDataCallbackFn dataCallback,
                                                ClientGoneCallbackFn goneCallback,
                                                ClientConnectedCallbackFn connectedCallback,
                                                std::int32_t flags, std::int32_t port, std::int32_t version,
                                                std::int32_t mode, const char* ownAddress,
                                                const char* multicastGroup, std::int32_t sendBufferSize,
                                                std::int32_t receiveBufferSize);

// Queues the bytes, whole, for the client and returns at once; the I/O thread writes them out in call
// order. Callable from any thread. A client whose queue would pass the limit (4 MiB) is disconnected and
// reported gone. Returns length, or -1 when the handle names no connected client.
std::int32_t SendData(NetHandle client, const void* bytes, std::int32_t length);

// The same bytes to each of count clients of the server, as SendData to each in turn, in one call. Not
// one of the six: for a relay that sends every frame to all its clients. The bytes are kept once for
// them all, and while the list names the same clients as at the last call nothing is done for each; a
// client newly named receives what is sent from then on. Each server's clients share their own log, so
// relays of one process (one per dongle) never mix their frames. Returns how many clients took the
// bytes (a handle that names no client of the server, or one disconnected as too slow, is passed over;
// 0 for a server released), or -1 for bad arguments.
std::int32_t SendDataToEach(NetHandle server, const NetHandle* clients, std::int32_t count, const void* bytes,
                            std::int32_t length);

// For the caller of SendDataToEach that produces faster than the server's clients can take (the only
// one that may wait here): waits while most of the clients it sends to are too far behind, until they
// have caught up halfway, by the rule in pacing.h; else returns at once. A few slow clients, or one that
// takes nothing, hold nobody back, and another server's clients never do. Never waits on the library's
// I/O thread. Call it holding no lock that a callback could wait for. Not one of the six.
void PaceSender(NetHandle server);

namespace networkdriver {
// How often PaceSender made the sender of a server wait, and for how long in all, since the server
// started. Not one of the six.
struct HeldBack {
    std::uint64_t times = 0;
    std::uint64_t nanoseconds = 0;
};
HeldBack HeldBackOf(NetHandle server);
} // namespace networkdriver

// Takes what the client has sent (up to 64 KiB a call) and drops it; its first bytes, at most 4, are
// stored into *value. Returns the number of bytes taken, 0 when none waited, -1 for an unknown handle.
std::int32_t ReceiveData(NetHandle client, std::int32_t* value);

// Kept for callers that forward socket notifications; the library needs none. A handle of 0 does nothing.
// Returns 0.
std::int32_t ProcessSocketMessage(NetHandle client, std::uintptr_t wParam, std::intptr_t lParam);

// Writes a connected client's address and port as text ("::1 50312", "192.0.2.7 50312"; an IPv4 client
// of the dual-stack server shows its IPv4 address), cut to size - 1 characters and zero-terminated.
// Returns 0, or -1 (and an empty text) when the handle names no connected client. Not one of the six:
// for the programs that name their clients in a log.
std::int32_t GetPeerAddressString(NetHandle client, char* buffer, std::int32_t size);

// The server whose client the handle names, or 0 when it names no connected client. Not one of the six:
// for a program that runs several relays and must tell whose a callback's client is.
NetHandle ServerOfClient(NetHandle client);

// Closes a client (after writing out what is queued for it, for two seconds at most) or a server (which
// stops accepting and closes its clients alike) and frees the handle. Never waits for the I/O thread.
// No callback naming the handle starts after it returns. Returns 0, or -1 for an unknown handle.
std::int32_t ReleaseSocket(NetHandle handle);
