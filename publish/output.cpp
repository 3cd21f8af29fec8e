#include "publish/output.h"

#include <algorithm>
#include <chrono>
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
        const auto send = [&] {
            const std::size_t accepted = Send(batch_);
            sent_.fetch_add(accepted, std::memory_order_relaxed);
            refused_.fetch_add(batch_.size() - accepted, std::memory_order_relaxed);
            taken += batch_.size();
            batch_.clear();
        };
        ring_.Drain([&](const frames::StampedSample& sample) {
            batch_.push_back(sample);
            if (batch_.size() == largestBatch_) {
                send();
            }
        });
        if (!batch_.empty()) {
            send();
        }
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
