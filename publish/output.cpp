#include "publish/output.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <pthread.h>

namespace kestavo::publish {

Output::Output(const char* threadName, std::size_t ringCapacity, std::size_t largestBatch)
    : ring_(ringCapacity), threadName_(threadName), largestBatch_(std::max<std::size_t>(largestBatch, 1)) {
    batch_.reserve(largestBatch_);
}

Output::~Output() {
    StopThread();
}

void Output::StartThread() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), threadName_);
            Run();
        });
    }
}

void Output::StopThread() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(sleepMutex_);
        stopping_.store(true);
    }
    bell_.notify_one();
    thread_.join();
}

void Output::Wake() {
    {
        std::lock_guard lock(sleepMutex_);
        rung_ = true;
    }
    bell_.notify_one();
}

std::int64_t Output::WallNs(std::int64_t steadyNs) {
    // The two clocks are compared now rather than once at the start, so that the host's clock being set
    // meanwhile is followed; the host's clock is read between two readings of the steady one, and of
    // three tries the closest pair is taken, so that the thread being put aside between two readings
    // does not shift the time.
    std::int64_t offset = 0;
    std::int64_t closest = INT64_MAX;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::int64_t before = frames::SteadyNowNs();
        const std::int64_t wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count();
        const std::int64_t after = frames::SteadyNowNs();
        if (after - before < closest) {
            closest = after - before;
            offset = wall - before - (after - before) / 2;
        }
    }
    return steadyNs + offset;
}

void Output::SendBatch() {
    if (batch_.empty()) {
        return;
    }
    const std::size_t accepted = Send({batch_, droppedSinceSent_});
    sent_.fetch_add(accepted, std::memory_order_relaxed);
    refused_.fetch_add(batch_.size() - accepted, std::memory_order_relaxed);
    if (accepted > 0) {
        droppedSinceSent_ = 0;
        std::lock_guard lock(lastMutex_);
        last_ = {batch_.back().opening, batch_.back().transfer};
    } else {
        droppedSinceSent_ += batch_.size();
    }
    batch_.clear();
}

void Output::Run() {
    // While samples come, the thread looks every millisecond (or sooner, when the reader rings); once
    // they stop, ever less often, up to ten times a second, so that an idle output costs nothing.
    constexpr auto kShortest = std::chrono::milliseconds(1);
    constexpr auto kLongest = std::chrono::milliseconds(100);
    auto pause = kShortest;
    for (;;) {
        const bool last = stopping_.load();
        BeforeBatch();
        batch_.clear();
        std::size_t taken = 0;
        ring_.Drain([&](const frames::StampedSample& sample) {
            // What the ring overwrote before this thread came to it is said with the batch after it.
            const std::uint64_t position = ring_.Taken();
            const std::uint64_t lost = position - nextPosition_;
            nextPosition_ = position + 1;
            // A batch is named by its first transfer and its count: it ends where the numbers do not run
            // on (a gap, another opening).
            if (!batch_.empty() && (lost > 0 || sample.opening != batch_.back().opening ||
                                    sample.transfer != batch_.back().transfer + 1)) {
                SendBatch();
            }
            droppedSinceSent_ += lost;
            batch_.push_back(sample);
            ++taken;
            if (batch_.size() == largestBatch_) {
                SendBatch();
            }
        });
        SendBatch();
        // Slots lapped at the end of the ring are said with the next batch too.
        droppedSinceSent_ += ring_.Taken() - nextPosition_;
        nextPosition_ = ring_.Taken();
        if (last) {
            return;
        }
        pause = taken > 0 ? kShortest : std::min(pause * 2, kLongest);
        std::unique_lock lock(sleepMutex_);
        asleepAt_.store(ring_.Written(), std::memory_order_relaxed);
        bell_.wait_for(lock, pause, [this] { return rung_ || stopping_.load(); });
        rung_ = false;
        asleepAt_.store(kAwake, std::memory_order_relaxed);
    }
}

} // namespace kestavo::publish
