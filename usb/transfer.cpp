#include "usb/transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <pthread.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

#include "usb/printf.h"

namespace kestavo::usb {

namespace {

using namespace std::chrono_literals;

// After a read that failed outright (an unplugged device fails every read at once) the worker rests
// this long, so that it does not spin a core; a stop still ends the rest at once.
constexpr auto kFailurePause = 20ms;
// How often a stop wakes the read again while it waits for the worker to leave: a read the worker
// started just as the first wake-up went out is ended by the next.
constexpr auto kWakeInterval = 20ms;

// A tick of 0 means "not started" in the statistics, so the clock's rare 0 is taken as 1.
std::uint32_t StartTick() {
    return std::max<std::uint32_t>(TickCount(), 1);
}

// Thread priorities are given in the range -15 (idle) to 15 (time-critical), 0 being normal; on Linux
// they become nice values. Raising a thread's priority needs privileges the operator may not have: the
// thread then simply runs at normal priority.
void ApplyPriority(int priority) {
    if (priority == 0) {
        return;
    }
    const int nice = std::clamp(-priority * 5, -20, 19);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
}

// Waits at most pause for the stop request; returns at once when it comes.
void RestUntilStop(TransferContext& context, std::chrono::milliseconds pause) {
    std::unique_lock lock(context.gateMutex);
    context.gateChanged.wait_for(lock, pause, [&] { return context.owner.stopRequest != 0; });
}

void ThreadMain(TransferContext* context) {
    ::pthread_setname_np(::pthread_self(), "kestavo-worker");
    bool resumed = false;
    {
        std::unique_lock lock(context->gateMutex);
        context->gateChanged.wait(lock, [&] { return context->gate != TransferContext::Gate::Closed; });
        resumed = context->gate == TransferContext::Gate::Resumed;
    }
    if (resumed) {
        ApplyPriority(context->owner.priority);
        TransferWorker(*context);
    }
    {
        std::lock_guard lock(context->gateMutex);
        context->exited = true;
    }
    context->gateChanged.notify_all();
}

const usb_endpoint_descriptor* FindEndpoint(const usb_interface_descriptor& setting, int address) {
    for (int i = 0; i < setting.bNumEndpoints && setting.endpoint != nullptr; ++i) {
        const usb_endpoint_descriptor& endpoint = setting.endpoint[i];
        const bool match = (address & 0x0F) != 0 ? endpoint.bEndpointAddress == address
                                                 : (endpoint.bEndpointAddress & 0x80) == (address & 0x80);
        if (match) {
            return &endpoint;
        }
    }
    return nullptr;
}

// Ends a worker's thread: one that never started leaves at its gate; one that runs is woken and
// awaited. Only then may its record and the device handle go away.
void EndWorker(TransferContext& context, usb_dev_handle* handle, int interfaceNumber) {
    if (!context.thread.joinable()) {
        return;
    }
    std::unique_lock lock(context.gateMutex);
    if (context.gate == TransferContext::Gate::Closed) {
        context.gate = TransferContext::Gate::Abandoned;
    }
    context.gateChanged.notify_all();
    while (!context.exited) {
        if (handle != nullptr && context.gate == TransferContext::Gate::Resumed) {
            // Releasing the interface ends a pending read at once; the worker then sees the stop.
            lock.unlock();
            usb_release_interface(handle, interfaceNumber);
            lock.lock();
        }
        context.gateChanged.wait_for(lock, kWakeInterval, [&] { return context.exited; });
    }
    lock.unlock();
    context.thread.join();
}

} // namespace

std::mutex& StatisticsLock() {
    static std::mutex lock;
    return lock;
}

std::uint32_t TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

TransferContext::~TransferContext() {
    // A record is only let go once its connection ends; should a running worker still be here, it is
    // asked to stop rather than awaited for ever.
    {
        std::lock_guard lock(gateMutex);
        if (gate == Gate::Resumed && !exited) {
            owner.stopRequest = 1;
        }
    }
    EndWorker(*this, nullptr, 0);
}

std::unique_ptr<TransferContext> CreateTransferContext(TestParams& params, int endpointAddress,
                                                       const MessageFn& message, PacketSink relay) {
    std::unique_ptr<TransferContext> context;
    try {
        // At least the six bytes a sample packet is built from.
        const std::size_t bufferBytes =
            std::max<std::size_t>(static_cast<std::size_t>(std::max(params.bufferCount, 0)) *
                                      static_cast<std::size_t>(std::max(params.bufferSize, 0)),
                                  6);
        context = std::make_unique<TransferContext>(params, bufferBytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    context->relay = std::move(relay);

    usb_config_descriptor* config = params.device != nullptr ? params.device->config : nullptr;
    const usb_interface_descriptor* setting = FindInterface(config, params.interfaceNumber);
    if (setting == nullptr) {
        message(Printf("failed locating interface %02Xh!\n", params.interfaceNumber));
        return nullptr;
    }
    const usb_endpoint_descriptor* endpoint = FindEndpoint(*setting, endpointAddress);
    if (endpoint == nullptr) {
        message(Printf("failed locating EP%02Xh!\n", endpointAddress));
        return nullptr;
    }
    context->endpoint = *endpoint;
    // A maximum packet size of 0 divides nothing: no buffer size can suit it.
    const int maxPacket = endpoint->wMaxPacketSize;
    if (maxPacket == 0 || params.bufferSize % maxPacket != 0) {
        message(Printf("buffer size %d is not an interval of EP%02Xh maximum packet size of %d!\n",
                       params.bufferSize, endpoint->bEndpointAddress, maxPacket));
        return nullptr;
    }
    if ((endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        params.isochronous = 1;
    }
    context->statistics = TransferStatistics{};
    try {
        context->thread = std::thread(ThreadMain, context.get());
    } catch (const std::system_error&) {
        message("failed creating thread!\n");
        return nullptr;
    }
    return context;
}

void Resume(TransferContext& context) {
    {
        std::lock_guard lock(context.gateMutex);
        if (context.gate == TransferContext::Gate::Closed) {
            context.gate = TransferContext::Gate::Resumed;
        }
    }
    context.gateChanged.notify_all();
}

int TransferWorker(TransferContext& context) {
    context.running = 1;
    TestParams& params = context.owner;
    const int readSize = std::min(params.bufferSize, static_cast<int>(context.buffer.size()));
    while (params.stopRequest == 0) {
        if (params.isochronous != 0) {
            // There is no isochronous transfer path: wait for the stop, costing nothing meanwhile.
            std::unique_lock lock(context.gateMutex);
            context.gateChanged.wait(lock, [&] { return params.stopRequest != 0; });
            break;
        }
        const int result =
            usb_bulk_read(params.deviceHandle, context.endpoint.bEndpointAddress,
                          reinterpret_cast<char*>(context.buffer.data()), readSize, params.transferTimeoutMs);
        if (params.stopRequest != 0) {
            break; // the stop itself may have ended this read: nothing of it is relayed
        }
        if (result >= 0 && context.relay) {
            context.relay(frames::BuildSamplePacket(context.buffer.data()));
        }
        {
            std::lock_guard lock(StatisticsLock());
            TransferStatistics& statistics = context.statistics;
            if (statistics.firstTick == 0 && statistics.transferCount >= 0) {
                statistics = TransferStatistics{};
                statistics.firstTick = StartTick();
                statistics.lastTick = statistics.firstTick;
                statistics.transferCount = 0;
            } else {
                statistics.lastTick = TickCount();
                if (result >= 0) {
                    statistics.totalBytes += result;
                } else if (result == -ETIMEDOUT) {
                    ++statistics.timeoutErrors;
                } else {
                    ++statistics.otherErrors;
                }
                ++statistics.transferCount;
            }
        }
        if (result < 0 && result != -ETIMEDOUT) {
            context.lastFailure = result;
            ++context.failuresInARow;
            RestUntilStop(context, kFailurePause);
        } else {
            context.failuresInARow = 0;
            ++context.answeredReads;
        }
    }
    context.running = 0;
    return 0;
}

void StopTransfers(TestParams& params, std::unique_ptr<TransferContext>& readSide,
                   std::unique_ptr<TransferContext>& writeSide) {
    params.stopRequest = 1;
    for (TransferContext* context : {readSide.get(), writeSide.get()}) {
        if (context != nullptr) {
            EndWorker(*context, params.deviceHandle, params.interfaceNumber);
        }
    }
    if (params.deviceHandle != nullptr) {
        usb_close(params.deviceHandle);
        params.deviceHandle = nullptr;
    }
    readSide.reset();
    writeSide.reset();
}

bool PrepareConnection(TestParams& params, std::unique_ptr<TransferContext>& readSide,
                       std::unique_ptr<TransferContext>& writeSide, const MessageFn& message,
                       const PacketSink& relay) {
    usb_config_descriptor* config = params.device != nullptr ? params.device->config : nullptr;
    usb_interface_descriptor* fallback = nullptr;
    if (FindInterface(config, params.interfaceNumber, &fallback) == nullptr) {
        if (fallback == nullptr) {
            message(
                Printf("Device %04X:%04X does not have any interfaces!", params.vendorId, params.productId));
            return false;
        }
        params.interfaceNumber = fallback->bInterfaceNumber;
    }

    readSide = CreateTransferContext(params, params.endpointAddress | 0x80, message, relay);
    if (!readSide) {
        message("Error in creating the read test!");
    }
    writeSide = CreateTransferContext(params, params.endpointAddress, message, relay);
    if (!writeSide) {
        message("Error in creating the write test!");
    }
    if (usb_set_configuration(params.deviceHandle, 1) < 0) {
        message(Printf("Setting configuration #%d!\n%s\n", 1, usb_strerror()));
    }
    if (usb_claim_interface(params.deviceHandle, params.interfaceNumber) < 0) {
        message(Printf("Claiming interface #%d!\n%s\n", params.interfaceNumber, usb_strerror()));
    }
    return true;
}

} // namespace kestavo::usb
