#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestavo::frames {

// The clock samples are stamped with as they arrive.
inline std::int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One sample frame's three samples, with when they arrived (steady clock, ns) and, for a dongle's own
// transfers, which they were: their number since the dongle was opened and which opening that was.
struct StampedSample {
    std::int64_t timeNs = 0;
    std::array<std::uint16_t, 3> values{};
    std::uint64_t transfer = 0; // from 0 at each opening
    std::uint32_t opening = 0;  // from 1; 0 for samples that are not a dongle's own (a relay's, say)
};

// Hands samples from one writer thread (the reader of a dongle, or of a relay connection) to one reader
// thread (a plot's, an output's) without either ever waiting for the other. When the reader falls behind, the
// writer overwrites the oldest samples; the reader skips what was overwritten and counts it.
//
// Each slot carries a sequence number, written odd before and even after its contents, so the reader
// can tell a slot it read whole from one the writer was overwriting meanwhile (a sequence lock per slot).
class SampleRing {
public:
    // Capacity is rounded up to a power of two.
    explicit SampleRing(std::size_t capacity);
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    [[nodiscard]] std::size_t Capacity() const { return mask_ + 1; }

    // The writer thread alone. Never waits, never allocates.
    void Push(const StampedSample& sample) {
        const std::uint64_t index = head_.load(std::memory_order_relaxed);
        Slot& slot = slots_[index & mask_];
        slot.sequence.store(2 * index + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        slot.time.store(sample.timeNs, std::memory_order_relaxed);
        slot.values.store(Pack(sample.values[0], sample.values[1], sample.values[2]),
                          std::memory_order_relaxed);
        slot.transfer.store(sample.transfer, std::memory_order_relaxed);
        slot.opening.store(sample.opening, std::memory_order_relaxed);
        slot.sequence.store(2 * index + 2, std::memory_order_release);
        head_.store(index + 1, std::memory_order_release);
    }
    void Push(std::int64_t timeNs, std::uint16_t first, std::uint16_t second, std::uint16_t third) {
        Push(StampedSample{timeNs, {first, second, third}, 0, 0});
    }

    // The reader thread alone: hands every sample written since the last call and not yet overwritten to
    // onSample(const StampedSample&), oldest first. Gives how many were overwritten since the last call.
    template <typename OnSample> std::uint64_t Drain(OnSample&& onSample);

    // Samples written since the start, and overwritten before the reader took them (any thread).
    [[nodiscard]] std::uint64_t Written() const { return head_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::uint64_t Overwritten() const { return overwritten_.load(std::memory_order_relaxed); }
    // Samples the reader has taken or skipped: the reader thread alone.
    [[nodiscard]] std::uint64_t Taken() const { return tail_; }

private:
    struct Slot {
        std::atomic<std::uint64_t> sequence{0};
        std::atomic<std::int64_t> time{0};
        std::atomic<std::uint64_t> values{0};
        std::atomic<std::uint64_t> transfer{0};
        std::atomic<std::uint32_t> opening{0};
    };

    static std::uint64_t Pack(std::uint16_t first, std::uint16_t second, std::uint16_t third) {
        return std::uint64_t{first} | (std::uint64_t{second} << 16) | (std::uint64_t{third} << 32);
    }

    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
    alignas(64) std::atomic<std::uint64_t> head_{0};
    alignas(64) std::uint64_t tail_ = 0;
    std::atomic<std::uint64_t> overwritten_{0};
};

template <typename OnSample> std::uint64_t SampleRing::Drain(OnSample&& onSample) {
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    std::uint64_t lost = 0;
    if (head - tail_ > Capacity()) {
        lost = head - Capacity() - tail_;
        tail_ = head - Capacity();
    }
    for (; tail_ < head; ++tail_) {
        const Slot& slot = slots_[tail_ & mask_];
        const std::uint64_t before = slot.sequence.load(std::memory_order_acquire);
        StampedSample sample;
        sample.timeNs = slot.time.load(std::memory_order_relaxed);
        const std::uint64_t packed = slot.values.load(std::memory_order_relaxed);
        sample.transfer = slot.transfer.load(std::memory_order_relaxed);
        sample.opening = slot.opening.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint64_t after = slot.sequence.load(std::memory_order_relaxed);
        if (before != 2 * tail_ + 2 || after != before) {
            ++lost; // the writer has lapped the reader here
            continue;
        }
        sample.values = {static_cast<std::uint16_t>(packed), static_cast<std::uint16_t>(packed >> 16),
                         static_cast<std::uint16_t>(packed >> 32)};
        onSample(sample);
    }
    if (lost > 0) {
        overwritten_.fetch_add(lost, std::memory_order_relaxed);
    }
    return lost;
}

} // namespace kestavo::frames
