#include "publish/output.h"

#include <algorithm>

namespace kestavo::publish {

Output::Output(std::size_t ringCapacity, std::size_t largestBatch)
    : ring_(ringCapacity), largestBatch_(std::max<std::size_t>(largestBatch, 1)) {
    batch_.reserve(largestBatch_);
}

Output::~Output() {
    StopThread();
}

void Output::StartThread() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Run(); });
    }
}

void Output::StopThread() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_.store(true);
    Wake();
    thread_.join();
}

void Output::Wake() {
    bell_.fetch_add(1, std::memory_order_release);
    bell_.notify_one();
}

void Output::Run() {
    bool more = true;
    while (more) {
        const std::uint32_t bell = bell_.load(std::memory_order_acquire);
        more = !stopping_.load();
        BeforeBatch();
        batch_.clear();
        ring_.Drain([&](const frames::StampedSample& sample) {
            batch_.push_back(sample);
            if (batch_.size() == largestBatch_) {
                const std::size_t taken = Send(batch_);
                sent_.fetch_add(taken, std::memory_order_relaxed);
                refused_.fetch_add(batch_.size() - taken, std::memory_order_relaxed);
                batch_.clear();
            }
        });
        if (!batch_.empty()) {
            const std::size_t taken = Send(batch_);
            sent_.fetch_add(taken, std::memory_order_relaxed);
            refused_.fetch_add(batch_.size() - taken, std::memory_order_relaxed);
            continue; // more may have come meanwhile
        }
        if (!more) {
            break;
        }
        sleeping_.store(true, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        // A sample offered before the flag was seen is found here; one offered after rings the bell.
        if (ring_.Written() == ring_.Taken()) {
            bell_.wait(bell, std::memory_order_acquire);
        }
        sleeping_.store(false, std::memory_order_relaxed);
    }
}

} // namespace kestavo::publish
