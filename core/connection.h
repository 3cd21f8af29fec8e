#pragma once

#include <functional>
#include <memory>

#include "usb/test_params.h"
#include "usb/transfer.h"

namespace kestavo::core {

// One opening of a dongle, as Open makes it: the device opened, its interface found, both sides'
// workers made, configuration 1 set and the interface claimed, then the reader started. The one place
// that opens a dongle; the window opens it once per Open, the service's Dongle again after each loss.
// Not thread-safe: one thread calls everything.
class Connection {
public:
    Connection() = default;
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    enum class Opened {
        No,         // the library gave no handle: nothing is open
        Prepared,   // open, with its workers
        NoInterface // open, but its configuration has no interface: no workers; Close ends it
    };
    // Opens the device and prepares it. opened runs once the device is open, before anything can fail
    // with a message; message says each failure, and the steps go on where they can. The reader hands
    // every transfer's samples to sink once Resume lets it run.
    Opened Open(struct usb_device* device, const usb::MessageFn& message, const usb::PacketSink& sink,
                const std::function<void()>& opened = {});
    // Lets the reader run.
    void Resume();
    // Stops the reader (at once, even while a read waits) and closes the device. Nothing when closed.
    void Close();

    [[nodiscard]] bool IsOpen() const { return params_.deviceHandle != nullptr; }
    [[nodiscard]] usb::TestParams& Params() { return params_; }
    [[nodiscard]] const usb::TestParams& Params() const { return params_; }
    [[nodiscard]] const usb::TransferContext* ReadSide() const { return readSide_.get(); }
    [[nodiscard]] const usb::TransferContext* WriteSide() const { return writeSide_.get(); }

private:
    usb::TestParams params_;
    std::unique_ptr<usb::TransferContext> readSide_;
    std::unique_ptr<usb::TransferContext> writeSide_;
};

} // namespace kestavo::core
