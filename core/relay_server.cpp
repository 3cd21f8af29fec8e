#include "core/relay_server.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "core/texts.h"
#include "networkdriver/network_driver.h"

namespace kestavo::core {
namespace {

// The servers the relay's callbacks reach, and whose client each connected client is. The callbacks
// hold the shared lock while they use a server, so that a server that goes away waits for a callback
// already under way on the relay's thread rather than being used after. A dispatch that waits for
// another thread must let go when that thread is going away (the window's mailbox does, once the
// window detaches), or the server's destructor would wait for it for ever. The maps have a mutex of
// their own, never held while a callback runs, so that a host may start a server from the thread a
// dispatch waits for.
std::shared_mutex g_serverMutex;
std::mutex g_mapMutex;
std::map<NetHandle, RelayServer*> g_servers; // by the library's server handle
std::map<NetHandle, RelayServer*> g_clients; // by client, from its arrival until it is gone
// Held while a server starts: a client that arrives before its server is entered waits for it.
std::mutex g_startMutex;

RelayServer* ServerNamed(NetHandle server) {
    std::lock_guard lock(g_mapMutex);
    const auto found = g_servers.find(server);
    return found == g_servers.end() ? nullptr : found->second;
}

// Whose the event's client is: found for an arrival through the library, remembered until it is gone.
RelayServer* Owner(const RelayEvent& event) {
    if (event.kind == RelayEvent::Kind::Connected) {
        const NetHandle server = ServerOfClient(event.client);
        RelayServer* owner = ServerNamed(server);
        if (owner == nullptr && server != 0) {
            std::lock_guard starting(g_startMutex);
            owner = ServerNamed(server);
        }
        if (owner != nullptr) {
            std::lock_guard lock(g_mapMutex);
            g_clients[event.client] = owner;
        }
        return owner;
    }
    std::lock_guard lock(g_mapMutex);
    const auto found = g_clients.find(event.client);
    if (found == g_clients.end()) {
        return nullptr;
    }
    RelayServer* owner = found->second;
    if (event.kind == RelayEvent::Kind::Gone) {
        g_clients.erase(found);
    }
    return owner;
}

} // namespace

RelayServer::RelayServer(LogFn log, Dispatch dispatch)
    : log_(std::move(log)), dispatch_(std::move(dispatch)) {}

RelayServer::~RelayServer() {
    Stop();
    std::unique_lock lock(g_serverMutex);
    std::lock_guard maps(g_mapMutex);
    std::erase_if(g_servers, [this](const auto& entry) { return entry.second == this; });
    std::erase_if(g_clients, [this](const auto& entry) { return entry.second == this; });
}

bool RelayServer::Start(int port, const std::string& ownAddress) {
    networkdriver::TlsListening listening;
    if (tls_.Any()) {
        std::string error;
        if (auto fresh = networkdriver::TlsCredentials::Load(tls_.Files(), error)) {
            credentials_ = std::move(fresh);
            tlsProblem_.clear();
        } else {
            tlsProblem_ = error;
            if (!credentials_) {
                return false;
            }
        }
        listening = {tls_.port, !tls_.noPlain, credentials_};
    }
    std::lock_guard starting(g_startMutex);
    // The library takes the listening plan at the start of each server, as it takes the access rules.
    networkdriver::SetTlsListening(listening);
    const NetHandle server = InitializeSocketWithCallbackANDString(
        OnData, OnGone, OnConnected, 0, port, 1, 1, ownAddress.c_str(), relay::kMulticastGroup,
        kRelaySocketBufferSize, kRelaySocketBufferSize);
    networkdriver::SetTlsListening({});
    if (server == 0) {
        return false;
    }
    table_.Start(server);
    std::lock_guard lock(g_mapMutex);
    g_servers[server] = this;
    return true;
}

bool RelayServer::ReloadTls(std::string& error) {
    if (!credentials_) {
        error = "no TLS files to read again";
        return false;
    }
    return credentials_->Reload(error);
}

networkdriver::TlsCounts RelayServer::TlsCounts() const {
    return table_.Running() ? networkdriver::TlsCountsOf(table_.ServerHandle()) : networkdriver::TlsCounts{};
}

networkdriver::HeldBack RelayServer::HeldBack() const {
    networkdriver::HeldBack held = heldBefore_;
    if (table_.Running()) {
        const networkdriver::HeldBack now = networkdriver::HeldBackOf(table_.ServerHandle());
        held.times += now.times;
        held.nanoseconds += now.nanoseconds;
    }
    return held;
}

void RelayServer::Stop() {
    if (!table_.Running()) {
        return;
    }
    const NetHandle server = table_.ServerHandle();
    heldBefore_ = HeldBack();
    table_.SendStopFrame();
    table_.ReleaseAll();
    std::lock_guard lock(g_mapMutex);
    g_servers.erase(server);
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
            if (const std::string subject = networkdriver::PeerSubject(event.client); !subject.empty()) {
                peer += " (" + subject + ")";
            }
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
    if (RelayServer* server = Owner(event)) {
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
