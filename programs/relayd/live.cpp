#include "live.h"

#include <chrono>
#include <pthread.h>

namespace kestavo::relayd {

LiveFeeds::LiveFeeds(std::vector<core::Receiver*> receivers) {
    for (core::Receiver* receiver : receivers) {
        feeds_.push_back(std::make_unique<Feed>());
        feeds_.back()->receiver = receiver;
    }
    thread_ = std::thread([this] { Run(); });
}

LiveFeeds::~LiveFeeds() {
    Stop();
}

void LiveFeeds::Stop() {
    {
        std::lock_guard lock(stopMutex_);
        if (stop_) {
            return;
        }
        stop_ = true;
    }
    stopped_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    for (const auto& feed : feeds_) {
        std::lock_guard lock(feed->mutex);
        feed->receiver->FeedPlot(nullptr);
        feed->viewers = 0;
    }
}

void LiveFeeds::Watch(std::size_t index) {
    Feed& feed = *feeds_.at(index);
    std::lock_guard lock(feed.mutex);
    if (feed.viewers++ == 0) {
        // What the ring still held from an earlier viewer is old: it is drained away first.
        feed.ring.Drain([](const frames::StampedSample&) {});
        feed.history.Clear();
        feed.receiver->FeedPlot(&feed.ring);
    }
}

void LiveFeeds::Unwatch(std::size_t index) {
    Feed& feed = *feeds_.at(index);
    std::lock_guard lock(feed.mutex);
    if (feed.viewers > 0 && --feed.viewers == 0) {
        feed.receiver->FeedPlot(nullptr);
    }
}

traces::LiveColumns::Update LiveFeeds::Next(std::size_t index, traces::LiveColumns& columns,
                                            std::uint64_t& overwritten) {
    Feed& feed = *feeds_.at(index);
    std::lock_guard lock(feed.mutex);
    overwritten = feed.ring.Overwritten();
    return columns.Next(feed.history);
}

void LiveFeeds::Run() {
    ::pthread_setname_np(::pthread_self(), "kestavo-live");
    std::unique_lock stopLock(stopMutex_);
    while (!stopped_.wait_for(stopLock, std::chrono::milliseconds(20), [this] { return stop_; })) {
        for (const auto& feed : feeds_) {
            std::lock_guard lock(feed->mutex);
            if (feed->viewers > 0) {
                feed->ring.Drain([&](const frames::StampedSample& sample) { feed->history.Append(sample); });
            }
        }
    }
}

} // namespace kestavo::relayd
