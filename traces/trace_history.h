#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "frames/sample_ring.h"

namespace kestavo::traces {

inline constexpr std::size_t kTraces = 3;

// A run of consecutive samples and, per trace, the least and greatest value of the whole run and of
// each group of kGroup samples in it, so that a span of a minute at a hundred thousand samples a second
// is drawn from a few thousand summaries rather than six million samples: a block that falls on one
// pixel column is drawn from its own summary, one that straddles two from its groups'. Only the last
// block ever grows.
struct SampleBlock {
    static constexpr std::size_t kSize = 1024;
    static constexpr std::size_t kGroup = 32;
    using Extremes = std::array<std::uint16_t, kTraces>;
    std::size_t count = 0;
    std::array<std::int64_t, kSize> times{};
    std::array<std::array<std::uint16_t, kSize>, kTraces> values{};
    Extremes least{};
    Extremes greatest{};
    std::array<Extremes, kSize / kGroup> groupLeast{};
    std::array<Extremes, kSize / kGroup> groupGreatest{};

    [[nodiscard]] std::int64_t First() const { return times[0]; }
    [[nodiscard]] std::int64_t Last() const { return times[count - 1]; }
};

using BlockList = std::vector<std::shared_ptr<const SampleBlock>>;

// The samples of the last `keep` nanoseconds, oldest first. A view holds its blocks, so a paused plot
// keeps what it shows while newer samples arrive and older ones are let go. One thread.
class TraceHistory {
public:
    // Keeps keepNs of samples, and at most about maxSamples of them (a block more), whatever their rate.
    explicit TraceHistory(std::int64_t keepNs, std::size_t maxSamples = SIZE_MAX);

    // Samples must come in time order; one older than the newest is taken as arriving with it.
    void Append(const frames::StampedSample& sample);
    void Clear();

    [[nodiscard]] bool Empty() const { return blocks_.empty(); }
    [[nodiscard]] std::int64_t Newest() const { return newest_; }
    [[nodiscard]] std::size_t Size() const;
    [[nodiscard]] std::optional<frames::StampedSample> Latest() const;
    // The blocks that hold samples from `from` to `to`.
    [[nodiscard]] BlockList Between(std::int64_t from, std::int64_t to) const;

private:
    std::int64_t keep_;
    std::size_t maxBlocks_;
    std::int64_t newest_ = 0;
    std::deque<std::shared_ptr<SampleBlock>> blocks_;
    std::vector<std::shared_ptr<SampleBlock>> spares_; // let-go blocks nothing else holds, for reuse
};

// What one pixel column shows of one trace: every sample that falls on it, as its least and greatest
// value, and the first and last for the lines to the columns beside it.
struct Column {
    bool any = false;
    std::array<std::uint16_t, kTraces> least{};
    std::array<std::uint16_t, kTraces> greatest{};
    std::array<std::uint16_t, kTraces> first{};
    std::array<std::uint16_t, kTraces> last{};
};

// Sorts the samples from `from` (inclusive) to `to` (exclusive) into `width` columns of equal time.
std::vector<Column> ToColumns(const BlockList& blocks, std::int64_t from, std::int64_t to, int width);

// Calls onSample(const frames::StampedSample&) for every sample from `from` (inclusive) to `to` (exclusive),
// oldest first.
template <typename OnSample>
void ForEachSample(const BlockList& blocks, std::int64_t from, std::int64_t to, OnSample&& onSample) {
    for (const auto& block : blocks) {
        if (block->count == 0 || block->Last() < from || block->First() >= to) {
            continue;
        }
        for (std::size_t i = 0; i < block->count; ++i) {
            const std::int64_t time = block->times[i];
            if (time >= from && time < to) {
                onSample(frames::StampedSample{
                    time, {block->values[0][i], block->values[1][i], block->values[2][i]}});
            }
        }
    }
}

} // namespace kestavo::traces
