#include "frames/frames.h"

namespace kestavo::frames {
namespace {

template <std::size_t N> void Put16(std::array<std::uint8_t, N>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

template <std::size_t N> void Put32(std::array<std::uint8_t, N>& out, std::size_t at, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFF);
    }
}

template <std::size_t N> void PutHead(std::array<std::uint8_t, N>& out, const FrameHead& head) {
    Put32(out, 0, head.type);
    Put32(out, 4, head.length);
}

} // namespace

SamplePacket BuildSamplePacket(const std::uint8_t* payload) {
    SamplePacket packet;
    for (std::size_t k = 0; k < 3; ++k) {
        packet.samples[k] = static_cast<std::uint16_t>(payload[2 * k] * 256 + payload[2 * k + 1]);
    }
    return packet;
}

std::array<std::uint8_t, kSampleFrameSize> SampleFrame(const SamplePacket& packet) {
    std::array<std::uint8_t, kSampleFrameSize> frame{};
    PutHead(frame, {kSampleFrame, static_cast<std::int32_t>(22 + 2 * 3)});
    std::size_t at = kFrameHeadSize;
    Put16(frame, at, packet.entryIndex);
    Put16(frame, at + 2, packet.word2);
    frame[at + 4] = packet.byte4;
    frame[at + 5] = packet.code;
    Put16(frame, at + 6, packet.word6);
    Put16(frame, at + 8, packet.word8);
    Put16(frame, at + 10, 3);
    at += kSamplePacketHeadSize;
    for (std::size_t k = 0; k < 3; ++k) {
        Put16(frame, at + 2 * k, packet.samples[k]);
    }
    Put16(frame, at + 6, packet.samples[3]); // the word after the last sample
    return frame;
}

std::array<std::uint8_t, kConfigurationFrameSize> ConfigurationFrame() {
    std::array<std::uint8_t, kConfigurationFrameSize> frame{};
    PutHead(frame, {kConfigurationFrame, static_cast<std::int32_t>(kConfigurationFrameSize)});
    std::int32_t active = 0;
    for (std::size_t i = 0; i < kConfigurationEntries; ++i) {
        const std::size_t at = 12 + 12 * i;
        if (i == kActiveEntry) {
            Put32(frame, at, 1);
            Put32(frame, at + 4, kActiveCode);
            ++active;
        }
    }
    Put32(frame, 8, active);
    return frame;
}

std::array<std::uint8_t, kStopFrameSize> StopFrame() {
    std::array<std::uint8_t, kStopFrameSize> frame{};
    PutHead(frame, {kStopFrame, static_cast<std::int32_t>(kStopFrameSize)});
    return frame;
}

} // namespace kestavo::frames
