#include "core/dongle.h"

#include <cstring>
#include <utility>

namespace kestavo::core {
namespace {

// Reads fail about every 20 ms while they keep failing: a quarter of a second of nothing but failures
// is a dongle gone, not a hiccup.
constexpr std::int32_t kLostAfterFailures = 12;

Dongle::Totals Of(const usb::TransferContext& context) {
    std::lock_guard lock(usb::StatisticsLock());
    const usb::TransferStatistics& statistics = context.statistics;
    return {std::max<std::int64_t>(statistics.transferCount, 0),
            static_cast<std::int64_t>(statistics.timeoutErrors) + statistics.otherErrors};
}

} // namespace

Dongle::Dongle(DongleChoice choice, usb::PacketSink sink, LogFn log)
    : choice_(std::move(choice)), sink_(std::move(sink)), log_(std::move(log)) {
    usb_init(); // the library allows it more than once
}

Dongle::~Dongle() {
    Close();
}

void Dongle::Tick() {
    if (readSide_) {
        const bool answered = readSide_->answeredReads.load() > 0;
        if (readSide_->failuresInARow.load() >= kLostAfterFailures) {
            const int error = -readSide_->lastFailure.load();
            Close();
            if (!quiet_) {
                log_("Dongle lost: " + Describe(choice_) + " (" + std::strerror(error) + ")");
            }
            if (!answered && !quiet_) {
                log_("Dongle " + Describe(choice_) + " answers no read; trying again every second, quietly");
                quiet_ = true;
            }
        } else if (quiet_ && answered) {
            quiet_ = false;
            log_("Dongle back: " + Describe(choice_));
        }
        return;
    }
    usb_find_busses();
    usb_find_devices();
    struct usb_device* device = FindDevice(choice_);
    if (device == nullptr) {
        if (!absenceSaid_) {
            log_("Dongle absent: " + Describe(choice_) + ", waiting for it");
            absenceSaid_ = true;
        }
        return;
    }
    Open(device);
}

void Dongle::Open(struct usb_device* device) {
    params_ = std::make_unique<usb::TestParams>();
    params_->device = device;
    params_->vendorId = device->descriptor.idVendor;
    params_->productId = device->descriptor.idProduct;
    params_->deviceHandle = usb_open(device);
    if (params_->deviceHandle == nullptr) {
        params_.reset();
        return;
    }
    const auto message = [this](const std::string& text) {
        if (quiet_) {
            return;
        }
        std::string line = text;
        while (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        for (char& c : line) {
            c = c == '\n' ? ' ' : c;
        }
        log_(line);
    };
    if (!usb::PrepareConnection(*params_, readSide_, writeSide_, message, sink_) || !readSide_) {
        if (!quiet_) {
            log_("Dongle " + Describe(choice_) +
                 " has nothing to read from; trying again every second, quietly");
            quiet_ = true;
        }
        Close();
        return;
    }
    usb::Resume(*readSide_);
    if (!quiet_) {
        log_(std::string(everOpened_ ? "Dongle back: " : "Dongle opened: ") + Describe(choice_) + " (bus " +
             device->bus->dirname + ", address " + device->filename + ")");
    }
    everOpened_ = true;
    absenceSaid_ = false;
}

void Dongle::Close() {
    if (!params_) {
        return;
    }
    if (readSide_) {
        const Totals last = Of(*readSide_);
        closed_.transfers += last.transfers;
        closed_.errors += last.errors;
    }
    usb::StopTransfers(*params_, readSide_, writeSide_);
    params_.reset(); // its device record may be freed by the next rescan
}

Dongle::Totals Dongle::Counted() const {
    Totals totals = closed_;
    if (readSide_) {
        const Totals current = Of(*readSide_);
        totals.transfers += current.transfers;
        totals.errors += current.errors;
    }
    return totals;
}

} // namespace kestavo::core
