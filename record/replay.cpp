#include "record/replay.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>

#include "record/sigmf_text.h"

namespace kestavo::record {
namespace {

constexpr std::uint64_t kSampleBytes = 6;
// A gap longer than this in a recording is replayed as this long: a recording paused over a weekend
// should not hold its clients for two days.
constexpr std::int64_t kLongestPauseNs = 60LL * 1'000'000'000;

std::int64_t SteadyNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string Ending(const std::string& path, const std::string& from, const std::string& to) {
    return path.size() > from.size() && path.compare(path.size() - from.size(), from.size(), from) == 0
               ? path.substr(0, path.size() - from.size()) + to
               : path;
}

} // namespace

std::optional<Recording> OpenRecording(const std::string& path, std::string& error) {
    Recording recording;
    recording.metaPath = Ending(path, ".sigmf-data", ".sigmf-meta");
    recording.dataPath = Ending(recording.metaPath, ".sigmf-meta", ".sigmf-data");
    const auto fail = [&](const std::string& why) -> std::optional<Recording> {
        error = why;
        return std::nullopt;
    };
    if (recording.dataPath == recording.metaPath) {
        return fail(path + ": not a SigMF recording (FILE.sigmf-meta)");
    }
    std::ifstream metaFile(recording.metaPath);
    if (!metaFile) {
        return fail(recording.metaPath + ": " + std::strerror(errno));
    }
    const nlohmann::json meta = nlohmann::json::parse(metaFile, nullptr, false);
    if (meta.is_discarded() || !meta.is_object() || !meta.contains("global") || !meta["global"].is_object()) {
        return fail(recording.metaPath + ": not SigMF metadata (no JSON object with \"global\")");
    }
    const nlohmann::json& global = meta["global"];
    const auto text = [&](const char* key) {
        return global.contains(key) && global[key].is_string() ? global[key].get<std::string>()
                                                               : std::string();
    };
    if (text("core:datatype") != "ru16_le") {
        return fail(recording.metaPath + ": its datatype is '" + text("core:datatype") +
                    "', and a dongle's samples are ru16_le");
    }
    if (!global.contains("core:num_channels") || !global["core:num_channels"].is_number_integer() ||
        global["core:num_channels"].get<std::int64_t>() != 3) {
        return fail(recording.metaPath + ": it does not have 3 channels, a dongle's three samples");
    }
    if (global.contains("core:sample_rate")) {
        if (!global["core:sample_rate"].is_number() || !(global["core:sample_rate"].get<double>() > 0) ||
            !std::isfinite(global["core:sample_rate"].get<double>())) {
            return fail(recording.metaPath + ": its core:sample_rate is not a rate");
        }
        recording.sampleRate = global["core:sample_rate"].get<double>();
    }
    recording.label = text("core:hw");
    std::error_code sizeError;
    const std::uintmax_t bytes = std::filesystem::file_size(recording.dataPath, sizeError);
    if (sizeError) {
        return fail(recording.dataPath + ": " + sizeError.message());
    }
    recording.samples = bytes / kSampleBytes;
    std::uint64_t described = 0; // the samples the metadata speaks of
    const auto startOf = [&](const nlohmann::json& item, const char* what) -> std::optional<std::uint64_t> {
        if (!item.is_object() || !item.contains("core:sample_start") ||
            !item["core:sample_start"].is_number_unsigned()) {
            error = recording.metaPath + ": " + what + " without a core:sample_start";
            return std::nullopt;
        }
        return item["core:sample_start"].get<std::uint64_t>();
    };
    if (meta.contains("captures")) {
        if (!meta["captures"].is_array()) {
            return fail(recording.metaPath + ": its captures are not a list");
        }
        for (const auto& capture : meta["captures"]) {
            const auto start = startOf(capture, "a capture");
            if (!start) {
                return std::nullopt;
            }
            if (!recording.captures.empty() && *start < recording.captures.back().start) {
                return fail(recording.metaPath + ": its captures are out of order");
            }
            Recording::Capture taken{*start, std::nullopt};
            if (capture.contains("core:datetime") && capture["core:datetime"].is_string()) {
                taken.wallNs = ParseSigmfDatetime(capture["core:datetime"].get<std::string>());
            }
            recording.captures.push_back(taken);
            described = std::max(described, *start);
        }
    }
    if (meta.contains("annotations") && meta["annotations"].is_array()) {
        for (const auto& annotation : meta["annotations"]) {
            const auto start = startOf(annotation, "an annotation");
            if (!start) {
                return std::nullopt;
            }
            std::uint64_t count = 0;
            if (annotation.contains("core:sample_count") &&
                annotation["core:sample_count"].is_number_unsigned()) {
                count = annotation["core:sample_count"].get<std::uint64_t>();
            }
            described = std::max(described, *start + count);
        }
    }
    if (described > recording.samples) {
        return fail(recording.dataPath + ": holds " + std::to_string(recording.samples) +
                    " samples, and its metadata speaks of " + std::to_string(described));
    }
    if (recording.captures.empty() || recording.captures.front().start != 0) {
        recording.captures.insert(recording.captures.begin(), Recording::Capture{0, std::nullopt});
    }
    return recording;
}

Replay::Replay(Recording recording, double rate, bool loop, Deliver deliver)
    : recording_(std::move(recording)), rate_(rate), loop_(loop), deliver_(std::move(deliver)) {
    thread_ = std::thread([this] { Run(); });
}

Replay::~Replay() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::string Replay::Problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

bool Replay::SleepUntil(std::int64_t steadyNs) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
    }
    // Long waits in steps, so that a stop ends them; the last one to the nanosecond asked.
    for (;;) {
        const std::int64_t left = steadyNs - SteadyNs();
        if (left <= 0) {
            return true;
        }
        if (left > 50'000'000) {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, std::chrono::milliseconds(40), [this] { return stopping_; })) {
                return false;
            }
            continue;
        }
        const timespec at{static_cast<time_t>(steadyNs / 1'000'000'000),
                          static_cast<long>(steadyNs % 1'000'000'000)};
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    }
}

void Replay::Run() {
    // A timer's slack is its lateness: a replay keeps its own to a microsecond.
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    const double periodNs = 1e9 / rate_;
    // The recording's own, for the length of its gaps.
    const double recordedPeriodNs = recording_.sampleRate > 0 ? 1e9 / recording_.sampleRate : periodNs;
    std::vector<std::uint8_t> block(64 * 1024 / kSampleBytes * kSampleBytes);
    do {
        std::FILE* data = std::fopen(recording_.dataPath.c_str(), "rb");
        if (data == nullptr) {
            std::lock_guard lock(mutex_);
            problem_ = recording_.dataPath + ": " + std::strerror(errno);
            break;
        }
        const std::int64_t start = SteadyNs();
        std::int64_t pausedNs = 0;
        std::size_t nextCapture = 1;
        std::uint64_t index = 0;
        bool stopped = false;
        while (index < recording_.samples && !stopped) {
            const std::size_t wanted = static_cast<std::size_t>(
                std::min<std::uint64_t>(block.size() / kSampleBytes, recording_.samples - index));
            if (std::fread(block.data(), kSampleBytes, wanted, data) != wanted) {
                std::lock_guard lock(mutex_);
                problem_ = recording_.dataPath + ": shorter than it was";
                stopped = true;
                break;
            }
            for (std::size_t i = 0; i < wanted && !stopped; ++i, ++index) {
                // A capture after a gap: the time it says it began, beyond the time the samples before it
                // took at the recorded rate, is a pause (as much shorter as the replay is faster).
                while (nextCapture < recording_.captures.size() &&
                       recording_.captures[nextCapture].start == index) {
                    const Recording::Capture& before = recording_.captures[nextCapture - 1];
                    const Recording::Capture& after = recording_.captures[nextCapture];
                    if (before.wallNs && after.wallNs) {
                        const auto expected =
                            *before.wallNs +
                            static_cast<std::int64_t>(static_cast<double>(after.start - before.start) *
                                                      recordedPeriodNs);
                        const auto gap =
                            static_cast<double>(*after.wallNs - expected) * periodNs / recordedPeriodNs;
                        pausedNs +=
                            std::clamp<std::int64_t>(static_cast<std::int64_t>(gap), 0, kLongestPauseNs);
                    }
                    ++nextCapture;
                }
                const std::int64_t due =
                    start + pausedNs + static_cast<std::int64_t>(static_cast<double>(index) * periodNs);
                if (!SleepUntil(due)) {
                    stopped = true;
                    break;
                }
                const std::uint8_t* at = block.data() + i * kSampleBytes;
                frames::SamplePacket packet;
                for (int k = 0; k < 3; ++k) {
                    packet.samples[k] = static_cast<std::uint16_t>(at[2 * k] | (at[2 * k + 1] << 8));
                }
                deliver_(packet);
                delivered_.fetch_add(1, std::memory_order_relaxed);
            }
        }
        std::fclose(data);
        if (stopped) {
            break;
        }
    } while (loop_ && recording_.samples > 0);
    ended_ = true;
}

} // namespace kestavo::record
