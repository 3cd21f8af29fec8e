#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// What a relay client receives: three kinds of frame, each starting with the same 8-byte head. Every
// multi-byte field is little-endian on the wire.
namespace kestavo::frames {

enum FrameType : std::int32_t { kSampleFrame = 0, kConfigurationFrame = 1, kStopFrame = 3 };

struct FrameHead {
    std::int32_t type = 0;
    std::int32_t length = 0; // the whole frame's, these 8 bytes included
};
inline constexpr std::size_t kFrameHeadSize = 8;

// One transfer's three samples, with room for 31. Only the first 14 + 2 x sampleCount bytes are sent:
// the fixed head, the samples and the word after the last sample.
struct SamplePacket {
    std::uint16_t entryIndex = 2; // the active entry of the configuration frame
    std::uint16_t word2 = 126;
    std::uint8_t byte4 = 5;
    std::uint8_t code = 7; // the code of that active entry
    std::uint16_t word6 = 5;
    std::uint16_t word8 = 0;
    std::uint16_t sampleCount = 3;
    std::array<std::uint16_t, 31> samples{};
};
inline constexpr std::size_t kSamplePacketHeadSize = 12;

inline constexpr std::size_t kSampleFrameSize = 28;
inline constexpr std::size_t kConfigurationFrameSize = 264;
inline constexpr std::size_t kStopFrameSize = 8;
inline constexpr std::size_t kConfigurationEntries = 21;
inline constexpr std::size_t kActiveEntry = 2;
inline constexpr std::int32_t kActiveCode = 7;

// The packet of one transfer: samples k = 0, 1, 2 are payload[2k] x 256 + payload[2k + 1], the
// payload carrying them big-endian. Reads exactly six bytes.
SamplePacket BuildSamplePacket(const std::uint8_t* payload);

// The sample frame of a packet of three samples: its head and the packet's first 20 bytes, as one
// block, so that it can go out in one piece.
std::array<std::uint8_t, kSampleFrameSize> SampleFrame(const SamplePacket& packet);
std::array<std::uint8_t, kConfigurationFrameSize> ConfigurationFrame();
std::array<std::uint8_t, kStopFrameSize> StopFrame();

} // namespace kestavo::frames
