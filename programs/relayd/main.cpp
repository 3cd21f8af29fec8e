// kestavo-relayd: the reader and the relay without a window, as a long-running service. It opens the
// dongle as the window's Open does, relays every transfer's sample frame to every client of the relay,
// and keeps going while the dongle comes and goes. One line per event on stderr; SIGTERM or SIGINT stops
// it cleanly, a second one at once.
#include <CLI/CLI.hpp>
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

#include "core/access_options.h"
#include "core/dongle_choice.h"
#include "core/receiver.h"
#include "core/texts.h"
#include "networkdriver/access.h"
#include "networkdriver/descriptor_limit.h"
#include "programs/relayd/status.h"
#include "publish/outputs.h"
#include "usb/device_list.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kestavo;

// Bad options, an unknown key or value: nothing starts.
constexpr int kUsageError = 2;
constexpr auto kSummaryPeriod = std::chrono::minutes(1);
constexpr int kTickMs = 1000;

void Log(const std::string& line) {
    // The relay's thread and this one both log; each line goes out whole.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

struct Options {
    std::string device;
    int port = 9001;
    bool list = false;
    core::AccessOptions access;
    std::string status;
    std::string nats;
    publish::OutputOptions outputs;
};

std::string CheckStatus(const std::string& text) {
    std::string address;
    int port = 0;
    return relayd::ParseStatusAddress(text, address, port);
}

// A CLI11 check from one of the rules both programs share.
CLI::Validator Rule(std::string (*check)(const std::string&), const char* name) {
    return CLI::Validator([check](std::string& text) { return check(text); }, name);
}

// Reads the command line and the configuration file it names; the command line wins. Gives the exit
// status when the program is to end here (help, version, or a usage error).
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
    CLI::App app{"Relays a USB radio dongle's samples to TCP clients, without a window.", "kestavo-relayd"};
    app.set_version_flag("--version", std::string("kestavo-relayd ") + KESTAVO_VERSION);
    app.set_config("--config", "", "Read options from FILE (KEY = VALUE lines, the long options' names)");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_option("--device", options.device,
                   "The dongle: VID:PID or VID:PID:SERIAL (hexadecimal ids), or BUS/ADDRESS")
        ->check(CLI::Validator(
            [](std::string& text) {
                std::string error;
                return core::ParseDongleChoice(text, error) ? std::string() : error;
            },
            "DEVICE"));
    app.add_option("--port", options.port, "The relay's TCP port, on every interface (9001)")
        ->check(CLI::Range(1, 65535));
    app.add_flag("--list", options.list, "Print the USB devices as the window lists them, and exit");
    app.add_option("--listen", options.access.listen,
                   "Listen only on this address (repeatable; default: every one)")
        ->check(Rule(core::CheckListenAddress, "ADDRESS"));
    app.add_option(
           "--allow", options.access.allow,
           "Take clients only from this NETWORK/BITS (repeatable; an IPv4 network also takes IPv4 peers "
           "of IPv6 sockets)")
        ->check(Rule(core::CheckNetwork, "NETWORK/BITS"));
    app.add_option(
           "--status", options.status,
           "Serve GET /status (JSON) and GET /metrics (Prometheus) on ADDRESS:PORT, or on loopback when "
           "only a PORT is given")
        ->check(Rule(CheckStatus, "ADDRESS:PORT"));
    app.add_option("--nats", options.nats,
                   "Publish every sample frame into NATS through these servers (nats://HOST:PORT, comma "
                   "separated), on SUBJECT.samples, and the configuration frame on SUBJECT.config")
        ->check(Rule(publish::CheckNatsServers, "URL[,URL...]"));
    app.add_option("--nats-subject", options.outputs.natsSubject,
                   "The NATS subjects' base (default: kestavo. and the dongle's serial, else VVVV_PPPP)")
        ->check(Rule(publish::CheckNatsSubject, "SUBJECT"));
    app.add_option("--zmq", options.outputs.zmq,
                   "Publish the raw samples on a ZeroMQ PUB socket bound to ENDPOINT (tcp://ADDRESS:PORT): "
                   "three little-endian 16-bit values per transfer")
        ->check(Rule(publish::CheckZmqEndpoint, "ENDPOINT"));
    app.add_option("--max-clients", options.access.maxClients,
                   "At most this many clients at once (0: no limit)")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--max-per-address", options.access.maxPerAddress,
                   "At most this many clients from one address at once (0: no limit)")
        ->check(CLI::Range(0, 1000000));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "kestavo-relayd: %s\n", error.what());
        std::fprintf(stderr, "Run with --help for the options.\n");
        return kUsageError;
    }
    if (!options.nats.empty()) {
        options.outputs.nats = publish::SplitNatsServers(options.nats);
    }
    if (!options.list && options.device.empty()) {
        std::fprintf(stderr, "kestavo-relayd: --device is required (or --list)\n");
        return kUsageError;
    }
    return std::nullopt;
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

    Options options;
    if (const auto status = ParseOptions(argc, argv, options)) {
        return *status;
    }
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
        relayd::ParseStatusAddress(options.status, address, statusPort);
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
    std::uint64_t watchdogUs = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdogUs) > 0;

    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    auto nextSummary = Clock::now() + kSummaryPeriod;
    signalfd_siginfo received{};
    auto lastTick = Clock::now();
    for (;;) {
        receiver.Tick();
        {
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
        if (watchdog) {
            sd_notify(0, "WATCHDOG=1");
        }
        if (Clock::now() >= nextSummary) {
            nextSummary += kSummaryPeriod;
            Log(receiver.Summary());
        }
        pollfd ready{signals, POLLIN, 0};
        if (::poll(&ready, 1, kTickMs) > 0 &&
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
