#include "testkit/table_server.h"

namespace kestavo::testkit {

namespace {

std::atomic<relay::ClientTable*> g_table{nullptr};
std::atomic<int> g_gone{0};

bool OnData(NetHandle client) {
    std::int32_t value = 0;
    ReceiveData(client, &value);
    return true;
}

bool OnGone(NetHandle client, std::uint32_t) {
    g_table.load()->RemoveClient(client);
    ++g_gone;
    return true;
}

bool OnConnected(std::int32_t port, NetHandle client) {
    g_table.load()->AddClient(client, static_cast<std::uint32_t>(port));
    return true;
}

} // namespace

TableServer::TableServer(int port) : port_(port) {
    Start();
}

TableServer::~TableServer() {
    Stop();
}

void TableServer::Start() {
    g_table = &table_;
    table_.Start(InitializeSocketWithCallbackANDString(OnData, OnGone, OnConnected, 0, port_, 1, 1,
                                                       "127.0.0.1", relay::kMulticastGroup, 65500, 65500));
}

void TableServer::Stop() {
    if (table_.Running()) {
        table_.SendStopFrame();
    }
    table_.ReleaseAll();
}

int TableServer::Gone() {
    return g_gone.load();
}

} // namespace kestavo::testkit
