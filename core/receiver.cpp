#include "core/receiver.h"

#include <algorithm>
#include <utility>

#include "core/texts.h"

namespace kestavo::core {

Receiver::Receiver(LogFn log, RelayServer::Dispatch dispatch)
    : log_(std::move(log)), relay_(log_, std::move(dispatch)) {}

Receiver::~Receiver() {
    Release();
    Close();
    StopRecording();
    relay_.Stop();
}

Connection::Opened Receiver::Open(struct usb_device* device, const usb::MessageFn& message,
                                  const std::function<void()>& opened) {
    return connection_.Open(
        device, message, [this](const frames::SamplePacket& packet) { Deliver(packet); }, opened);
}

void Receiver::Close() {
    connection_.Close();
    StopOutputs();
}

void Receiver::Keep(const DongleChoice& choice) {
    kept_ = std::make_unique<Dongle>(
        choice, [this](const frames::SamplePacket& packet) { Deliver(packet); },
        [this](const std::string& line) {
            if (log_) {
                log_(line);
            }
        },
        [this] { BeginOpening(); });
}

void Receiver::Tick() {
    if (kept_) {
        kept_->Tick();
        const bool open = kept_->IsOpen();
        if (recorder_ && open != wasOpen_) {
            recorder_->DongleOpen(open);
        }
        wasOpen_ = open;
    }
}

void Receiver::StartRecording(record::Recorder::Settings settings, LogFn log) {
    StopRecording();
    recorder_ = std::make_unique<record::Recorder>(std::move(settings), std::move(log));
    recorderFeed_.store(recorder_.get(), std::memory_order_release);
}

void Receiver::StopRecording() {
    // As the outputs: only once no reader can reach it.
    recorderFeed_.store(nullptr);
    recorder_.reset();
}

void Receiver::Release() {
    if (kept_) {
        kept_->Close();
    }
}

bool Receiver::StartOutputs(const publish::OutputOptions& options, const std::string& subjectBase,
                            LogFn log) {
    StopOutputs();
    if (!options.Any()) {
        return true;
    }
    outputs_ = std::make_unique<publish::Outputs>(options, subjectBase, std::move(log));
    // One that could not start is offered nothing by the outputs themselves; the others go on.
    outputsFeed_.store(outputs_.get(), std::memory_order_release);
    return outputs_->Error().empty();
}

void Receiver::StopOutputs() {
    // Only once no reader can reach them: both dongles' readers are stopped, or never offer to them.
    outputsFeed_.store(nullptr);
    outputs_.reset();
}

void Receiver::Deliver(const frames::SamplePacket& packet) {
    // Numbered and stamped as the read returned, before the relay's sends take their time. The clock is
    // read only when someone keeps the time: the relay's frames carry none.
    publish::Outputs* const outputs = outputsFeed_.load(std::memory_order_acquire);
    record::Recorder* const recorder = recorderFeed_.load(std::memory_order_acquire);
    frames::SampleRing* const ring = plotFeed_.load(std::memory_order_acquire);
    const std::uint64_t transfer = nextTransfer_.load(std::memory_order_relaxed);
    nextTransfer_.store(transfer + 1, std::memory_order_relaxed);
    const frames::StampedSample sample{
        outputs != nullptr || recorder != nullptr || ring != nullptr ? frames::SteadyNowNs() : 0,
        {packet.samples[0], packet.samples[1], packet.samples[2]},
        transfer,
        opening_.load(std::memory_order_relaxed)};
    relay_.Table().RelaySamplePacket(packet);
    if (outputs != nullptr) {
        outputs->Offer(sample);
    }
    if (recorder != nullptr) {
        recorder->Offer(sample);
    }
    if (ring != nullptr) {
        ring->Push(sample);
    }
    delivered_.fetch_add(1, std::memory_order_relaxed);
}

Receiver::Figures Receiver::Take() const {
    Figures figures;
    if (kept_) {
        const Dongle::Totals totals = kept_->Counted();
        figures.dongleOpen = kept_->IsOpen();
        figures.transfers = totals.transfers;
        figures.errors = totals.errors;
    } else {
        figures.dongleOpen = connection_.IsOpen();
    }
    figures.framesRelayed = delivered_.load();
    figures.relayRunning = relay_.Running();
    figures.clients = relay_.Table().Entries().size();
    if (outputs_) {
        figures.outputs = outputs_->Counts();
    }
    const networkdriver::HeldBack held = relay_.HeldBack();
    figures.heldBackTimes = held.times;
    figures.heldBackNs = held.nanoseconds;
    return figures;
}

std::optional<std::string> Receiver::HeldBackReport(std::chrono::steady_clock::time_point now) {
    const std::uint64_t held = relay_.HeldBack().nanoseconds;
    if (!heldMinute_ || held < heldAtMinute_) {
        heldMinute_ = now;
        heldAtMinute_ = held;
        return std::nullopt;
    }
    if (now - *heldMinute_ < std::chrono::minutes(1)) {
        return std::nullopt;
    }
    const std::uint64_t inMinute = held - heldAtMinute_;
    heldMinute_ = now;
    heldAtMinute_ = held;
    if (inMinute == 0) {
        return std::nullopt;
    }
    return texts::ReaderHeldBack(inMinute);
}

std::string Receiver::Summary() const {
    const Figures figures = Take();
    return "Summary: " + std::to_string(figures.transfers) + " transfers, " + std::to_string(figures.errors) +
           " errors, " + std::to_string(figures.framesRelayed) + " frames relayed, " +
           std::to_string(figures.clients) + " clients" +
           (outputs_ ? "; " + outputs_->Summary() : std::string());
}

std::string SubjectBaseOf(usb_dev_handle* handle, const struct usb_device* device) {
    return publish::SubjectBase(SerialOf(handle, device), device->descriptor.idVendor,
                                device->descriptor.idProduct);
}

std::string SubjectBaseOf(const DongleChoice& choice) {
    if (choice.serial) {
        return publish::SubjectBase(*choice.serial, 0, 0);
    }
    if (struct usb_device* device = FindDevice(choice).device) {
        return publish::SubjectBase(SerialOf(device), device->descriptor.idVendor,
                                    device->descriptor.idProduct);
    }
    if (choice.byPlace) {
        return "kestavo.bus" + std::to_string(choice.bus) + "_" + std::to_string(choice.address);
    }
    if (choice.byPort) {
        std::string name = usb::PortName(choice.port);
        std::replace(name.begin(), name.end(), '.', '_');
        return "kestavo.port" + name;
    }
    return publish::SubjectBase("", static_cast<std::uint16_t>(choice.vendor),
                                static_cast<std::uint16_t>(choice.product));
}

} // namespace kestavo::core
