// kestavo-client: connects to a Kestavo relay, checks every frame it receives and prints it, one line a
// frame. Ends on the stop frame (status 0), after --count sample frames (0), when the relay goes away
// without a stop frame (3), on a malformed frame (4), or after --idle-timeout seconds without a byte (5).
// With --reconnect it waits for a relay that is not there and comes back to one that goes away or stops,
// after a pause that grows from half a second to ten; only --count, a malformed frame or the idle
// timeout end it then. --sigmf BASE records the samples as SigMF. --tls speaks TLS to the relay, and a
// handshake that fails on either side's certificate ends it (6).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "clientkit/cpp/connect.h"
#include "clientkit/cpp/sigmf.h"
#include "clientkit/cpp/tls_client.h"
#include "frames/frame_decoder.h"
#include "kestavo_version.h"

namespace {

enum Status {
    kStopped = 0,
    kUsage = 1,
    kCannotConnect = 2,
    kClosed = 3,
    kMalformed = 4,
    kIdle = 5,
    kRefused = 6, // a TLS handshake failed on a certificate: the relay's, or this client's
};

struct Options {
    std::string host;
    std::string port;
    std::string csv;
    std::string sigmf;
    std::string label;
    double rolloverBytes = 0;
    long count = -1;
    double idleTimeout = -1;
    bool quiet = false;
    bool reconnect = false;
    bool tls = false;
    kestavo::client::TlsClientSettings tlsSettings;
};

void Usage() {
    std::fprintf(
        stderr,
        "usage: kestavo-client [--csv FILE] [--sigmf BASE [--sigmf-rollover BYTES] [--label TEXT]]\n"
        "                      [--count N] [--idle-timeout SECONDS] [--quiet] [--reconnect]\n"
        "                      [--tls [--ca FILE] [--cert FILE --key FILE]] HOST PORT\n"
        "       kestavo-client --version\n"
        "Connects to a Kestavo relay and prints every frame it sends:\n"
        "  configuration entry=E code=C      a configuration frame\n"
        "  samples S0 S1 S2                  a sample frame's samples, in decimal\n"
        "  rate R frames/s                   sample frames in the last second (each second)\n"
        "  stop                              the stop frame; the client then ends\n"
        "--csv FILE writes every sample frame to FILE as frame,sample0,sample1,sample2.\n"
        "--quiet prints no samples lines. --count N ends after N sample frames.\n"
        "--sigmf BASE records the samples as SigMF: BASE.sigmf-data (ru16_le, three channels interleaved)\n"
        "  and BASE.sigmf-meta; --sigmf-rollover BYTES goes on into BASE-0001 … after so many bytes of\n"
        "  samples (the first is then BASE-0000); --label TEXT names the dongle in the metadata.\n"
        "--reconnect waits for the relay and comes back when it goes away or stops, pausing half a second,\n"
        "  then longer, up to ten seconds, between attempts.\n"
        "--tls speaks TLS to the relay's TLS port: its certificate must be signed by the CA in --ca FILE\n"
        "  (else one the system trusts) and name HOST; --cert FILE --key FILE present this client's.\n"
        "  A handshake that fails on a certificate ends the client with status 6.\n");
}

std::optional<Options> Parse(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const auto value = [&]() -> const char* {
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        if (word == "--csv" || word == "--sigmf" || word == "--label" || word == "--ca" || word == "--cert" ||
            word == "--key") {
            const char* text = value();
            if (text == nullptr) {
                return std::nullopt;
            }
            std::string& target = word == "--csv"     ? options.csv
                                  : word == "--sigmf" ? options.sigmf
                                  : word == "--label" ? options.label
                                  : word == "--ca"    ? options.tlsSettings.ca
                                  : word == "--cert"  ? options.tlsSettings.certificate
                                                      : options.tlsSettings.key;
            target = text;
        } else if (word == "--count" || word == "--idle-timeout" || word == "--sigmf-rollover") {
            const char* text = value();
            char* end = nullptr;
            const double number = text != nullptr ? std::strtod(text, &end) : -1;
            if (text == nullptr || *end != '\0' || number < 0) {
                return std::nullopt;
            }
            if (word == "--count") {
                options.count = static_cast<long>(number);
            } else if (word == "--idle-timeout") {
                options.idleTimeout = number;
            } else {
                options.rolloverBytes = number;
            }
        } else if (word == "--quiet") {
            options.quiet = true;
        } else if (word == "--reconnect") {
            options.reconnect = true;
        } else if (word == "--tls") {
            options.tls = true;
        } else if (word == "--help" || word == "-h" || (!word.empty() && word[0] == '-' && word.size() > 1)) {
            return std::nullopt;
        } else {
            positional.push_back(word);
        }
    }
    const auto& tls = options.tlsSettings;
    if (positional.size() != 2 || (!options.tls && (!tls.ca.empty() || !tls.certificate.empty())) ||
        tls.certificate.empty() != tls.key.empty()) {
        return std::nullopt;
    }
    options.host = positional[0];
    options.port = positional[1];
    return options;
}

// How one connection ended.
enum class Ended { kStopFrame, kCount, kClosed, kMalformed, kIdle, kWriteFailed, kRefused };

struct Sinks {
    std::ofstream csv;
    std::unique_ptr<kestavo::client::SigmfRecorder> sigmf;
    long samplesSeen = 0;
};

// Reads one connection until it ends; prints and records what it brings.
Ended Read(int fd, kestavo::client::TlsConnection* tls, const Options& options, Sinks& sinks) {
    kestavo::frames::FrameDecoder decoder;
    std::vector<kestavo::frames::DecodedFrame> frames;
    long inThisSecond = 0;
    auto secondStarted = std::chrono::steady_clock::now();
    auto lastByte = secondStarted;
    std::vector<std::uint8_t> chunk(65536);
    for (;;) {
        pollfd poll{fd, POLLIN, 0};
        const int ready = tls != nullptr && tls->Pending() ? 1 : ::poll(&poll, 1, 200);
        const auto now = std::chrono::steady_clock::now();
        if (now - secondStarted >= std::chrono::seconds(1)) {
            const double seconds = std::chrono::duration<double>(now - secondStarted).count();
            std::printf("rate %.1f frames/s\n", static_cast<double>(inThisSecond) / seconds);
            std::fflush(stdout);
            inThisSecond = 0;
            secondStarted = now;
        }
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "kestavo-client: %s\n", std::strerror(errno));
            return Ended::kClosed;
        }
        if (ready <= 0) {
            if (options.idleTimeout >= 0 &&
                std::chrono::duration<double>(now - lastByte).count() > options.idleTimeout) {
                std::fprintf(stderr, "kestavo-client: nothing received for %g s\n", options.idleTimeout);
                return Ended::kIdle;
            }
            continue;
        }
        std::string error;
        bool refused = false;
        const ssize_t got = tls != nullptr ? tls->Read(chunk.data(), chunk.size(), error, refused)
                                           : ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got == -2) {
            continue; // a record not whole yet
        }
        if (refused) {
            std::fprintf(stderr, "kestavo-client: %s\n", error.c_str());
            return Ended::kRefused;
        }
        if (got <= 0) {
            std::fprintf(stderr, "kestavo-client: the relay closed the connection without a stop frame\n");
            return Ended::kClosed;
        }
        lastByte = now;
        frames.clear();
        const bool good = decoder.Feed(chunk.data(), static_cast<std::size_t>(got), frames);
        for (const auto& frame : frames) {
            switch (frame.type) {
            case kestavo::frames::kConfigurationFrame:
                std::printf("configuration entry=%d code=%d\n", frame.activeEntry, frame.activeCode);
                break;
            case kestavo::frames::kStopFrame:
                std::printf("stop\n");
                std::fflush(stdout);
                return Ended::kStopFrame;
            case kestavo::frames::kSampleFrame:
                ++sinks.samplesSeen;
                ++inThisSecond;
                if (!options.quiet) {
                    std::printf("samples");
                    for (const std::uint16_t sample : frame.samples) {
                        std::printf(" %u", static_cast<unsigned>(sample));
                    }
                    std::printf("\n");
                }
                if (sinks.csv.is_open()) {
                    sinks.csv << sinks.samplesSeen;
                    for (const std::uint16_t sample : frame.samples) {
                        sinks.csv << ',' << sample;
                    }
                    sinks.csv << '\n';
                }
                if (sinks.sigmf && frame.samples.size() >= 3 &&
                    !sinks.sigmf->Write(frame.samples[0], frame.samples[1], frame.samples[2])) {
                    std::fprintf(stderr, "kestavo-client: %s\n", sinks.sigmf->Error().c_str());
                    return Ended::kWriteFailed;
                }
                if (options.count >= 0 && sinks.samplesSeen >= options.count) {
                    std::fflush(stdout);
                    return Ended::kCount;
                }
                break;
            }
        }
        std::fflush(stdout);
        if (!good) {
            std::fprintf(stderr, "kestavo-client: malformed frame: %s\n", decoder.Error().c_str());
            return Ended::kMalformed;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kestavo-client %s\n", kestavo::kVersion);
        return 0;
    }
    const std::optional<Options> options = Parse(argc, argv);
    if (!options) {
        Usage();
        return kUsage;
    }
    Sinks sinks;
    if (!options->csv.empty()) {
        sinks.csv.open(options->csv, std::ios::trunc);
        if (!sinks.csv) {
            std::fprintf(stderr, "kestavo-client: cannot write %s\n", options->csv.c_str());
            return kUsage;
        }
        sinks.csv << "frame,sample0,sample1,sample2\n";
    }
    if (!options->sigmf.empty()) {
        kestavo::client::SigmfRecorder::Settings settings;
        settings.base = options->sigmf;
        settings.rolloverBytes = static_cast<std::uint64_t>(options->rolloverBytes);
        settings.label = options->label.empty() ? "Kestavo dongle" : options->label;
        settings.source = options->host + " port " + options->port;
        settings.recorder = std::string("kestavo-client ") + kestavo::kVersion;
        sinks.sigmf = std::make_unique<kestavo::client::SigmfRecorder>(settings);
    }
    constexpr double kFirstPause = 0.5;
    constexpr double kLongestPause = 10;
    double pause = kFirstPause;
    for (;;) {
        std::string error;
        int fd = kestavo::client::ConnectTcp(options->host, options->port, error, 10'000);
        Ended ended = Ended::kClosed;
        const long before = sinks.samplesSeen;
        std::unique_ptr<kestavo::client::TlsConnection> tls;
        if (fd >= 0 && options->tls) {
            bool refused = false;
            tls = kestavo::client::TlsConnection::Open(fd, options->host, options->tlsSettings, 10'000, error,
                                                       refused);
            if (!tls) {
                std::fprintf(stderr, "kestavo-client: %s\n", error.c_str());
                if (refused) {
                    return kRefused; // no retry makes a certificate good
                }
                fd = -2; // the connection was made and broke: as a relay that went away
            }
        }
        if (fd == -1) {
            std::fprintf(stderr, "kestavo-client: %s\n", error.c_str());
            if (!options->reconnect) {
                return kCannotConnect;
            }
        } else if (fd >= 0) {
            std::printf("connected to %s port %s%s\n", options->host.c_str(), options->port.c_str(),
                        tls ? " over TLS" : "");
            std::fflush(stdout);
            ended = Read(fd, tls.get(), *options, sinks);
            if (tls) {
                tls.reset(); // closes the socket
            } else {
                ::close(fd);
            }
        }
        switch (ended) {
        case Ended::kCount:
            return sinks.sigmf && !sinks.sigmf->Close() ? kUsage : kStopped;
        case Ended::kMalformed:
            return kMalformed;
        case Ended::kIdle:
            return kIdle;
        case Ended::kWriteFailed:
            return kUsage;
        case Ended::kRefused:
            return kRefused;
        case Ended::kStopFrame:
            if (!options->reconnect) {
                return sinks.sigmf && !sinks.sigmf->Close() ? kUsage : kStopped;
            }
            break;
        case Ended::kClosed:
            if (fd != -1 && !options->reconnect) {
                return kClosed;
            }
            break;
        }
        // A connection that brought samples starts the pauses over.
        pause = sinks.samplesSeen > before ? kFirstPause : pause;
        std::fprintf(stderr, "kestavo-client: connecting again in %.1f s\n", pause);
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
        pause = std::min(pause * 2, kLongestPause);
    }
}
