#include "clientkit/cpp/sigmf.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

namespace kestavo::client {
namespace {

constexpr std::uint64_t kFrameBytes = 6;

// Now in UTC as ISO 8601 with milliseconds: "2026-12-08T10:00:00.123Z".
std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char withMillis[48];
    std::snprintf(withMillis, sizeof withMillis, "%s.%03dZ", text, static_cast<int>(millis));
    return withMillis;
}

} // namespace

SigmfRecorder::~SigmfRecorder() {
    Close();
}

bool SigmfRecorder::Open() {
    std::string base = settings_.base;
    if (settings_.rolloverBytes > 0) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%04d", part_);
        base += suffix;
    }
    ++part_;
    const nlohmann::json meta = {
        {"global",
         {{"core:datatype", "ru16_le"},
          {"core:version", "1.0.0"},
          {"core:num_channels", 3},
          {"core:hw", settings_.label},
          {"core:recorder", settings_.recorder},
          {"core:description", "Samples of a Kestavo relay at " + settings_.source +
                                   ": the three 16-bit samples of each USB transfer, interleaved"}}},
        {"captures", nlohmann::json::array({{{"core:sample_start", 0}, {"core:datetime", UtcNow()}}})},
        {"annotations", nlohmann::json::array()}};
    std::ofstream metaFile(base + ".sigmf-meta", std::ios::trunc);
    metaFile << meta.dump(2) << '\n';
    if (!metaFile) {
        error_ = "cannot write " + base + ".sigmf-meta";
        return false;
    }
    data_ = std::fopen((base + ".sigmf-data").c_str(), "wb");
    if (data_ == nullptr) {
        error_ = "cannot write " + base + ".sigmf-data: " + std::strerror(errno);
        return false;
    }
    written_ = 0;
    return true;
}

bool SigmfRecorder::Write(std::uint16_t first, std::uint16_t second, std::uint16_t third) {
    if (data_ != nullptr && settings_.rolloverBytes > 0 && written_ + kFrameBytes > settings_.rolloverBytes) {
        if (!Close()) {
            return false;
        }
    }
    if (data_ == nullptr && !Open()) {
        return false;
    }
    const std::uint8_t bytes[kFrameBytes] = {
        static_cast<std::uint8_t>(first),  static_cast<std::uint8_t>(first >> 8),
        static_cast<std::uint8_t>(second), static_cast<std::uint8_t>(second >> 8),
        static_cast<std::uint8_t>(third),  static_cast<std::uint8_t>(third >> 8)};
    if (std::fwrite(bytes, 1, sizeof bytes, data_) != sizeof bytes) {
        error_ = std::string("cannot write the samples: ") + std::strerror(errno);
        return false;
    }
    written_ += kFrameBytes;
    return true;
}

bool SigmfRecorder::Close() {
    if (data_ == nullptr) {
        return true;
    }
    const bool closed = std::fclose(data_) == 0;
    data_ = nullptr;
    if (!closed) {
        error_ = std::string("cannot write the samples: ") + std::strerror(errno);
    }
    return closed;
}

} // namespace kestavo::client
