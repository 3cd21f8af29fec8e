// kestavo-client: connects to a Kestavo relay, checks every frame it receives and prints it, one line a
// frame. Ends on the stop frame (status 0), after --count sample frames (0), when the relay goes away
// without a stop frame (3), on a malformed frame (4), or after --idle-timeout seconds without a byte (5).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "client/connect.h"
#include "frames/frame_decoder.h"

namespace {

enum Status { kStopped = 0, kUsage = 1, kCannotConnect = 2, kClosed = 3, kMalformed = 4, kIdle = 5 };

struct Options {
    std::string host;
    std::string port;
    std::string csv;
    long count = -1;
    double idleTimeout = -1;
    bool quiet = false;
};

void Usage() {
    std::fprintf(
        stderr,
        "usage: kestavo-client [--csv FILE] [--count N] [--idle-timeout SECONDS] [--quiet] HOST PORT\n"
        "Connects to a Kestavo relay and prints every frame it sends:\n"
        "  configuration entry=E code=C      a configuration frame\n"
        "  samples S0 S1 S2                  a sample frame's samples, in decimal\n"
        "  rate R frames/s                   sample frames in the last second (each second)\n"
        "  stop                              the stop frame; the client then ends\n"
        "--csv FILE writes every sample frame to FILE as frame,sample0,sample1,sample2.\n"
        "--quiet prints no samples lines. --count N ends after N sample frames.\n");
}

std::optional<Options> Parse(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const auto value = [&]() -> const char* {
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        if (word == "--csv") {
            const char* file = value();
            if (file == nullptr) {
                return std::nullopt;
            }
            options.csv = file;
        } else if (word == "--count" || word == "--idle-timeout") {
            const char* text = value();
            char* end = nullptr;
            const double number = text != nullptr ? std::strtod(text, &end) : -1;
            if (text == nullptr || *end != '\0' || number < 0) {
                return std::nullopt;
            }
            if (word == "--count") {
                options.count = static_cast<long>(number);
            } else {
                options.idleTimeout = number;
            }
        } else if (word == "--quiet") {
            options.quiet = true;
        } else if (word == "--help" || word == "-h" || (!word.empty() && word[0] == '-' && word.size() > 1)) {
            return std::nullopt;
        } else {
            positional.push_back(word);
        }
    }
    if (positional.size() != 2) {
        return std::nullopt;
    }
    options.host = positional[0];
    options.port = positional[1];
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = Parse(argc, argv);
    if (!options) {
        Usage();
        return kUsage;
    }
    std::ofstream csv;
    if (!options->csv.empty()) {
        csv.open(options->csv, std::ios::trunc);
        if (!csv) {
            std::fprintf(stderr, "kestavo-client: cannot write %s\n", options->csv.c_str());
            return kUsage;
        }
        csv << "frame,sample0,sample1,sample2\n";
    }
    std::string error;
    const int fd = kestavo::client::ConnectTcp(options->host, options->port, error);
    if (fd < 0) {
        std::fprintf(stderr, "kestavo-client: %s\n", error.c_str());
        return kCannotConnect;
    }
    std::printf("connected to %s port %s\n", options->host.c_str(), options->port.c_str());
    std::fflush(stdout);

    kestavo::frames::FrameDecoder decoder;
    std::vector<kestavo::frames::DecodedFrame> frames;
    long samplesSeen = 0;
    long inThisSecond = 0;
    auto secondStarted = std::chrono::steady_clock::now();
    auto lastByte = secondStarted;
    std::vector<std::uint8_t> chunk(65536);
    for (;;) {
        pollfd poll{fd, POLLIN, 0};
        const int ready = ::poll(&poll, 1, 200);
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
            return kClosed;
        }
        if (ready <= 0) {
            if (options->idleTimeout >= 0 &&
                std::chrono::duration<double>(now - lastByte).count() > options->idleTimeout) {
                std::fprintf(stderr, "kestavo-client: nothing received for %g s\n", options->idleTimeout);
                return kIdle;
            }
            continue;
        }
        const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got <= 0) {
            std::fprintf(stderr, "kestavo-client: the relay closed the connection without a stop frame\n");
            return kClosed;
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
                ::close(fd);
                return kStopped;
            case kestavo::frames::kSampleFrame:
                ++samplesSeen;
                ++inThisSecond;
                if (!options->quiet) {
                    std::printf("samples");
                    for (const std::uint16_t sample : frame.samples) {
                        std::printf(" %u", static_cast<unsigned>(sample));
                    }
                    std::printf("\n");
                }
                if (csv.is_open()) {
                    csv << samplesSeen;
                    for (const std::uint16_t sample : frame.samples) {
                        csv << ',' << sample;
                    }
                    csv << '\n';
                }
                if (options->count >= 0 && samplesSeen >= options->count) {
                    std::fflush(stdout);
                    ::close(fd);
                    return kStopped;
                }
                break;
            }
        }
        std::fflush(stdout);
        if (!good) {
            std::fprintf(stderr, "kestavo-client: malformed frame: %s\n", decoder.Error().c_str());
            ::close(fd);
            return kMalformed;
        }
    }
}
