#pragma once

#include <atomic>

#include "relay/client_table.h"

namespace kestavo::testkit {

// The relay as the window runs it — the client table over the relay-socket library — with the
// library's callbacks entering and marking clients directly rather than through a window. One at a
// time in a process: the callbacks find it through a process-wide pointer.
class TableServer {
public:
    explicit TableServer(int port);
    ~TableServer();
    TableServer(const TableServer&) = delete;
    TableServer& operator=(const TableServer&) = delete;

    // Listens on the port and fills a fresh table; Stop sends the stop frame and releases everything.
    void Start();
    void Stop();

    [[nodiscard]] int Port() const { return port_; }
    relay::ClientTable& Table() { return table_; }
    // Clients the relay reported gone since the process started.
    static int Gone();

private:
    int port_;
    relay::ClientTable table_;
};

} // namespace kestavo::testkit
