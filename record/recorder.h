#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames/frames.h"
#include "frames/sample_ring.h"

namespace kestavo::record {

using LogFn = std::function<void(const std::string&)>;

// Records every transfer's three samples as SigMF in a directory, around the clock: NAME-START.sigmf-data
// (ru16_le, three channels interleaved) and NAME-START.sigmf-meta, START the UTC time of the first sample
// (20261208T153000Z). A new recording at the size or the time given, whichever comes first; the oldest
// of the dongle's recordings deleted while they hold more than the budget.
//
// The reader never waits for the disk: it hands the samples over through a bounded ring, and what the
// recorder's thread cannot keep up with is dropped, counted and annotated. The metadata is replaced
// atomically, at least every 5 s and at each new recording, after the samples it describes are on disk:
// a recording cut off by a crash holds every sample up to its last metadata. A data file's torn last
// sample is cut when the recorder starts again.
//
// A write that fails (a full disk, a directory gone) stops the recording with one line; it is tried again
// every few seconds, in a new recording, and said when it works again.
class Recorder {
public:
    struct Settings {
        std::string directory;
        std::string name = "default";         // the dongle's, first in every file's name
        std::string label;                    // the dongle as the metadata names it (core:hw)
        std::string description;              // its ids and serial, for core:description
        std::uint64_t fileBytes = 1ULL << 30; // a new recording past this many bytes of samples
        std::uint64_t fileSeconds = 0;        // ... or after this long (0: no limit)
        std::uint64_t keepBytes = 0;          // the dongle's recordings together, at most (0: no limit)
        std::string recorder;                 // core:recorder, "kestavo-relayd 1.0.0.1"
        std::size_t ringSamples = 1 << 18;
        std::chrono::milliseconds metaEvery{5000};
        std::chrono::milliseconds retryEvery{5000};
    };

    // What the status page shows.
    struct Status {
        std::string state; // "recording", "waiting" (why in problem), "stopped"
        std::string problem;
        std::string file;                 // the current recording's data file, while recording
        std::uint64_t bytesWritten = 0;   // samples' bytes, every recording together
        std::uint64_t samplesDropped = 0; // samples the recorder could not keep, every reason together
        std::uint64_t recordings = 0;     // begun since the start
    };

    Recorder(Settings settings, LogFn log);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The reader's thread: never waits, never allocates.
    void Offer(const frames::StampedSample& sample) { ring_.Push(sample); }
    void Offer(const frames::SamplePacket& packet, std::int64_t nowNs = frames::SteadyNowNs()) {
        ring_.Push(nowNs, packet.samples[0], packet.samples[1], packet.samples[2]);
    }
    // The dongle was lost (false) or is back (true): annotated where the samples stop and start again.
    void DongleOpen(bool open);

    [[nodiscard]] Status Take() const;

private:
    struct Event {
        std::uint64_t position; // the ring's count of samples written when it happened
        bool open;
        std::int64_t wallNs;
    };
    struct File;

    void Run();
    void Take(const frames::StampedSample& sample, std::uint64_t position);
    bool Begin(std::int64_t wallNs);
    void End();
    bool Flush(bool meta);
    // Returns 0 or the errno.
    int WriteMeta(File& file);
    void Fail(const std::string& path, int error);
    [[nodiscard]] bool RoomAgain() const;
    void Keep();
    void CutTornSamples();
    [[nodiscard]] std::int64_t WallNs(std::int64_t steadyNs) const;

    const Settings settings_;
    const LogFn log_;
    frames::SampleRing ring_;
    std::int64_t wallMinusSteadyNs_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Event> events_;
    Status status_;

    // The recorder's thread alone.
    std::unique_ptr<File> file_;
    std::uint64_t nextPosition_ = 0;
    std::uint32_t lastOpening_ = 0; // the last sample's, for a capture at each break in the numbers
    std::uint64_t lastTransfer_ = 0;
    // From a write that failed until a recording begins again; no new one is tried before retryAtNs_.
    bool failing_ = false;
    std::int64_t retryAtNs_ = 0; // steady clock
    // After a full disk: the room left then (bytes, files), which a new recording waits to see grow.
    bool full_ = false;
    std::pair<std::uint64_t, std::uint64_t> roomWhenFull_;
    bool gapPending_ = false;
    std::thread thread_;
};

// "1G", "64K", "10M", "123": bytes; false when the text is not one.
bool ParseSize(const std::string& text, std::uint64_t& bytes);
// "1h", "10m", "30s", "2h30m": seconds; false when the text is not one.
bool ParseDuration(const std::string& text, std::uint64_t& seconds);

} // namespace kestavo::record
