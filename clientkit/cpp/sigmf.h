#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestavo::client {

// Records sample frames as SigMF: BASE.sigmf-data holds the samples as little-endian unsigned 16-bit
// values, the three of each frame one after the other (three channels, interleaved); BASE.sigmf-meta
// the datatype, the channel count, the dongle's label, the relay it came from and when the recording
// began. With a rollover size, the recording goes on into BASE-0001, BASE-0002 … (the first is
// BASE-0000), each a recording of its own of at most that many bytes of samples.
class SigmfRecorder {
public:
    struct Settings {
        std::string base;
        std::uint64_t rolloverBytes = 0; // 0: one recording
        std::string label;               // the dongle, as the operator names it
        std::string source;              // "HOST port PORT"
        std::string recorder;            // "kestavo-client 1.0.0.1"
    };

    explicit SigmfRecorder(Settings settings) : settings_(std::move(settings)) {}
    ~SigmfRecorder();
    SigmfRecorder(const SigmfRecorder&) = delete;
    SigmfRecorder& operator=(const SigmfRecorder&) = delete;

    // Appends one frame's three samples; false, with the reason in Error(), when a file cannot be
    // written.
    bool Write(std::uint16_t first, std::uint16_t second, std::uint16_t third);
    bool Close();
    [[nodiscard]] const std::string& Error() const { return error_; }

private:
    bool Open();

    Settings settings_;
    std::FILE* data_ = nullptr;
    std::uint64_t written_ = 0; // bytes in the current data file
    int part_ = 0;
    std::string error_;
};

} // namespace kestavo::client
