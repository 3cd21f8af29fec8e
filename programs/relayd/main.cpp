// kestavo-relayd: the reader and the relay without a window, as a long-running service. It opens the
// dongle as the window's Open does, relays every transfer's sample frame to every client of the relay,
// and keeps going while the dongle comes and goes. One line per event on stderr; SIGTERM or SIGINT stops
// it cleanly, a second one at once.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "core/dongle_choice.h"
#include "core/receiver.h"
#include "core/texts.h"
#include "networkdriver/access.h"
#include "networkdriver/descriptor_limit.h"
#include "options/schema.h"
#include "publish/outputs.h"
#include "status.h"
#include "usb/device_list.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kestavo;

constexpr auto kSummaryPeriod = std::chrono::minutes(1);
constexpr auto kTick = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1));

void Log(const std::string& line) {
    // The relay's thread and this one both log; each line goes out whole.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char** argv) {
    // Stop signals are taken from a descriptor by the main loop. They are blocked before any thread
    // starts, so that every thread inherits the mask and none of them takes one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string output;
    int exitCode = 0;
    const std::optional<options::Values> parsed = options::Parse(std::vector<std::string>(argv, argv + argc),
                                                                 options::Program::Service, output, exitCode);
    if (!parsed) {
        std::fputs(output.c_str(), exitCode == 0 ? stdout : stderr);
        return exitCode;
    }
    const options::Values& options = *parsed;
    if (options.list) {
        usb::PrintDeviceList(Log);
        return 0;
    }
    std::string error;
    const core::DongleChoice choice = *core::ParseDongleChoice(options.device, error);
    networkdriver::RaiseDescriptorLimit();
    usb::InitializeLibrary();

    auto rules = *core::MakeAccessRules(options.access, error);
    rules.refused = [](const std::string& peer, const std::string& reason) {
        Log(core::texts::ClientRefused(peer, reason));
    };
    if (rules.Any()) {
        Log(core::texts::Access(networkdriver::Describe(rules)));
    }
    networkdriver::SetAccessRules(rules);
    core::Receiver receiver(Log);
    if (!receiver.Relay().Start(options.port)) {
        Log(core::texts::CannotStartRelay(options.port));
        return 1;
    }
    Log(core::texts::kNetworkStarted);
    if (!receiver.StartOutputs(options.outputs, core::SubjectBaseOf(choice), Log)) {
        Log(receiver.Outputs()->Error());
        return 1;
    }
    receiver.Keep(choice);
    // What the status page shows, as of the latest tick.
    std::mutex stateMutex;
    relayd::ServiceState state;
    state.device = core::Describe(choice);
    state.port = options.port;
    state.relayRunning = true;
    std::optional<relayd::StatusServer> status;
    if (!options.status.empty()) {
        std::string address;
        int statusPort = 0;
        kestavo::options::ParseStatusAddress(options.status, address, statusPort);
        status.emplace([&] {
            std::lock_guard lock(stateMutex);
            return state;
        });
        if (!status->Start(address, statusPort)) {
            Log("Cannot serve the status on " + options.status + "!");
            return 1;
        }
        Log("Status served on " + options.status);
    }
    sd_notifyf(0, "READY=1\nSTATUS=Relaying %s on port %d", core::Describe(choice).c_str(), options.port);
    // systemd kills a service that has not fed its watchdog within the interval it asked for: fed at
    // half of it, and at least every tick.
    std::uint64_t watchdogUs = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdogUs) > 0;
    const Clock::duration feedEvery =
        watchdog ? std::min<Clock::duration>(std::chrono::microseconds(watchdogUs / 2), kTick) : kTick;

    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    auto nextSummary = Clock::now() + kSummaryPeriod;
    signalfd_siginfo received{};
    auto lastTick = Clock::now();
    auto nextTick = lastTick;
    auto nextFeed = lastTick;
    for (;;) {
        if (Clock::now() >= nextTick) {
            nextTick += kTick;
            receiver.Tick();
            const core::Receiver::Figures figures = receiver.Take();
            const auto now = Clock::now();
            const double seconds = std::chrono::duration<double>(now - lastTick).count();
            lastTick = now;
            std::lock_guard lock(stateMutex);
            if (seconds > 0) {
                state.transfersPerSecond = static_cast<double>(figures.transfers - state.transfers) / seconds;
                state.framesPerSecond =
                    static_cast<double>(figures.framesRelayed - state.framesRelayed) / seconds;
            }
            state.dongleOpen = figures.dongleOpen;
            state.transfers = figures.transfers;
            state.errors = figures.errors;
            state.framesRelayed = figures.framesRelayed;
            state.outputs.clear();
            for (const publish::Outputs::Count& count : figures.outputs) {
                state.outputs.push_back({count.name, count.published, count.dropped});
            }
        }
        if (watchdog && Clock::now() >= nextFeed) {
            sd_notify(0, "WATCHDOG=1");
            nextFeed = Clock::now() + feedEvery;
        }
        if (Clock::now() >= nextSummary) {
            nextSummary += kSummaryPeriod;
            Log(receiver.Summary());
        }
        // A tick that ran long is not made up for with a burst of them.
        const auto now = Clock::now();
        if (nextTick < now) {
            nextTick = now;
        }
        const auto wake = watchdog ? std::min(nextTick, nextFeed) : nextTick;
        const auto waitMs =
            std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - now, Clock::duration{}));
        pollfd ready{signals, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(waitMs.count())) > 0 &&
            ::read(signals, &received, sizeof received) == sizeof received) {
            break;
        }
    }
    // A second signal ends the program at once.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    sd_notify(0, "STOPPING=1");
    Log(std::string("Stopping on ") + ::sigabbrev_np(static_cast<int>(received.ssi_signo)));
    receiver.Release();
    if (receiver.Relay().Running()) {
        receiver.Relay().Stop();
        Log(core::texts::kNetworkStopped);
    }
    ::close(signals);
    return 0;
}
