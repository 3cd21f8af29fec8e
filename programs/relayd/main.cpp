// kestavo-relayd: the reader and the relay without a window, as a long-running service. It opens the
// dongle as the window's Open does, relays every transfer's sample frame to every client of the relay,
// and keeps going while the dongle comes and goes. One line per event on stderr; SIGTERM or SIGINT stops
// it cleanly, a second one at once.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <vector>

#include "core/dongle_choice.h"
#include "core/receiver.h"
#include "core/texts.h"
#include "kestavo_version.h"
#include "live.h"
#include "networkdriver/access.h"
#include "networkdriver/descriptor_limit.h"
#include "networkdriver/tls.h"
#include "options/schema.h"
#include "publish/outputs.h"
#include "record/recorder.h"
#include "record/replay.h"
#include "status.h"
#include "usb/device_list.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kestavo;

constexpr auto kSummaryPeriod = std::chrono::minutes(1);
constexpr auto kTick = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1));
// A dongle's relay port in use (in a service of several) is tried again this often.
constexpr auto kRelayRetry = std::chrono::seconds(5);

// The status page's bearer token: the file's first line. Empty, with why, when it cannot be read or
// holds none.
std::string ReadToken(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return {};
    }
    std::string token;
    for (int c = std::fgetc(file); c != EOF && c != '\n' && token.size() < 4096; c = std::fgetc(file)) {
        token.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) {
        token.pop_back();
    }
    if (token.empty()) {
        error = path + ": holds no token";
    }
    return token;
}

void Log(const std::string& line) {
    // The relay's thread and this one both log; each line goes out whole.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// One dongle of the service, with its own reader, relay and outputs.
struct Station {
    options::DongleOptions options;
    core::DongleChoice choice;
    core::LogFn log;                  // its lines, named after it when the service has several
    networkdriver::AccessRules rules; // its relay's
    std::unique_ptr<core::Receiver> receiver;
    // A recording that stands in for the dongle; it feeds the receiver, so it goes first.
    std::unique_ptr<record::Replay> replay;
    std::optional<Clock::time_point> relayRetry; // while its relay port could not be listened on
    relayd::DongleState state;

    // Listens on the dongle's relay port with its own rules, which the library takes at each start.
    bool StartRelay() {
        networkdriver::SetAccessRules(rules);
        if (!receiver->Relay().Start(options.port)) {
            return false;
        }
        log(core::texts::kNetworkStarted);
        relayRetry.reset();
        return true;
    }
};

} // namespace

int main(int argc, char** argv) {
    // Stop signals are taken from a descriptor by the main loop. They are blocked before any thread
    // starts, so that every thread inherits the mask and none of them takes one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t signalsTaken = stopSignals;
    sigaddset(&signalsTaken, SIGHUP); // read the TLS files again
    pthread_sigmask(SIG_BLOCK, &signalsTaken, nullptr);
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
    // Files that cannot serve are a usage error, found before anything starts.
    const auto unusable = [](const std::string& why) {
        std::fprintf(stderr, "kestavo-relayd: %s\n", why.c_str());
        return 2;
    };
    for (const options::DongleOptions& dongle : options.dongles) {
        std::string error;
        if (dongle.tls.Any() && !networkdriver::TlsCredentials::Load(dongle.tls.Files(), error)) {
            return unusable(error);
        }
    }
    std::optional<relayd::StatusServer::Security> statusSecurity;
    if (!options.status.empty() && options.tls.Any()) {
        std::string error;
        statusSecurity.emplace();
        statusSecurity->credentials = networkdriver::TlsCredentials::Load(options.tls.Files(), error, true);
        if (!statusSecurity->credentials) {
            return unusable(error);
        }
        if (!options.statusTokenFile.empty()) {
            statusSecurity->token = ReadToken(options.statusTokenFile, error);
            if (statusSecurity->token.empty()) {
                return unusable(error);
            }
        }
    }
    // A recording served as the dongle: found good before anything starts.
    std::optional<record::Recording> recording;
    double replayRate = options.replayRate;
    if (!options.replay.empty()) {
        std::string error;
        recording = record::OpenRecording(options.replay, error);
        if (!recording) {
            return unusable(error);
        }
        if (replayRate <= 0) {
            replayRate = recording->sampleRate;
        }
        if (replayRate <= 0) {
            return unusable(recording->metaPath + ": gives no core:sample_rate; give --replay-rate");
        }
    }
    networkdriver::RaiseDescriptorLimit();
    usb::InitializeLibrary();

    const bool several = options.dongles.size() > 1;
    std::vector<std::unique_ptr<Station>> stations;
    for (const options::DongleOptions& dongle : options.dongles) {
        auto station = std::make_unique<Station>();
        Station& s = *station;
        s.options = dongle;
        std::string error;
        if (!recording) {
            s.choice = *core::ParseDongleChoice(dongle.device, error);
        }
        const std::string prefix = several ? "[" + dongle.name + "] " : "";
        s.log = [prefix](const std::string& line) {
            Log(prefix + line);
        };
        s.rules = *core::MakeAccessRules(dongle.access, error);
        s.rules.refused = [log = s.log](const std::string& peer, const std::string& reason) {
            log(core::texts::ClientRefused(peer, reason));
        };
        if (s.rules.Any()) {
            s.log(core::texts::Access(networkdriver::Describe(s.rules)));
        }
        s.receiver = std::make_unique<core::Receiver>(s.log);
        s.receiver->Relay().UseTls(dongle.tls);
        if (!s.StartRelay()) {
            s.log(core::texts::CannotStartRelay(dongle.port));
            if (!several) {
                return 1;
            }
            // The others serve on: this one's port is tried again, quietly, until it is free.
            s.log("Trying port " + std::to_string(dongle.port) + " again every " +
                  std::to_string(kRelayRetry.count()) + " seconds");
            s.relayRetry = Clock::now() + kRelayRetry;
            s.state.problem = core::texts::CannotStartRelay(dongle.port);
        }
        // A dongle of a section publishes under its own name, so that two of one batch never share one.
        const std::string subjects =
            dongle.name == "default" ? core::SubjectBaseOf(s.choice) : "kestavo." + dongle.name;
        if (!s.receiver->StartOutputs(dongle.outputs, subjects, s.log)) {
            s.log(s.receiver->Outputs()->Error());
            if (!several) {
                return 1;
            }
        }
        if (!dongle.record.empty()) {
            record::Recorder::Settings settings;
            settings.directory = dongle.record;
            settings.name = dongle.name;
            settings.label = recording ? recording->label : core::Describe(s.choice);
            settings.description =
                "Samples of Kestavo dongle " +
                (recording ? "replay of " + recording->metaPath : core::Describe(s.choice)) +
                ": the three 16-bit samples of each USB transfer, interleaved";
            record::ParseSize(dongle.recordFileSize, settings.fileBytes);
            if (!dongle.recordFileTime.empty()) {
                record::ParseDuration(dongle.recordFileTime, settings.fileSeconds);
            }
            if (!dongle.recordKeep.empty()) {
                record::ParseSize(dongle.recordKeep, settings.keepBytes);
            }
            settings.recorder = std::string("kestavo-relayd ") + kVersion;
            s.log("Recording into " + dongle.record);
            s.receiver->StartRecording(std::move(settings), s.log);
        }
        if (recording) {
            // The replay is one opening of its dongle, looped or not: its transfers are numbered on.
            s.receiver->BeginOpening();
            s.replay = std::make_unique<record::Replay>(
                *recording, replayRate, options.replayLoop,
                [receiver = s.receiver.get()](const frames::SamplePacket& packet) {
                    receiver->Deliver(packet);
                });
            s.log("Replay of " + recording->metaPath + ": " + std::to_string(recording->samples) +
                  " samples at " + std::to_string(replayRate) + " transfers/s" +
                  (options.replayLoop ? ", over and over" : ""));
        } else {
            s.receiver->Keep(s.choice);
        }
        s.state.name = dongle.name;
        s.state.device = recording ? "replay of " + recording->metaPath : core::Describe(s.choice);
        s.state.port = dongle.port;
        s.state.tlsPort = dongle.tls.port;
        s.state.plain = !dongle.tls.noPlain;
        stations.push_back(std::move(station));
    }
    // What the status page shows, as of the latest tick.
    std::mutex stateMutex;
    relayd::ServiceState state;
    for (const auto& station : stations) {
        state.dongles.push_back(station->state);
    }
    // The live plots' samples, fed only while someone watches. The receivers outlive them.
    std::optional<relayd::LiveFeeds> live;
    std::optional<relayd::StatusServer> status;
    if (!options.status.empty()) {
        std::vector<core::Receiver*> receivers;
        for (const auto& station : stations) {
            receivers.push_back(station->receiver.get());
        }
        live.emplace(std::move(receivers));
        std::string address;
        int statusPort = 0;
        kestavo::options::ParseStatusAddress(options.status, address, statusPort);
        status.emplace(
            [&] {
                std::lock_guard lock(stateMutex);
                return state;
            },
            &*live, statusSecurity);
        if (!status->Start(address, statusPort)) {
            Log("Cannot serve the status on " + options.status + "!");
            return 1;
        }
        Log(std::string(statusSecurity ? "Status served over HTTPS on " : "Status served on ") +
            options.status);
    }
    if (several) {
        sd_notifyf(0, "READY=1\nSTATUS=Relaying %zu dongles", stations.size());
    } else {
        sd_notifyf(0, "READY=1\nSTATUS=Relaying %s on port %d", stations[0]->state.device.c_str(),
                   stations[0]->options.port);
    }
    // systemd kills a service that has not fed its watchdog within the interval it asked for: fed at
    // half of it, and at least every tick.
    std::uint64_t watchdogUs = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdogUs) > 0;
    const Clock::duration feedEvery =
        watchdog ? std::min<Clock::duration>(std::chrono::microseconds(watchdogUs / 2), kTick) : kTick;

    const int signals = signalfd(-1, &signalsTaken, SFD_CLOEXEC);
    auto nextSummary = Clock::now() + kSummaryPeriod;
    signalfd_siginfo received{};
    auto lastTick = Clock::now();
    auto nextTick = lastTick;
    auto nextFeed = lastTick;
    std::string stoppingOn;
    for (;;) {
        if (stations[0]->replay && stations[0]->replay->Ended()) {
            const std::string problem = stations[0]->replay->Problem();
            stations[0]->log(problem.empty() ? "Replay ended: " + recording->metaPath
                                             : "Replay ended early: " + problem);
            stoppingOn = "the end of the replay";
            break;
        }
        if (Clock::now() >= nextTick) {
            nextTick += kTick;
            const auto now = Clock::now();
            const double seconds = std::chrono::duration<double>(now - lastTick).count();
            lastTick = now;
            relayd::ServiceState next;
            for (const auto& station : stations) {
                Station& s = *station;
                if (s.relayRetry && now >= *s.relayRetry) {
                    if (s.StartRelay()) {
                        s.state.problem.clear();
                    } else {
                        s.relayRetry = now + kRelayRetry;
                    }
                }
                s.receiver->Tick();
                const core::Receiver::Figures figures = s.receiver->Take();
                relayd::DongleState& d = s.state;
                if (seconds > 0) {
                    d.transfersPerSecond = static_cast<double>(figures.transfers - d.transfers) / seconds;
                    d.framesPerSecond =
                        static_cast<double>(figures.framesRelayed - d.framesRelayed) / seconds;
                }
                d.dongleOpen = figures.dongleOpen;
                d.transfers = figures.transfers;
                if (s.replay) {
                    d.dongleOpen = !s.replay->Ended();
                    d.transfers = static_cast<std::int64_t>(s.replay->Delivered());
                }
                if (const record::Recorder* recorder = s.receiver->Recording()) {
                    d.recording = recorder->Take();
                }
                d.errors = figures.errors;
                d.framesRelayed = figures.framesRelayed;
                d.relayRunning = figures.relayRunning;
                d.server = s.receiver->Relay().Table().ServerHandle();
                d.tls = s.receiver->Relay().TlsCounts();
                d.heldBackTimes = figures.heldBackTimes;
                d.heldBackNs = figures.heldBackNs;
                if (const auto held = s.receiver->HeldBackReport(now)) {
                    s.log(*held);
                }
                if (const core::Dongle* kept = s.receiver->Kept(); kept != nullptr && !s.relayRetry) {
                    d.problem = kept->Ambiguity();
                }
                d.outputs.clear();
                for (const publish::Outputs::Count& count : figures.outputs) {
                    d.outputs.push_back({count.name, count.published, count.dropped, count.last.opening,
                                         count.last.transfer});
                }
                next.dongles.push_back(d);
            }
            std::lock_guard lock(stateMutex);
            state = std::move(next);
        }
        if (watchdog && Clock::now() >= nextFeed) {
            sd_notify(0, "WATCHDOG=1");
            nextFeed = Clock::now() + feedEvery;
        }
        if (Clock::now() >= nextSummary) {
            nextSummary += kSummaryPeriod;
            for (const auto& station : stations) {
                station->log(station->receiver->Summary());
            }
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
            if (received.ssi_signo != SIGHUP) {
                stoppingOn = ::sigabbrev_np(static_cast<int>(received.ssi_signo));
                break;
            }
            // Renewed certificates: new handshakes take them, the clients connected stay.
            for (const auto& station : stations) {
                core::RelayServer& relay = station->receiver->Relay();
                if (!relay.Tls().Any()) {
                    continue;
                }
                std::string error;
                station->log(relay.ReloadTls(error) ? "TLS: read " + relay.Tls().certificate + " again"
                                                    : "TLS: keeping the files loaded before: " + error);
            }
            if (statusSecurity) {
                std::string error;
                Log(statusSecurity->credentials->Reload(error)
                        ? "Status: read " + options.tls.certificate + " again"
                        : "Status: keeping the files loaded before: " + error);
                if (!options.statusTokenFile.empty()) {
                    std::string token = ReadToken(options.statusTokenFile, error);
                    if (token.empty()) {
                        Log("Status: keeping the token read before: " + error);
                    } else {
                        status->SetToken(std::move(token));
                    }
                }
            }
        }
    }
    // A second signal ends the program at once.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &signalsTaken, nullptr);
    sd_notify(0, "STOPPING=1");
    Log("Stopping on " + stoppingOn);
    for (const auto& station : stations) {
        station->replay.reset();
        station->receiver->Release();
        station->receiver->StopRecording();
    }
    for (const auto& station : stations) {
        if (station->receiver->Relay().Running()) {
            station->receiver->Relay().Stop();
            station->log(core::texts::kNetworkStopped);
        }
    }
    ::close(signals);
    return 0;
}
