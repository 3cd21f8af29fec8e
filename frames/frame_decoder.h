#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frames/frames.h"

namespace kestavo::frames {

// A frame as it was checked, read in place: bytes point into what was fed and are valid only during
// the call that hands the view over.
struct FrameView {
    FrameType type = kSampleFrame;
    const std::uint8_t* bytes = nullptr; // the whole frame, head included
    std::size_t length = 0;
    std::size_t sampleCount = 0;   // sample frames
    std::int32_t activeEntry = -1; // configuration frames: the active entry and its code
    std::int32_t activeCode = 0;

    [[nodiscard]] std::uint16_t Sample(std::size_t k) const {
        const std::uint8_t* at = bytes + kFrameHeadSize + kSamplePacketHeadSize + 2 * k;
        return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
    }
};

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
    // Hands each frame the bytes complete to onFrame(const FrameView&), in order, without copying it
    // unless it spans two pieces; false once the stream is malformed (see Error()).
    template <typename OnFrame> bool FeedEach(const std::uint8_t* data, std::size_t size, OnFrame&& onFrame);
    // The same, collecting the frames.
    bool Feed(const std::uint8_t* data, std::size_t size, std::vector<DecodedFrame>& frames);

    [[nodiscard]] const std::string& Error() const { return error_; }
    // Bytes of a frame that has begun but not yet ended.
    [[nodiscard]] std::size_t Pending() const { return buffer_.size(); }

private:
    // The whole frame's length from its head, or 0 when the head is malformed.
    std::size_t CheckHead(const std::uint8_t* head);
    bool Check(const std::uint8_t* frame, std::size_t length, FrameView& view);
    bool Fail(std::string message);

    std::vector<std::uint8_t> buffer_;
    std::string error_;
};

template <typename OnFrame>
bool FrameDecoder::FeedEach(const std::uint8_t* data, std::size_t size, OnFrame&& onFrame) {
    if (!error_.empty()) {
        return false;
    }
    FrameView view;
    // A frame begun in an earlier piece is completed first, in the buffer.
    const auto fill = [&](std::size_t want) {
        const std::size_t take = std::min(want - buffer_.size(), size);
        buffer_.insert(buffer_.end(), data, data + take);
        data += take;
        size -= take;
        return buffer_.size() == want;
    };
    while (!buffer_.empty()) {
        if (buffer_.size() < kFrameHeadSize && !fill(kFrameHeadSize)) {
            return true;
        }
        const std::size_t length = CheckHead(buffer_.data());
        if (length == 0) {
            return false;
        }
        if (!fill(length)) {
            return true;
        }
        if (!Check(buffer_.data(), length, view)) {
            return false;
        }
        onFrame(static_cast<const FrameView&>(view));
        buffer_.clear();
    }
    std::size_t used = 0;
    while (size - used >= kFrameHeadSize) {
        const std::size_t length = CheckHead(data + used);
        if (length == 0) {
            return false;
        }
        if (size - used < length) {
            break;
        }
        if (!Check(data + used, length, view)) {
            return false;
        }
        onFrame(static_cast<const FrameView&>(view));
        used += length;
    }
    buffer_.assign(data + used, data + size);
    return true;
}

} // namespace kestavo::frames
