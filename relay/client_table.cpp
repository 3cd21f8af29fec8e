#include "relay/client_table.h"

#include <algorithm>

namespace kestavo::relay {

bool ClientTable::Running() const {
    networkdriver::Hold lock(mutex_);
    return running_;
}

NetHandle ClientTable::ServerHandle() const {
    networkdriver::Hold lock(mutex_);
    return server_;
}

std::vector<ClientEntry> ClientTable::Entries() const {
    networkdriver::Hold lock(mutex_);
    return entries_;
}

std::uint64_t ClientTable::Connections() const {
    networkdriver::Hold lock(mutex_);
    return connections_;
}

void ClientTable::Start(NetHandle server) {
    networkdriver::Hold lock(mutex_);
    server_ = server;
    running_ = true;
}

bool ClientTable::AddClient(NetHandle client, std::uint32_t port) {
    const auto frame = frames::ConfigurationFrame();
    networkdriver::Hold lock(mutex_);
    if (!running_) {
        return false;
    }
    entries_.push_back({client, static_cast<std::uint16_t>(port & 0xFFFF)});
    handles_.push_back(client);
    ++connections_;
    SendToAllLocked(frame.data(), frame.size());
    return true;
}

bool ClientTable::RemoveClient(NetHandle client) {
    networkdriver::Hold lock(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const ClientEntry& entry) { return entry.handle == client; });
    if (found == entries_.end()) {
        return false;
    }
    handles_.erase(handles_.begin() + (found - entries_.begin()));
    entries_.erase(found);
    return true;
}

void ClientTable::SendStopFrame() {
    const auto frame = frames::StopFrame();
    networkdriver::Hold lock(mutex_);
    SendToAllLocked(frame.data(), frame.size());
}

void ClientTable::ReleaseAll() {
    std::vector<ClientEntry> entries;
    NetHandle server = 0;
    {
        networkdriver::Hold lock(mutex_);
        entries.swap(entries_);
        handles_.clear();
        server = server_;
        server_ = 0;
        connections_ = 0;
        running_ = false;
    }
    if (server != 0) {
        ReleaseSocket(server);
    }
    for (const ClientEntry& entry : entries) {
        if (entry.handle != 0) {
            ReleaseSocket(entry.handle);
        }
    }
}

void ClientTable::ForwardSocketMessage(std::uintptr_t wParam, std::intptr_t lParam) {
    for (const ClientEntry& entry : Entries()) {
        ProcessSocketMessage(entry.handle, wParam, lParam);
    }
}

void ClientTable::RelaySamplePacket(const frames::SamplePacket& packet) {
    packetCounter_.fetch_add(1);
    const auto frame = frames::SampleFrame(packet);
    NetHandle server = 0;
    {
        networkdriver::Hold lock(mutex_);
        SendToAllLocked(frame.data(), frame.size());
        server = server_;
    }
    // Outside the lock: the library's callbacks enter clients through it, and pacing waits for them.
    PaceSender(server);
}

void ClientTable::SendToAllLocked(const std::uint8_t* bytes, std::size_t length) const {
    // One call for all the clients, in the table's order: the library then keeps the frame once for them
    // all, and does nothing per client while the table is unchanged.
    SendDataToEach(server_, handles_.data(), static_cast<std::int32_t>(handles_.size()), bytes,
                   static_cast<std::int32_t>(length));
}

} // namespace kestavo::relay
