#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/connection.h"
#include "core/dongle.h"
#include "core/dongle_choice.h"
#include "core/relay_server.h"
#include "frames/sample_ring.h"
#include "publish/outputs.h"
#include "record/recorder.h"

namespace kestavo::core {

// The receiver both programs are made of: one dongle and its reader, the relay server with its client
// table, the outputs beside it and the plot's feed, and the figures every view shows. Each transfer the
// reader takes goes to the relay, the outputs and the plot from here, and nowhere else.
//
// The dongle is held one of two ways: opened once (the window's Open, until its Close, whatever
// happens to it meanwhile), or kept (the service's: reopened by Tick after it is lost). The relay
// runs apart from the dongle: started and stopped by the host.
class Receiver {
public:
    explicit Receiver(LogFn log = {}, RelayServer::Dispatch dispatch = {});
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    RelayServer& Relay() { return relay_; }
    [[nodiscard]] const RelayServer& Relay() const { return relay_; }

    // The dongle opened once. Open's steps say each failure through message (the window's message
    // boxes); opened runs as soon as the device is open.
    Connection::Opened Open(struct usb_device* device, const usb::MessageFn& message,
                            const std::function<void()>& opened = {});
    // Lets the reader of the dongle opened once run: a new opening.
    void Resume() {
        BeginOpening();
        connection_.Resume();
    }
    // Closes the dongle opened once, the outputs with it.
    void Close();
    [[nodiscard]] Connection& Opened() { return connection_; }
    [[nodiscard]] const Connection& Opened() const { return connection_; }

    // The dongle kept: found by choice and opened at each Tick when it is there and closed, closed
    // when it is lost. Log lines through the receiver's log.
    void Keep(const DongleChoice& choice);
    void Tick();
    // Stops the kept dongle's reader and closes it.
    void Release();
    [[nodiscard]] const Dongle* Kept() const { return kept_.get(); }

    // The outputs: started with the subject base given (SubjectBaseOf names it after a dongle), fed
    // every transfer from then on, stopped by StopOutputs or Close; they report through log, from
    // their own threads. False when one cannot start: Outputs()->Error() says why.
    bool StartOutputs(const publish::OutputOptions& options, const std::string& subjectBase, LogFn log);
    void StopOutputs();
    [[nodiscard]] const publish::Outputs* Outputs() const { return outputs_.get(); }

    // The recording beside the relay: every transfer from then on, the dongle's comings and goings
    // annotated, until StopRecording. Its lines through log, from its own thread.
    void StartRecording(record::Recorder::Settings settings, LogFn log);
    void StopRecording();
    [[nodiscard]] const record::Recorder* Recording() const { return recorder_.get(); }

    // The plot's ring, fed every transfer's samples while set; nullptr stops the feed. The ring must
    // outlive the reader, or be unset before it goes.
    void FeedPlot(frames::SampleRing* ring) { plotFeed_.store(ring, std::memory_order_release); }

    // Hands one transfer's samples to the relay, the outputs, the recording and the plot. The reader's
    // thread. Every transfer is numbered, from 0 at each opening, and every output and the recording are
    // given the same numbers.
    void Deliver(const frames::SamplePacket& packet);
    // A new opening of the dongle begins (the next number of openings, from 1) and its transfers are
    // numbered from 0: called before its reader starts. Resume and the kept dongle call it themselves; a
    // host that delivers transfers of its own (a replay) calls it once before.
    void BeginOpening() {
        opening_.fetch_add(1, std::memory_order_relaxed);
        nextTransfer_.store(0, std::memory_order_relaxed);
    }
    // The openings so far (0 before the first).
    [[nodiscard]] std::uint32_t Openings() const { return opening_.load(std::memory_order_relaxed); }

    // What the views show, as of now.
    struct Figures {
        bool dongleOpen = false;
        std::int64_t transfers = 0; // since the start, over every opening
        std::int64_t errors = 0;
        std::uint64_t framesRelayed = 0;
        bool relayRunning = false;
        std::size_t clients = 0;
        std::vector<publish::Outputs::Count> outputs;
        std::uint64_t heldBackTimes = 0; // the reader's waits for the relay's clients, since the start
        std::uint64_t heldBackNs = 0;
    };
    [[nodiscard]] Figures Take() const;
    // At most once a minute, the line saying how long the reader was held back for its clients in the
    // minute before, when it was at all (texts::ReaderHeldBack): a dongle goes on producing while its
    // reader waits, and what is not read is lost in it. The host calls it from its timer or loop, and
    // logs what it gives.
    std::optional<std::string>
    HeldBackReport(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    // "Summary: 10 transfers, 0 errors, 10 frames relayed, 1 clients; NATS …", the service's line.
    [[nodiscard]] std::string Summary() const;

private:
    LogFn log_;
    RelayServer relay_;
    Connection connection_;
    std::unique_ptr<Dongle> kept_;
    // Made before the reader starts and let go after it ended; the reader finds them through the feeds.
    std::unique_ptr<publish::Outputs> outputs_;
    std::atomic<publish::Outputs*> outputsFeed_{nullptr};
    std::atomic<frames::SampleRing*> plotFeed_{nullptr};
    std::unique_ptr<record::Recorder> recorder_;
    std::atomic<record::Recorder*> recorderFeed_{nullptr};
    bool wasOpen_ = false; // the kept dongle, at the last tick
    // The minute HeldBackReport is counting, and the reader's time held back when it began.
    std::optional<std::chrono::steady_clock::time_point> heldMinute_;
    std::uint64_t heldAtMinute_ = 0;
    std::atomic<std::uint64_t> delivered_{0};
    // The reader's alone while it runs; set anew by BeginOpening before it starts.
    std::atomic<std::uint32_t> opening_{0};
    std::atomic<std::uint64_t> nextTransfer_{0};
};

// The outputs' subject base for a dongle: "kestavo." and its serial number, else its ids as VVVV_PPPP.
// For a dongle that is open, what it says of itself; for one chosen, its serial as chosen, else as it
// says when it is there now, else its ids (or its place, for one chosen by place and absent).
std::string SubjectBaseOf(usb_dev_handle* handle, const struct usb_device* device);
std::string SubjectBaseOf(const DongleChoice& choice);

} // namespace kestavo::core
