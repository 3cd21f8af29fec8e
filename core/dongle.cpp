#include "core/dongle.h"

#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace kestavo::core {
namespace {

// Reads fail about every 20 ms while they keep failing: a quarter of a second of nothing but failures
// is a dongle gone, not a hiccup.
constexpr std::int32_t kLostAfterFailures = 12;

// The devices the kept dongles of this process have open, by (bus, address): two choices may name one
// device (its port, and its serial), and two readers of one device would each see half its transfers.
std::mutex g_heldMutex;
std::set<std::pair<int, int>> g_held;

Dongle::Totals Of(const usb::TransferContext& context) {
    std::lock_guard lock(usb::StatisticsLock());
    const usb::TransferStatistics& statistics = context.statistics;
    return {std::max<std::int64_t>(statistics.transferCount, 0),
            static_cast<std::int64_t>(statistics.timeoutErrors) + statistics.otherErrors};
}

} // namespace

Dongle::Dongle(DongleChoice choice, usb::PacketSink sink, LogFn log, std::function<void()> opening)
    : choice_(std::move(choice)), sink_(std::move(sink)), log_(std::move(log)), opening_(std::move(opening)) {
    usb_init(); // the library allows it more than once
}

Dongle::~Dongle() {
    Close();
}

void Dongle::Tick() {
    if (const usb::TransferContext* readSide = connection_ ? connection_->ReadSide() : nullptr) {
        const bool answered = readSide->answeredReads.load() > 0;
        if (readSide->failuresInARow.load() >= kLostAfterFailures) {
            const int error = -readSide->lastFailure.load();
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
    const Found found = FindDevice(choice_);
    if (!found.ambiguity.empty()) {
        // Said again only when the devices it matches change.
        if (found.ambiguity != ambiguity_) {
            log_("Dongle not opened: " + found.ambiguity);
            ambiguity_ = found.ambiguity;
        }
        return;
    }
    if (found.device != nullptr) {
        std::lock_guard lock(g_heldMutex);
        if (g_held.count(usb::PlaceOf(found.device)) > 0) {
            const std::string why = Describe(choice_) + " is " + found.device->bus->dirname + "/" +
                                    found.device->filename +
                                    ", which another dongle of this service has open";
            if (why != ambiguity_) {
                log_("Dongle not opened: " + why);
                ambiguity_ = why;
            }
            return;
        }
    }
    ambiguity_.clear();
    if (found.device == nullptr) {
        if (!absenceSaid_) {
            log_("Dongle absent: " + Describe(choice_) + ", waiting for it");
            absenceSaid_ = true;
        }
        return;
    }
    Open(found.device);
}

void Dongle::Open(struct usb_device* device) {
    connection_ = std::make_unique<Connection>();
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
    const Connection::Opened opened = connection_->Open(device, message, sink_);
    if (opened == Connection::Opened::No) {
        connection_.reset();
        return;
    }
    if (opened != Connection::Opened::Prepared || connection_->ReadSide() == nullptr) {
        if (!quiet_) {
            log_("Dongle " + Describe(choice_) +
                 " has nothing to read from; trying again every second, quietly");
            quiet_ = true;
        }
        Close();
        return;
    }
    if (opening_) {
        opening_();
    }
    connection_->Resume();
    {
        std::lock_guard lock(g_heldMutex);
        held_ = usb::PlaceOf(device);
        g_held.insert(*held_);
    }
    if (!quiet_) {
        log_(std::string(everOpened_ ? "Dongle back: " : "Dongle opened: ") + Describe(choice_) + " (bus " +
             device->bus->dirname + ", address " + device->filename + ")");
    }
    everOpened_ = true;
    absenceSaid_ = false;
}

void Dongle::Close() {
    if (held_) {
        std::lock_guard lock(g_heldMutex);
        g_held.erase(*held_);
        held_.reset();
    }
    if (!connection_) {
        return;
    }
    if (const usb::TransferContext* readSide = connection_->ReadSide()) {
        const Totals last = Of(*readSide);
        closed_.transfers += last.transfers;
        closed_.errors += last.errors;
    }
    connection_.reset(); // closed; its device record may be freed by the next rescan
}

Dongle::Totals Dongle::Counted() const {
    Totals totals = closed_;
    if (const usb::TransferContext* readSide = connection_ ? connection_->ReadSide() : nullptr) {
        const Totals current = Of(*readSide);
        totals.transfers += current.transfers;
        totals.errors += current.errors;
    }
    return totals;
}

} // namespace kestavo::core
