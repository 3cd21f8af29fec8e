#include "networkdriver/fan_out.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace networkdriver {

std::int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool FanOut::NamedLastTime(const NetHandle* handles, std::int32_t count) const {
    return lastNamed_.size() == static_cast<std::size_t>(count) &&
           (count == 0 ||
            std::memcmp(lastNamed_.data(), handles, static_cast<std::size_t>(count) * sizeof *handles) == 0);
}

void FanOut::Regrouped(std::vector<Session*> members, const NetHandle* handles, std::int32_t count) {
    for (Session* const old : members_) {
        if (!old->named) {
            Leave(*old);
        }
    }
    for (Session* const session : members) {
        session->named = false;
        if (!session->stream.Member()) {
            Join(*session);
        }
    }
    members_.swap(members);
    lastNamed_.assign(handles, handles + count);
    if (members_.empty()) {
        idle_.clear(); // nobody left to wake: let go of the sessions gone since
    }
    overflowAt_ = std::numeric_limits<std::uint64_t>::max();
    for (const Session* const member : members_) {
        overflowAt_ = std::min(overflowAt_, OverflowPoint(*member));
    }
    LookAtPace(SteadyNowNs());
}

std::uint64_t FanOut::OverflowPoint(const Session& member) const {
    return log_.Head() + (kQueueLimit - std::min(member.stream.Queued(log_.Head()), kQueueLimit));
}

void FanOut::Join(Session& session) {
    session.stream.Join(log_);
    session.takenAt = SteadyNowNs();
    if (session.io == Session::Io::kIdle) {
        idle_.push_back(session.shared_from_this());
    }
}

void FanOut::Leave(Session& session) {
    session.stream.Leave(log_);
}

void FanOut::Remove(Session& session) {
    if (session.stream.Member()) {
        Leave(session);
        std::erase(members_, &session);
    }
    Forget(session);
}

void FanOut::Drop(Session& session) {
    session.dropping = true;
    if (session.stream.Member()) {
        session.stream.StopFollowing(log_);
        std::erase(members_, &session);
    }
    Forget(session);
}

void FanOut::Forget(const Session& session) {
    // The session holds its fan-out alive: held here once it has gone, the two would keep each other.
    std::erase_if(idle_, [&](const std::shared_ptr<Session>& waiting) { return waiting.get() == &session; });
}

void FanOut::DropOverflowing(std::size_t size, std::vector<std::shared_ptr<Session>>& dropped) {
    overflowAt_ = std::numeric_limits<std::uint64_t>::max();
    std::size_t kept = 0;
    for (Session* const member : members_) {
        const std::size_t queued = member->stream.Queued(log_.Head());
        if (queued + size > kQueueLimit) {
            member->maxQueued = std::max(member->maxQueued, queued);
            member->dropping = true;
            member->stream.StopFollowing(log_);
            dropped.push_back(member->shared_from_this());
            continue;
        }
        overflowAt_ = std::min(overflowAt_, OverflowPoint(*member));
        members_[kept++] = member;
    }
    members_.resize(kept);
}

bool FanOut::Append(const unsigned char* data, std::size_t size,
                    std::vector<std::shared_ptr<Session>>& dropped,
                    std::vector<std::shared_ptr<Session>>& woken) {
    if (size == 0 || members_.empty()) {
        return false;
    }
    if (log_.Head() + size > overflowAt_) {
        DropOverflowing(size, dropped);
        if (members_.empty()) {
            return false;
        }
    }
    // Called within Append, under the lock the analysis cannot follow into a lambda.
    log_.Append(data, size, [this]() NO_THREAD_SAFETY_ANALYSIS {
        // Once a block's worth of frames: the walk over the members is cheap.
        LookAtPace(SteadyNowNs());
        std::uint64_t needed = log_.Head();
        for (const Session* const member : members_) {
            needed = std::min(needed, member->stream.From());
        }
        return needed;
    });
    for (auto& session : idle_) {
        if (session->io == Session::Io::kIdle && session->stream.Member()) {
            woken.push_back(std::move(session));
        }
    }
    idle_.clear();
    pacing_.Appended(log_.Head());
    return true;
}

bool FanOut::AppendOwn(Session& session, const unsigned char* data, std::size_t size, Piece& fresh) {
    if (!session.stream.AppendOwn(log_, data, size, fresh)) {
        return false;
    }
    if (session.stream.Member()) {
        overflowAt_ = std::min(overflowAt_, OverflowPoint(session));
    }
    return true;
}

void FanOut::Idle(const std::shared_ptr<Session>& session) {
    if (session->stream.Member()) {
        idle_.push_back(session);
    }
}

void FanOut::LookAtPace(std::int64_t nowNs) {
    // Called within Look, under the lock the analysis cannot follow into a lambda.
    pacing_.Look(log_.Head(), nowNs, members_, [](const Session* member) NO_THREAD_SAFETY_ANALYSIS {
        return std::pair{member->stream.Base(), member->takenAt};
    });
}

bool FanOut::SenderMayGoOn(std::int64_t nowNs) {
    pacing_.Heard();
    LookAtPace(nowNs);
    return pacing_.Reached();
}

} // namespace networkdriver
