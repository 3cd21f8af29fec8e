#include <vector>

#include <gtest/gtest.h>

#include "frames/frame_decoder.h"
#include "frames/frames.h"

namespace kestavo::frames {
namespace {

template <std::size_t N> std::vector<std::uint8_t> Bytes(const std::array<std::uint8_t, N>& frame) {
    return {frame.begin(), frame.end()};
}

TEST(Frames, ASampleFrameCarriesThePayloadsSamplesLittleEndian) {
    const std::uint8_t payload[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    const SamplePacket packet = BuildSamplePacket(payload);
    EXPECT_EQ(packet.samples[0], 0x0102);
    EXPECT_EQ(packet.samples[1], 0x0304);
    EXPECT_EQ(packet.samples[2], 0x0506);
    EXPECT_EQ(Bytes(SampleFrame(packet)),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00,             // head
                                         0x02, 0x00, 0x7E, 0x00, 0x05, 0x07, 0x05, 0x00, 0x00, 0x00, // packet
                                         0x03, 0x00,                                                 // count
                                         0x02, 0x01, 0x04, 0x03, 0x06, 0x05, // samples
                                         0x00, 0x00}));                      // word after
}

TEST(Frames, TheConfigurationAndStopFramesAreConstant) {
    const auto configuration = Bytes(ConfigurationFrame());
    ASSERT_EQ(configuration.size(), 264U);
    EXPECT_EQ(std::vector<std::uint8_t>(configuration.begin(), configuration.begin() + 12),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 8, 1, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(configuration.begin() + 12, configuration.begin() + 36),
              std::vector<std::uint8_t>(24, 0));
    EXPECT_EQ(std::vector<std::uint8_t>(configuration.begin() + 36, configuration.begin() + 48),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(configuration.begin() + 48, configuration.end()),
              std::vector<std::uint8_t>(216, 0));
    EXPECT_EQ(Bytes(StopFrame()), (std::vector<std::uint8_t>{3, 0, 0, 0, 8, 0, 0, 0}));
}

TEST(FrameDecoder, ReadsEveryFrameBackWhateverThePieces) {
    std::vector<std::uint8_t> stream;
    const std::uint8_t payload[] = {0xFF, 0xFE, 0x00, 0x01, 0x80, 0x00};
    for (const auto& frame :
         {Bytes(ConfigurationFrame()), Bytes(SampleFrame(BuildSamplePacket(payload))), Bytes(StopFrame())}) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        FrameDecoder decoder;
        std::vector<DecodedFrame> frames;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            ASSERT_TRUE(decoder.Feed(stream.data() + at, std::min(piece, stream.size() - at), frames))
                << decoder.Error();
        }
        ASSERT_EQ(frames.size(), 3U) << piece;
        EXPECT_EQ(frames[0].type, kConfigurationFrame);
        EXPECT_EQ(frames[0].activeEntry, 2);
        EXPECT_EQ(frames[0].activeCode, 7);
        EXPECT_EQ(frames[1].samples, (std::vector<std::uint16_t>{0xFFFE, 0x0001, 0x8000}));
        EXPECT_EQ(frames[2].type, kStopFrame);
        EXPECT_EQ(decoder.Pending(), 0U);
    }
}

TEST(FrameDecoder, MalformedFramesAreNamed) {
    const auto sample = Bytes(SampleFrame(SamplePacket{}));
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* error;
    };
    auto badCount = sample;
    badCount[18] = 4;
    auto badHead = sample;
    badHead[9] = 1;
    auto badTrailer = sample; // found by the fuzzer: the word after the last sample went unchecked
    badTrailer[27] = 2;
    auto badEntry = Bytes(ConfigurationFrame());
    badEntry[12] = 2;
    auto badActive = Bytes(ConfigurationFrame());
    badActive[8] = 2;
    for (const Case& bad : {
             Case{{2, 0, 0, 0, 8, 0, 0, 0}, "unknown frame type 2"},
             Case{{3, 0, 0, 0, 9, 0, 0, 0, 0}, "stop frame of 9 bytes, not 8"},
             Case{{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}, "frame of type 0 claims 2147483647 bytes"},
             Case{{0, 0, 0, 0, 4, 0, 0, 0}, "frame of type 0 claims 4 bytes"},
             Case{{1, 0, 0, 0, 28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                  "configuration frame of 28 bytes, not 264"},
             Case{badCount, "sample frame of 28 bytes says it holds 4 samples"},
             Case{badHead, "sample frame with an unexpected packet head"},
             Case{badTrailer, "sample frame whose word after the last sample is not 0"},
             Case{badEntry, "configuration entry 0 is neither active nor empty"},
             Case{badActive, "configuration frame counts 2 active entries, holds 1"},
         }) {
        FrameDecoder decoder;
        std::vector<DecodedFrame> frames;
        EXPECT_FALSE(decoder.Feed(bad.bytes.data(), bad.bytes.size(), frames));
        EXPECT_EQ(decoder.Error(), bad.error);
        EXPECT_FALSE(decoder.Feed(sample.data(), sample.size(), frames)) << "it stays stopped";
        EXPECT_TRUE(frames.empty());
    }
}

} // namespace
} // namespace kestavo::frames
