#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <usb.h>

#include "frames/frames.h"
#include "usb/device_list.h"
#include "usb/test_params.h"

namespace kestavo::usb {

// Where a worker hands each transfer's sample packet. Called on the worker's thread.
using PacketSink = std::function<void(const frames::SamplePacket&)>;

// The lock over every worker's statistics; the window takes it to report them.
std::mutex& StatisticsLock();

// Milliseconds of a monotonic clock, cut to 32 bits; differences are taken as unsigned 32-bit values.
std::uint32_t TickCount();

// What a worker has counted. Guarded by StatisticsLock().
struct TransferStatistics {
    std::int64_t totalBytes = 0;
    std::int32_t transferCount = -2; // the first two passes are thrown away
    std::uint32_t firstTick = 0;     // 0: not started yet
    std::uint32_t lastTick = 0;
    std::int32_t timeoutErrors = 0; // reads that ended with the library's timeout code
    std::int32_t otherErrors = 0;   // reads that failed otherwise
};

// One direction of an open device connection: the endpoint found for it, its statistics, its data
// buffer and a worker thread that waits at a start gate until Resume.
struct TransferContext {
    TransferContext(TestParams& params, std::size_t bufferBytes) : owner(params), buffer(bufferBytes, 0) {}
    TransferContext(const TransferContext&) = delete;
    TransferContext& operator=(const TransferContext&) = delete;
    ~TransferContext();

    TestParams& owner;
    std::thread thread;
    usb_endpoint_descriptor endpoint{};
    std::atomic<std::int32_t> running{0};
    TransferStatistics statistics;
    std::vector<std::uint8_t> buffer;
    PacketSink relay;
    // Reads that failed one after the other (a timeout is no failure, and breaks no run), and the
    // latest one's result, for a host that reopens a dongle gone away.
    std::atomic<std::int32_t> failuresInARow{0};
    std::atomic<std::int32_t> lastFailure{0};
    std::atomic<std::int64_t> answeredReads{0}; // reads that ended with data, none, or a timeout

    // The start gate, and the wake-up for a worker that waits between passes. Guarded by gateMutex.
    enum class Gate { Closed, Resumed, Abandoned };
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    Gate gate = Gate::Closed;
    bool exited = false;
};

// Finds the endpoint for endpointAddress in the interface numbered in params (an address whose low
// four bits are 0 takes the first endpoint of that direction), checks the buffer size against it and
// creates the worker's thread, waiting at its gate. Returns nullptr after a message on failure.
std::unique_ptr<TransferContext> CreateTransferContext(TestParams& params, int endpointAddress,
                                                       const MessageFn& message, PacketSink relay);

// Opens the gate: the thread takes the priority of params (0 is normal) and runs TransferWorker.
void Resume(TransferContext& context);

// The read loop: reads the endpoint until the stop request, relays each read's first six bytes and
// counts every pass. Returns 0.
int TransferWorker(TransferContext& context);

// Ends both sides of a connection: asks the workers to stop, wakes a pending read, waits until each
// worker has left its loop, then closes the device handle and frees the records. Waits no longer
// than the read it interrupts (normally milliseconds).
void StopTransfers(TestParams& params, std::unique_ptr<TransferContext>& readSide,
                   std::unique_ptr<TransferContext>& writeSide);

// The steps of Open that need no window, after the device is open and the stop request cleared: the
// interface lookup (falling back to the first usable interface), both sides' workers, configuration 1
// and the claim. Each failure shows its message and the steps go on, except a device without any
// interface, which ends them with false.
bool PrepareConnection(TestParams& params, std::unique_ptr<TransferContext>& readSide,
                       std::unique_ptr<TransferContext>& writeSide, const MessageFn& message,
                       const PacketSink& relay);

} // namespace kestavo::usb
