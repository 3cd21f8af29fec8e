#include "networkdriver/roster.h"

#include <algorithm>

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
    ++departures_[statistics.left];
    left_.push_back(std::move(statistics));
    if (left_.size() > kClientsRemembered) {
        left_.pop_front();
    }
    return true;
}

Roster::View Roster::Take() const {
    Hold lock(mutex_);
    return {connected_, {left_.begin(), left_.end()}, departures_};
}

} // namespace networkdriver
