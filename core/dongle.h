#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/connection.h"
#include "core/dongle_choice.h"
#include "usb/transfer.h"

namespace kestavo::core {

using LogFn = std::function<void(const std::string&)>;

// Keeps one dongle open and read, for a host without a person at it: opens it as the window's Open does
// when it is there, notices when its reads keep failing (unplugged, or a fault a reopen can cure),
// closes it, and opens it again once it is back. A silent dongle is not a failure. Not thread-safe: one
// thread calls everything.
class Dongle {
public:
    // opening, if given, runs at each opening just before its reader starts.
    Dongle(DongleChoice choice, usb::PacketSink sink, LogFn log, std::function<void()> opening = {});
    ~Dongle();
    Dongle(const Dongle&) = delete;
    Dongle& operator=(const Dongle&) = delete;

    // About once a second: closes the dongle if it is lost, else opens it if it is closed and there.
    // The buses are rescanned only while it is closed. A rescan frees only the records of devices gone
    // (another dongle's rescan may free this one's once unplugged), and an opening uses its record only
    // while it opens.
    void Tick();
    // Stops the reader (at once, even while a read waits) and closes the dongle.
    void Close();
    [[nodiscard]] bool IsOpen() const { return connection_ && connection_->ReadSide() != nullptr; }
    // Why the dongle is not opened though devices are there: the choice matches several, or the one
    // another kept dongle of the process has open. Else empty.
    [[nodiscard]] const std::string& Ambiguity() const { return ambiguity_; }

    struct Totals {
        std::int64_t transfers = 0;
        std::int64_t errors = 0;
    };
    // Since the host started, over every opening.
    [[nodiscard]] Totals Counted() const;

private:
    void Open(struct usb_device* device);

    DongleChoice choice_;
    usb::PacketSink sink_;
    LogFn log_;
    std::function<void()> opening_;
    // Made anew at each opening, so that each starts from the same parameters.
    std::unique_ptr<Connection> connection_;
    bool everOpened_ = false;
    bool absenceSaid_ = false;
    std::string ambiguity_;
    std::optional<std::pair<int, int>> held_; // the bus and address it has open, while it has
    // The dongle is there but has not answered one read since it was opened: it is tried again every
    // tick without a word until it answers, so that a dongle that cannot be read does not flood the log.
    bool quiet_ = false;
    Totals closed_;
};

} // namespace kestavo::core
