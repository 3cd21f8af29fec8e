#include "core/relay_server.h"

#include <shared_mutex>
#include <utility>

#include "core/texts.h"
#include "networkdriver/network_driver.h"

namespace kestavo::core {
namespace {

// The server the relay's callbacks reach. They hold the lock while they use it, so that a server that
// goes away waits for a callback already under way on the relay's thread rather than being used after.
// A dispatch that waits for another thread must let go when that thread is going away (the window's
// mailbox does, once the window detaches), or the server's destructor would wait for it for ever.
std::shared_mutex g_serverMutex;
RelayServer* g_server = nullptr;

} // namespace

RelayServer::RelayServer(LogFn log, Dispatch dispatch)
    : log_(std::move(log)), dispatch_(std::move(dispatch)) {
    std::unique_lock lock(g_serverMutex);
    g_server = this;
}

RelayServer::~RelayServer() {
    Stop();
    std::unique_lock lock(g_serverMutex);
    if (g_server == this) {
        g_server = nullptr;
    }
}

bool RelayServer::Start(int port, const std::string& ownAddress) {
    const NetHandle server = InitializeSocketWithCallbackANDString(
        OnData, OnGone, OnConnected, 0, port, 1, 1, ownAddress.c_str(), relay::kMulticastGroup,
        kRelaySocketBufferSize, kRelaySocketBufferSize);
    if (server == 0) {
        return false;
    }
    table_.Start(server);
    return true;
}

void RelayServer::Stop() {
    if (!table_.Running()) {
        return;
    }
    table_.SendStopFrame();
    table_.ReleaseAll();
}

bool RelayServer::Handle(const RelayEvent& event) {
    switch (event.kind) {
    case RelayEvent::Kind::Data: {
        // What a client sends is taken and dropped.
        std::int32_t value = 0;
        ReceiveData(event.client, &value);
        return true;
    }
    case RelayEvent::Kind::Connected: {
        std::string peer;
        if (log_) {
            char text[128] = {};
            GetPeerAddressString(event.client, text, sizeof text);
            peer = text;
            networkdriver::Hold lock(peersMutex_);
            peers_[event.client] = peer;
        }
        // The low 16 bits of the port are the client's port.
        if (!table_.AddClient(event.client, event.value & 0xFFFF)) {
            return false;
        }
        if (log_) {
            log_(texts::ClientConnectedFrom(peer));
        }
        return true;
    }
    case RelayEvent::Kind::Gone: {
        std::string peer;
        {
            networkdriver::Hold lock(peersMutex_);
            if (const auto found = peers_.find(event.client); found != peers_.end()) {
                peer = std::move(found->second);
                peers_.erase(found);
            }
        }
        ++gone_;
        if (!table_.RemoveClient(event.client)) {
            return false;
        }
        if (log_) {
            log_(texts::ClientGone(peer, event.value));
        }
        return true;
    }
    }
    return false;
}

void RelayServer::Route(const RelayEvent& event) {
    std::shared_lock lock(g_serverMutex);
    if (RelayServer* server = g_server) {
        if (server->dispatch_) {
            server->dispatch_(event);
        } else {
            server->Handle(event);
        }
    }
}

bool RelayServer::OnData(NetHandle client) {
    Route({RelayEvent::Kind::Data, client, 0});
    return true;
}

bool RelayServer::OnConnected(std::int32_t port, NetHandle client) {
    Route({RelayEvent::Kind::Connected, client, static_cast<std::uint32_t>(port)});
    return true;
}

bool RelayServer::OnGone(NetHandle client, std::uint32_t reason) {
    Route({RelayEvent::Kind::Gone, client, reason});
    return true;
}

} // namespace kestavo::core
