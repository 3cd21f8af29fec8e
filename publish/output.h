#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
    Output(std::size_t ringCapacity, std::size_t largestBatch);
    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // The reader thread. Never waits, never allocates, makes no system call unless the output's thread
    // sleeps for want of samples.
    void Offer(const frames::SamplePacket& packet) {
        ring_.Push(frames::SteadyNowNs(), packet.samples[0], packet.samples[1], packet.samples[2]);
        // The output's thread tells it sleeps before it looks at the ring a last time; this fence orders
        // the sample's publication before the look at that flag, so one of the two sees the other.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_relaxed)) {
            Wake();
        }
    }

    // Samples offered, sent on, and dropped (overwritten before they could be sent, or refused by the
    // network library).
    [[nodiscard]] std::uint64_t Offered() const { return ring_.Written(); }
    [[nodiscard]] std::uint64_t Sent() const { return sent_.load(std::memory_order_relaxed); }
    [[nodiscard]] std::uint64_t Dropped() const {
        return ring_.Overwritten() + refused_.load(std::memory_order_relaxed);
    }

protected:
    // Starts the output's thread; a derived class calls it once it is ready to send.
    void StartThread();
    // Ends the thread after it has sent what was offered before; a derived class calls it first thing in
    // its destructor.
    void StopThread();
    // Wakes the output's thread, e.g. to announce itself after a reconnection (any thread).
    void Wake();

    // The output's thread: sends these samples on; gives how many the network library took.
    virtual std::size_t Send(std::span<const frames::StampedSample> samples) = 0;
    // The output's thread, before each batch: a chance to do what a callback asked for.
    virtual void BeforeBatch() {}

private:
    void Run();

    frames::SampleRing ring_;
    const std::size_t largestBatch_;
    std::vector<frames::StampedSample> batch_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> sleeping_{false};
    std::atomic<std::uint32_t> bell_{0};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> refused_{0};
};

} // namespace kestavo::publish
