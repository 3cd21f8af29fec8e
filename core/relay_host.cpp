#include "core/relay_host.h"

#include <shared_mutex>
#include <utility>

#include "networkdriver/network_driver.h"

namespace kestavo::core {
namespace {

// The host the relay's callbacks reach. They hold the lock while they use it, so that a host that goes
// away waits for a callback already under way on the relay's thread rather than being used after.
std::shared_mutex g_hostMutex;
RelayHost* g_host = nullptr;

const char* Why(std::uint32_t reason) {
    switch (reason) {
    case kGoneClosed:
        return "closed by the peer";
    case kGoneTooSlow:
        return "too slow";
    default:
        return "reset or unreachable";
    }
}

} // namespace

RelayHost::RelayHost(LogFn log) : log_(std::move(log)) {
    std::unique_lock lock(g_hostMutex);
    g_host = this;
}

RelayHost::~RelayHost() {
    Stop();
    std::unique_lock lock(g_hostMutex);
    g_host = nullptr;
}

bool RelayHost::Start(int port) {
    const NetHandle server = InitializeSocketWithCallbackANDString(OnData, OnGone, OnConnected, 0, port, 1, 1,
                                                                   "", relay::kMulticastGroup, 65500, 65500);
    if (server == 0) {
        log_("Cannot start the relay server on port " + std::to_string(port) + "!");
        return false;
    }
    table_.Start(server);
    log_("Network started");
    return true;
}

void RelayHost::Stop() {
    if (!table_.Running()) {
        return;
    }
    table_.SendStopFrame();
    table_.ReleaseAll();
    log_("Network stopped");
}

bool RelayHost::OnData(NetHandle client) {
    // What a client sends is taken and dropped, as the window does.
    std::int32_t value = 0;
    ReceiveData(client, &value);
    return true;
}

bool RelayHost::OnConnected(std::int32_t port, NetHandle client) {
    std::shared_lock hostLock(g_hostMutex);
    RelayHost* host = g_host;
    if (host == nullptr) {
        return true;
    }
    char peer[128] = {};
    GetPeerAddressString(client, peer, sizeof peer);
    {
        std::lock_guard lock(host->peersMutex_);
        host->peers_[client] = peer;
    }
    if (host->table_.AddClient(client, static_cast<std::uint32_t>(port))) {
        host->log_(std::string("Client connected ") + peer);
    }
    return true;
}

bool RelayHost::OnGone(NetHandle client, std::uint32_t reason) {
    std::shared_lock hostLock(g_hostMutex);
    RelayHost* host = g_host;
    if (host == nullptr) {
        return true;
    }
    std::string peer;
    {
        std::lock_guard lock(host->peersMutex_);
        if (const auto found = host->peers_.find(client); found != host->peers_.end()) {
            peer = std::move(found->second);
            host->peers_.erase(found);
        }
    }
    ++host->gone_;
    if (host->table_.RemoveClient(client)) {
        host->log_("Client gone " + peer + " (" + Why(reason) + ")");
    }
    return true;
}

} // namespace kestavo::core
