#include "networkdriver/roster.h"

#include <algorithm>

#include "networkdriver/session.h"

namespace networkdriver {

void Roster::Enter(std::shared_ptr<Session> session) {
    Hold lock(mutex_);
    connected_.push_back(std::move(session));
}

bool Roster::Leave(const std::shared_ptr<Session>& session, ClientStatistics statistics) {
    Hold lock(mutex_);
    const auto found = std::find(connected_.begin(), connected_.end(), session);
    if (found == connected_.end()) {
        return false;
    }
    connected_.erase(found);
    Record& record = records_[statistics.server];
    ++record.departures[statistics.left];
    record.left.push_back(std::move(statistics));
    if (record.left.size() > kClientsRemembered) {
        record.left.pop_front();
    }
    if (records_.size() > kServersRemembered) {
        records_.erase(records_.begin()); // the earliest server's
    }
    return true;
}

Roster::View Roster::Take(NetHandle server) const {
    Hold lock(mutex_);
    View view;
    for (const auto& session : connected_) {
        if (server == 0 || session->server == server) {
            view.connected.push_back(session);
        }
    }
    for (const auto& [owner, record] : records_) {
        if (server != 0 && owner != server) {
            continue;
        }
        view.left.insert(view.left.end(), record.left.begin(), record.left.end());
        for (const auto& [why, count] : record.departures) {
            view.departures[why] += count;
        }
    }
    if (server == 0) {
        // Of every server: the latest that left, oldest first.
        std::stable_sort(
            view.left.begin(), view.left.end(),
            [](const ClientStatistics& a, const ClientStatistics& b) { return a.leftAt < b.leftAt; });
        if (view.left.size() > kClientsRemembered) {
            view.left.erase(view.left.begin(),
                            view.left.end() - static_cast<std::ptrdiff_t>(kClientsRemembered));
        }
    }
    return view;
}

} // namespace networkdriver
