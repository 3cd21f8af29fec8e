#include "frames/frame_decoder.h"

#include <algorithm>

namespace kestavo::frames {
namespace {

std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::int32_t Get32(const std::uint8_t* at) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
        (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24));
}

constexpr std::int32_t kLargestFrame = static_cast<std::int32_t>(kConfigurationFrameSize);

} // namespace

bool FrameDecoder::Fail(std::string message) {
    error_ = std::move(message);
    buffer_.clear();
    return false;
}

bool FrameDecoder::Feed(const std::uint8_t* data, std::size_t size, std::vector<DecodedFrame>& frames) {
    return FeedEach(data, size, [&](const FrameView& view) {
        DecodedFrame frame;
        frame.type = view.type;
        frame.activeEntry = view.activeEntry;
        frame.activeCode = view.activeCode;
        for (std::size_t k = 0; k < view.sampleCount; ++k) {
            frame.samples.push_back(view.Sample(k));
        }
        frames.push_back(std::move(frame));
    });
}

std::size_t FrameDecoder::CheckHead(const std::uint8_t* head) {
    const std::int32_t type = Get32(head);
    const std::int32_t length = Get32(head + 4);
    if (type != kSampleFrame && type != kConfigurationFrame && type != kStopFrame) {
        Fail("unknown frame type " + std::to_string(type));
        return 0;
    }
    if (length < static_cast<std::int32_t>(kFrameHeadSize) || length > kLargestFrame) {
        Fail("frame of type " + std::to_string(type) + " claims " + std::to_string(length) + " bytes");
        return 0;
    }
    return static_cast<std::size_t>(length);
}

// Every message is built only on the way out: this runs for every frame a client receives.
bool FrameDecoder::Check(const std::uint8_t* frame, std::size_t length, FrameView& view) {
    view = {};
    view.type = static_cast<FrameType>(Get32(frame));
    view.bytes = frame;
    view.length = length;
    switch (view.type) {
    case kStopFrame:
        if (length != kStopFrameSize) {
            return Fail("stop frame of " + std::to_string(length) + " bytes, not 8");
        }
        return true;
    case kConfigurationFrame: {
        if (length != kConfigurationFrameSize) {
            return Fail("configuration frame of " + std::to_string(length) + " bytes, not 264");
        }
        std::int32_t active = 0;
        for (std::size_t i = 0; i < kConfigurationEntries; ++i) {
            const std::uint8_t* entry = frame + 12 + 12 * i;
            const std::int32_t flag = Get32(entry);
            if (flag == 1) {
                ++active;
                view.activeEntry = static_cast<std::int32_t>(i);
                view.activeCode = Get32(entry + 4);
            } else if (flag != 0 || Get32(entry + 4) != 0 || Get32(entry + 8) != 0) {
                return Fail("configuration entry " + std::to_string(i) + " is neither active nor empty");
            }
        }
        if (Get32(frame + 8) != active) {
            return Fail("configuration frame counts " + std::to_string(Get32(frame + 8)) +
                        " active entries, holds " + std::to_string(active));
        }
        return true;
    }
    case kSampleFrame: {
        if (length < 22 || length > 22 + 2 * 31 || (length - 22) % 2 != 0) {
            return Fail("sample frame of " + std::to_string(length) + " bytes");
        }
        const std::uint8_t* packet = frame + kFrameHeadSize;
        const std::size_t count = (length - 22) / 2;
        if (Get16(packet) != 2 || Get16(packet + 2) != 126 || packet[4] != 5 || packet[5] != 7 ||
            Get16(packet + 6) != 5 || Get16(packet + 8) != 0) {
            return Fail("sample frame with an unexpected packet head");
        }
        if (Get16(packet + 10) != count) {
            return Fail("sample frame of " + std::to_string(length) + " bytes says it holds " +
                        std::to_string(Get16(packet + 10)) + " samples");
        }
        if (Get16(packet + kSamplePacketHeadSize + 2 * count) != 0) {
            return Fail("sample frame whose word after the last sample is not 0");
        }
        view.sampleCount = count;
        return true;
    }
    }
    return Fail("unknown frame type");
}

} // namespace kestavo::frames
