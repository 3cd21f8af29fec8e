#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "frames/frames.h"
#include "frames/sample_ring.h"

namespace kestavo::publish {

// Where an output says what happened to it ("NATS: publishing to …"), from any of its threads.
using LogFn = std::function<void(const std::string&)>;

// One output beside the relay: the reader offers it every transfer's samples and goes on; the output's
// own thread takes them from a bounded ring and sends them on, in batches of what has gathered. When
// that thread or its network falls behind, the ring overwrites the oldest samples, which are counted as
// dropped: nothing is ever queued without bound and the reader never waits.
class Output {
public:
    // threadName: how the system names the output's thread (top -H, gdb), at most 15 characters.
    Output(const char* threadName, std::size_t ringCapacity, std::size_t largestBatch);
    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // The reader thread. Never waits and never allocates. The output's thread wakes by itself within a
    // millisecond while samples come; the reader wakes it sooner only when a batch's worth has gathered
    // since it fell asleep, so that at full speed it makes one system call in kWakeAfter samples at most.
    void Offer(const frames::StampedSample& sample) {
        ring_.Push(sample);
        if (ring_.Written() - asleepAt_.load(std::memory_order_relaxed) == kWakeAfter) {
            Wake();
        }
    }
    // Samples that are not numbered: each the next transfer of one opening.
    void Offer(const frames::SamplePacket& packet, std::int64_t nowNs = frames::SteadyNowNs()) {
        Offer(frames::StampedSample{
            nowNs, {packet.samples[0], packet.samples[1], packet.samples[2]}, unnumbered_++, 1});
    }

    // Samples offered, sent on, and dropped (overwritten before they could be sent, or refused by the
    // network library).
    [[nodiscard]] std::uint64_t Offered() const { return ring_.Written(); }
    [[nodiscard]] std::uint64_t Sent() const { return sent_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::uint64_t Dropped() const {
        return ring_.Overwritten() + refused_.load(std::memory_order_relaxed);
    }
    // The last transfer sent on, as its opening and number; opening 0 before the first.
    struct Last {
        std::uint32_t opening = 0;
        std::uint64_t transfer = 0;
    };
    [[nodiscard]] Last LastSent() const {
        std::lock_guard lock(lastMutex_);
        return last_;
    }

protected:
    // Starts the output's thread; a derived class calls it once it is ready to send.
    void StartThread();
    // Ends the thread after it has sent what was offered before; a derived class calls it first thing in
    // its destructor.
    void StopThread();
    // Wakes the output's thread, e.g. to announce itself after a reconnection (any thread).
    void Wake();

    static constexpr std::uint64_t kWakeAfter = 256;

    // What the output's thread hands on at once: transfers of one opening with consecutive numbers, and
    // how many this output dropped since the last batch it sent on (overwritten in its ring, or refused).
    struct Batch {
        std::span<const frames::StampedSample> samples;
        std::uint64_t droppedBefore = 0;
    };
    // The output's thread: sends the batch on; gives how many samples the network library took (all or
    // none).
    virtual std::size_t Send(const Batch& batch) = 0;
    // The output's thread, before each batch: a chance to do what a callback asked for.
    virtual void BeforeBatch() {}

    // The host's clock (ns since the Unix epoch) when the steady clock read steadyNs: what a subscriber
    // on another machine can compare with its own.
    static std::int64_t WallNs(std::int64_t steadyNs);

private:
    void Run();
    void SendBatch();

    frames::SampleRing ring_;
    const char* threadName_;
    const std::size_t largestBatch_;
    std::vector<frames::StampedSample> batch_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    // How many samples had been written when the output's thread fell asleep; far from any count while
    // it is awake.
    static constexpr std::uint64_t kAwake = std::uint64_t{1} << 63;
    std::atomic<std::uint64_t> asleepAt_{kAwake};
    std::mutex sleepMutex_;
    std::condition_variable bell_;
    bool rung_ = false; // under sleepMutex_
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> refused_{0};
    mutable std::mutex lastMutex_; // taken once a batch
    Last last_;
    std::uint64_t unnumbered_ = 0; // the reader's, for samples offered without numbers
    // The output's thread alone: the ring's reading position expected next, and what was dropped since
    // the last batch sent on.
    std::uint64_t nextPosition_ = 0;
    std::uint64_t droppedSinceSent_ = 0;
};

} // namespace kestavo::publish
