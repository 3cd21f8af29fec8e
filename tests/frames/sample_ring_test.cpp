#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frames/sample_ring.h"

namespace kestavo::frames {
namespace {

std::array<std::uint16_t, 3> Spread(std::uint64_t index) {
    return {static_cast<std::uint16_t>(index), static_cast<std::uint16_t>(index >> 16),
            static_cast<std::uint16_t>(index >> 32)};
}

std::uint64_t Join(const StampedSample& sample) {
    return std::uint64_t{sample.values[0]} | (std::uint64_t{sample.values[1]} << 16) |
           (std::uint64_t{sample.values[2]} << 32);
}

TEST(SampleRing, AReaderThatFellBehindGetsTheNewestAndCountsTheRest) {
    SampleRing ring(8);
    for (std::uint64_t i = 0; i < 20; ++i) {
        const auto values = Spread(i);
        ring.Push(static_cast<std::int64_t>(i), values[0], values[1], values[2]);
    }
    std::vector<std::uint64_t> taken;
    EXPECT_EQ(ring.Drain([&](const StampedSample& sample) { taken.push_back(Join(sample)); }), 12U);
    EXPECT_EQ(taken, (std::vector<std::uint64_t>{12, 13, 14, 15, 16, 17, 18, 19}));
    ring.Push(20, 20, 0, 0);
    taken.clear();
    EXPECT_EQ(ring.Drain([&](const StampedSample& sample) { taken.push_back(Join(sample)); }), 0U);
    EXPECT_EQ(taken, (std::vector<std::uint64_t>{20}));
    EXPECT_EQ(ring.Overwritten(), 12U);
}

// The writer laps the reader over and over: the reader must never take a torn or repeated sample, and
// what it took and what it was told it lost must add up to what was written.
TEST(SampleRing, AWriterLappingItsReaderLosesNothingUncounted) {
    constexpr std::uint64_t kSamples = 300'000;
    SampleRing ring(256);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        for (std::uint64_t i = 0; i < kSamples; ++i) {
            const auto values = Spread(i);
            ring.Push(static_cast<std::int64_t>(i), values[0], values[1], values[2]);
        }
        written = true;
    });
    std::uint64_t taken = 0;
    std::uint64_t lost = 0;
    std::int64_t last = -1;
    bool inOrder = true;
    bool whole = true;
    const auto take = [&](const StampedSample& sample) {
        inOrder = inOrder && sample.timeNs > last;
        whole = whole && Join(sample) == static_cast<std::uint64_t>(sample.timeNs);
        last = sample.timeNs;
        ++taken;
    };
    while (!written) {
        lost += ring.Drain(take);
    }
    writer.join();
    lost += ring.Drain(take);
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(whole);
    EXPECT_EQ(taken + lost, kSamples);
    EXPECT_EQ(ring.Overwritten(), lost);
    EXPECT_EQ(last, static_cast<std::int64_t>(kSamples - 1));
}

} // namespace
} // namespace kestavo::frames
