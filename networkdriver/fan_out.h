#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "networkdriver/network_driver.h"
#include "networkdriver/pacing.h"
#include "networkdriver/session.h"
#include "networkdriver/shared_log.h"

namespace networkdriver {

// Client whose queue would pass this is dropped as too slow.
inline constexpr std::size_t kQueueLimit = 4 * 1024 * 1024;

// The clients SendDataToEach sends to (its members), the log they share and the pacing of the sender.
// While the clients named are the same as at the last call, a frame costs nothing for each of them; a
// change in the list makes those no longer named leave the log where it is, and the new ones join it.
// Everything under the queue lock.
class FanOut {
public:
    [[nodiscard]] const SharedLog& Log() const REQUIRES(g_queueLock) { return log_; }
    [[nodiscard]] std::uint64_t Head() const REQUIRES(g_queueLock) { return log_.Head(); }
    [[nodiscard]] bool Empty() const REQUIRES(g_queueLock) { return members_.empty(); }
    [[nodiscard]] std::size_t Count() const REQUIRES(g_queueLock) { return members_.size(); }

    // Whether these are the clients named at the last call, in the same order.
    [[nodiscard]] bool NamedLastTime(const NetHandle* handles, std::int32_t count) const
        REQUIRES(g_queueLock);
    // Makes the clients named the members, in the order named; a handle named twice is one member, one
    // that names no open client none. find gives a handle's session (the tables' lock is held).
    template <typename Find>
    void Regroup(const NetHandle* handles, std::int32_t count, Find find) REQUIRES(g_queueLock) {
        std::vector<Session*> members;
        members.reserve(static_cast<std::size_t>(count));
        for (std::int32_t i = 0; i < count; ++i) {
            Session* const session = find(handles[i]);
            if (session != nullptr && !session->closed && !session->dropping && !session->named) {
                session->named = true;
                members.push_back(session);
            }
        }
        Regrouped(std::move(members), handles, count);
    }
    // Appends one frame for every member. Those it would take past the queue limit are dropped first
    // (into dropped); the members with nothing to write go into woken. False when nobody took it.
    bool Append(const unsigned char* data, std::size_t size, std::vector<std::shared_ptr<Session>>& dropped,
                std::vector<std::shared_ptr<Session>>& woken) REQUIRES(g_queueLock);

    // A client's own bytes (SendData) after all it was sent. False when they need `fresh` (as
    // ClientStream::AppendOwn).
    bool AppendOwn(Session& session, const unsigned char* data, std::size_t size, Piece& fresh)
        REQUIRES(g_queueLock);
    // A member with nothing to write waits here for the next frame.
    void Idle(const std::shared_ptr<Session>& session) REQUIRES(g_queueLock);
    // Takes a client out of the members, keeping what it was sent.
    void Remove(Session& session) REQUIRES(g_queueLock);
    // Marks a client too slow (or closed): it takes nothing more, and is no member.
    void Drop(Session& session) REQUIRES(g_queueLock);

    // The sender's pacing.
    [[nodiscard]] bool SenderToWait() const { return pacing_.SenderToWait(); }
    // Looks again; true when the sender may go on.
    bool SenderMayGoOn(std::int64_t nowNs) REQUIRES(g_queueLock);

private:
    void Regrouped(std::vector<Session*> members, const NetHandle* handles, std::int32_t count)
        REQUIRES(g_queueLock);
    void Join(Session& session) REQUIRES(g_queueLock);
    void Leave(Session& session) REQUIRES(g_queueLock);
    void DropOverflowing(std::size_t size, std::vector<std::shared_ptr<Session>>& dropped)
        REQUIRES(g_queueLock);
    // The log position at which the member's queue would pass the limit.
    [[nodiscard]] std::uint64_t OverflowPoint(const Session& member) const REQUIRES(g_queueLock);
    void LookAtPace(std::int64_t nowNs) REQUIRES(g_queueLock);
    void Forget(const Session& session) REQUIRES(g_queueLock);

    SharedLog log_ GUARDED_BY(g_queueLock);
    std::vector<NetHandle> lastNamed_ GUARDED_BY(g_queueLock); // as given
    std::vector<Session*> members_ GUARDED_BY(g_queueLock);    // each leaves it before it dies
    // A member passes the queue limit when the log reaches this.
    std::uint64_t overflowAt_ GUARDED_BY(g_queueLock) = std::numeric_limits<std::uint64_t>::max();
    // Members with nothing to write (or that have moved on since).
    std::vector<std::shared_ptr<Session>> idle_ GUARDED_BY(g_queueLock);
    // Under the queue lock too, but for the flag a sender reads without it.
    Pacing pacing_{SharedLog::kOrigin};
};

// Steady time in nanoseconds, as the streams' write times count it.
std::int64_t SteadyNowNs();

} // namespace networkdriver
