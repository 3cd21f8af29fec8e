#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "networkdriver/client_statistics.h"
#include "networkdriver/thread_annotations.h"

namespace networkdriver {

struct Session;

// Every connected client and the latest that left, for the program's view of them. Its own lock: the
// send path never takes it.
class Roster {
public:
    void Enter(std::shared_ptr<Session> session) EXCLUDES(mutex_);
    // Moves the client to the record of those that left, with its figures as it left; false when it had
    // left already.
    bool Leave(const std::shared_ptr<Session>& session, ClientStatistics statistics) EXCLUDES(mutex_);

    struct View {
        std::vector<std::shared_ptr<Session>> connected;
        std::vector<ClientStatistics> left;
        std::map<std::string, std::uint64_t> departures;
    };
    // Those of one server, or of all for 0.
    [[nodiscard]] View Take(NetHandle server) const EXCLUDES(mutex_);

private:
    struct Record {
        std::deque<ClientStatistics> left;
        std::map<std::string, std::uint64_t> departures;
    };

    mutable Mutex mutex_;
    std::vector<std::shared_ptr<Session>> connected_ GUARDED_BY(mutex_);
    std::map<NetHandle, Record> records_ GUARDED_BY(mutex_); // by server: handles only grow
};

} // namespace networkdriver
