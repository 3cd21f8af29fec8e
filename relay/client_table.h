#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "frames/frames.h"
#include "networkdriver/network_driver.h"
#include "networkdriver/thread_annotations.h"

namespace kestavo::relay {

// The multicast group handed to the relay-socket library at every start; it sends nothing there.
inline constexpr char kMulticastGroup[] = "239.192.0.1";

struct ClientEntry {
    NetHandle handle = 0;
    std::uint16_t port = 0;
};

// The relay server and its connected clients, in order of connection. A client that goes away leaves
// the table at once, the others keeping their order, so that a host that connects and leaves over and
// over cannot make the walk of every frame longer; a stop empties the table. The window thread changes
// the table; the reader thread walks it for every sample frame. One lock keeps them apart, and makes
// each frame reach a client whole: a new client is entered and sent its configuration frame as one step,
// so no sample frame can come before it.
class ClientTable {
public:
    ClientTable() = default;
    ClientTable(const ClientTable&) = delete;
    ClientTable& operator=(const ClientTable&) = delete;

    [[nodiscard]] bool Running() const;
    [[nodiscard]] NetHandle ServerHandle() const;
    [[nodiscard]] std::vector<ClientEntry> Entries() const;
    // The connections made since the server started, the gone ones included.
    [[nodiscard]] std::uint64_t Connections() const;

    // The server has started with this handle.
    void Start(NetHandle server);
    // Enters a client and sends the configuration frame to every client in the table, the new one too.
    // A client reported after the server stopped is not entered: false.
    bool AddClient(NetHandle client, std::uint32_t port);
    // Takes the first entry with this handle out of the table; false when there is none.
    bool RemoveClient(NetHandle client);
    // Every client still in the table receives the stop frame.
    void SendStopFrame();
    // Releases the server, then every client still in the table, and empties the table.
    void ReleaseAll();
    // Hands a socket notification to every client in the table.
    void ForwardSocketMessage(std::uintptr_t wParam, std::intptr_t lParam);

    // Counts the packet, then sends its sample frame to every client, in one piece each. Any thread.
    void RelaySamplePacket(const frames::SamplePacket& packet);
    // The packets relayed since the last call.
    std::int32_t TakePacketCount() { return packetCounter_.exchange(0); }

private:
    void SendToAllLocked(const std::uint8_t* bytes, std::size_t length) const REQUIRES(mutex_);

    mutable networkdriver::Mutex mutex_;
    NetHandle server_ GUARDED_BY(mutex_) = 0;
    std::vector<ClientEntry> entries_ GUARDED_BY(mutex_);
    // The entries' handles, in the same order, as the library takes them.
    std::vector<NetHandle> handles_ GUARDED_BY(mutex_);
    std::uint64_t connections_ GUARDED_BY(mutex_) = 0;
    bool running_ GUARDED_BY(mutex_) = false;
    std::atomic<std::int32_t> packetCounter_{0};
};

} // namespace kestavo::relay
