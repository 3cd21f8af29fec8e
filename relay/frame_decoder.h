#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/frames.h"

namespace kestavo::relay {

struct DecodedFrame {
    FrameType type = kSampleFrame;
    std::vector<std::uint16_t> samples; // sample frames
    std::int32_t activeEntry = -1;      // configuration frames: the active entry and its code
    std::int32_t activeCode = 0;
};

// Reads a relay client's byte stream back into frames, checking each against the formats the relay
// sends: the type, the length that goes with it and every constant field. Bytes may arrive in any
// pieces. The first malformed frame stops the decoder for good.
class FrameDecoder {
public:
    // Decodes what the bytes complete; false once the stream is malformed (see Error()).
    bool Feed(const std::uint8_t* data, std::size_t size, std::vector<DecodedFrame>& frames);

    [[nodiscard]] const std::string& Error() const { return error_; }
    // Bytes of a frame that has begun but not yet ended.
    [[nodiscard]] std::size_t Pending() const { return buffer_.size(); }

private:
    bool Decode(const std::uint8_t* frame, std::size_t length, DecodedFrame& out);
    bool Fail(std::string message);

    std::vector<std::uint8_t> buffer_;
    std::string error_;
};

} // namespace kestavo::relay
