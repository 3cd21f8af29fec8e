#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/receiver.h"
#include "frames/sample_ring.h"
#include "traces/live_columns.h"
#include "traces/trace_history.h"

namespace kestavo::relayd {

// The samples the status page's live plots are drawn from: for each dongle, a ring its reader pushes
// into while someone watches (so the reader never waits for a viewer, and pushes nothing while nobody
// does), drained every 20 ms on a thread of its own into the last minute of samples, bounded in count
// too. Viewers take their columns from there.
class LiveFeeds {
public:
    // The ring and the history of each: at 10,000 transfers a second the minute is some 9 MiB.
    static constexpr std::size_t kRingSize = 1 << 16;
    static constexpr std::size_t kMostSamples = std::size_t{1} << 21;
    static constexpr std::int64_t kKeepNs = 61'000'000'000;

    // The receivers must outlive the feeds' use: they are let go in Stop, before the receivers go.
    explicit LiveFeeds(std::vector<core::Receiver*> receivers);
    ~LiveFeeds();
    LiveFeeds(const LiveFeeds&) = delete;
    LiveFeeds& operator=(const LiveFeeds&) = delete;

    [[nodiscard]] std::size_t Count() const { return feeds_.size(); }

    // A viewer of dongle `index` comes and goes: the first one starts its feed, the last one stops it.
    void Watch(std::size_t index);
    void Unwatch(std::size_t index);

    // The viewer's next columns of dongle `index`, and how many samples the drain could not keep up
    // with since the start.
    traces::LiveColumns::Update Next(std::size_t index, traces::LiveColumns& columns,
                                     std::uint64_t& overwritten);

    // Stops feeding and draining, for good.
    void Stop();

private:
    struct Feed {
        core::Receiver* receiver = nullptr;
        frames::SampleRing ring{kRingSize};
        std::mutex mutex; // guards the history, and the viewers' count with the feed's state
        traces::TraceHistory history{kKeepNs, kMostSamples};
        int viewers = 0;
    };

    void Run();

    std::vector<std::unique_ptr<Feed>> feeds_;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace kestavo::relayd
