#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>

#include "tests/kit/frame_readers.h"
#include "tests/kit/wait.h"

namespace kestavo::bench {

// What a load of relay clients measured.
struct LoadResult {
    bool ok = false;
    double connectSeconds = 0; // from the first connection until every client had a sample frame
    double deliveriesPerSecond = 0;
    double minPerClient = 0; // frames per second of the client that got fewest
    std::uint64_t lost = 0;
    std::uint64_t malformed = 0;
    std::uint64_t closed = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double kibPerClient = -1; // the relay's resident memory, beyond what it had before them; -1 unmeasured
};

// The resident memory of a process in KiB, from /proc, or 0.
inline long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// Samples a process's resident memory every 10 ms while it lives, keeping the most.
class ResidentPeak {
public:
    explicit ResidentPeak(pid_t pid)
        : pid_(pid), thread_([this] {
              while (!stop_) {
                  peak_ = std::max(peak_.load(), ResidentKiB(pid_));
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          }) {}
    ~ResidentPeak() {
        stop_ = true;
        thread_.join();
    }
    [[nodiscard]] long Peak() const { return peak_; }

private:
    pid_t pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

// Once every client of the readers has its first sample frame (the stream runs), waits past the
// warm-up, then counts for the given time; `measuring` runs as the count starts. Not ok when the
// stream never ran.
inline LoadResult Measure(
    testkit::FrameReaders& readers, double seconds, const std::function<void()>& measuring = [] {}) {
    using namespace std::chrono_literals;
    LoadResult result;
    if (!testkit::WaitUntil([&] { return readers.Totals().minFrames > 0; }, 30s)) {
        return result;
    }
    std::this_thread::sleep_for(500ms);
    const testkit::ReaderTotals before = readers.Totals();
    readers.MarkBaseline();
    readers.SetMeasuring(true);
    measuring();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    readers.SetMeasuring(false);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const testkit::ReaderTotals after = readers.Totals();
    const testkit::LatencyHistogram latencies = readers.Latencies();
    result.ok = true;
    result.deliveriesPerSecond = static_cast<double>(after.frames - before.frames) / elapsed;
    result.minPerClient = static_cast<double>(readers.MinSinceBaseline()) / elapsed;
    result.lost = after.lost;
    result.malformed = after.malformed;
    result.closed = after.closed;
    result.p50 = latencies.Percentile(0.50);
    result.p99 = latencies.Percentile(0.99);
    result.max = latencies.Max();
    readers.Stop();
    return result;
}

} // namespace kestavo::bench
