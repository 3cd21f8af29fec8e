#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frames/frames.h"

namespace kestavo::record {

// A SigMF recording of a dongle's samples, as a replay reads it: ru16_le, three channels.
struct Recording {
    std::string metaPath;
    std::string dataPath;
    std::uint64_t samples = 0; // whole samples in the data file
    double sampleRate = 0;     // core:sample_rate; 0 when the recording gives none
    std::string label;         // core:hw
    struct Capture {
        std::uint64_t start = 0;
        std::optional<std::int64_t> wallNs; // core:datetime
    };
    std::vector<Capture> captures; // in order of their start
};

// Reads FILE.sigmf-meta (or a path to its .sigmf-data) and checks it; nothing, with why in error, for one
// that is not SigMF, is of another datatype or channel count, or whose data file is shorter than its
// metadata says.
std::optional<Recording> OpenRecording(const std::string& path, std::string& error);

// Hands a recording's samples to deliver on a thread of its own, as a dongle's reader would: at rate
// transfers a second on a schedule of its own (so that a late one does not delay the rest), with the
// gaps between its captures kept as pauses, from the start again at the end when looping.
class Replay {
public:
    using Deliver = std::function<void(const frames::SamplePacket&)>;

    Replay(Recording recording, double rate, bool loop, Deliver deliver);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // True once the last sample was delivered (never while looping), or the file could not be read.
    [[nodiscard]] bool Ended() const { return ended_.load(); }
    [[nodiscard]] std::uint64_t Delivered() const { return delivered_.load(std::memory_order_relaxed); }
    // Why it ended early, or empty.
    [[nodiscard]] std::string Problem() const;

private:
    void Run();
    // Sleeps until the steady time; false when stopped meanwhile.
    bool SleepUntil(std::int64_t steadyNs);

    const Recording recording_;
    const double rate_;
    const bool loop_;
    const Deliver deliver_;
    std::atomic<bool> ended_{false};
    std::atomic<std::uint64_t> delivered_{0};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::string problem_;
    std::thread thread_;
};

} // namespace kestavo::record
