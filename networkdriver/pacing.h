#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace networkdriver {

// The pacing rule, the one place it is written. A sender that calls PaceSender runs at most
// kAheadLimit ahead of the clients that are taking what they are sent, but the sixteenth furthest
// behind (and, of several, at least the one furthest behind); past it, it waits until they are half as
// far behind. A client that took nothing for kStuck is not taking. So a few slow clients hold nobody
// back (they fall behind alone until the queue limit drops them), and one that takes nothing for a
// while is not waited for at all. Only when most of them are behind, because this host cannot write or
// they cannot read as fast as frames come, is the sender held, rather than every client being dropped.
inline constexpr std::size_t kAheadLimit = 512 * 1024;
inline constexpr std::size_t kPacedShare = 16;
inline constexpr auto kStuck = std::chrono::milliseconds(50);
// How often a paced sender looks again.
inline constexpr auto kPaceNap = std::chrono::microseconds(250);

// Where the clients the rule goes by are, and whether the sender is to wait. Not thread-safe, but for
// SenderToWait: the library's queue lock guards it.
class Pacing {
public:
    explicit Pacing(std::uint64_t origin) : base_(origin) {}

    // Looks again at the clients: of(member) gives a client's base (the log position at which its queue
    // would be empty) and when a write last took bytes from it (steady ns). The rule goes by the result
    // until the next look.
    template <typename Members, typename Of>
    void Look(std::uint64_t head, std::int64_t nowNs, const Members& members, Of of) {
        bases_.clear();
        const std::int64_t stuck = nowNs - std::chrono::nanoseconds(kStuck).count();
        for (const auto& member : members) {
            const auto [base, takenAt] = of(member);
            if (base == head || takenAt > stuck) {
                bases_.push_back(base);
            }
        }
        base_ = PacedBase(bases_, head);
    }

    // After a frame that took the log to head: tells the sender to wait when the clients are too far
    // behind.
    void Appended(std::uint64_t head) {
        if (head - base_ > kAheadLimit) {
            target_ = head - kAheadLimit / 2;
            wait_.store(true, std::memory_order_relaxed);
        }
    }
    // Whether a sender was told to wait since the last look; any thread, without the lock.
    [[nodiscard]] bool SenderToWait() const { return wait_.load(std::memory_order_relaxed); }
    void Heard() { wait_.store(false, std::memory_order_relaxed); }
    // The clients are back within reach: the sender goes on.
    [[nodiscard]] bool Reached() const { return base_ >= target_; }
    [[nodiscard]] std::uint64_t PacedAt() const { return base_; }

    // The position the rule goes by, of the bases of the clients that are taking (reordered): the head
    // when none is.
    static std::uint64_t PacedBase(std::vector<std::uint64_t>& bases, std::uint64_t head);

private:
    std::uint64_t base_;
    std::uint64_t target_ = 0;
    std::atomic<bool> wait_{false};
    std::vector<std::uint64_t> bases_;
};

} // namespace networkdriver
