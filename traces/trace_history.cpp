#include "traces/trace_history.h"

#include <algorithm>

namespace kestavo::traces {

TraceHistory::TraceHistory(std::int64_t keepNs, std::size_t maxSamples)
    : keep_(keepNs), maxBlocks_(maxSamples / SampleBlock::kSize + 2) {}

void TraceHistory::Append(const frames::StampedSample& sample) {
    const std::int64_t time = blocks_.empty() ? sample.timeNs : std::max(sample.timeNs, newest_);
    newest_ = time;
    if (blocks_.empty() || blocks_.back()->count == SampleBlock::kSize) {
        std::shared_ptr<SampleBlock> block;
        if (!spares_.empty()) {
            block = std::move(spares_.back());
            spares_.pop_back();
            block->count = 0;
        } else {
            block = std::make_shared<SampleBlock>();
        }
        blocks_.push_back(std::move(block));
        // Blocks wholly older than what is kept go, to the spares when no view holds them.
        while (blocks_.size() > 1 &&
               (blocks_.front()->Last() < time - keep_ || blocks_.size() > maxBlocks_)) {
            if (blocks_.front().use_count() == 1 && spares_.size() < 4) {
                spares_.push_back(std::move(blocks_.front()));
            }
            blocks_.pop_front();
        }
    }
    SampleBlock& block = *blocks_.back();
    const std::size_t at = block.count;
    const std::size_t group = at / SampleBlock::kGroup;
    block.times[at] = time;
    if (at == 0) {
        block.least = sample.values;
        block.greatest = sample.values;
    }
    if (at % SampleBlock::kGroup == 0) {
        block.groupLeast[group] = sample.values;
        block.groupGreatest[group] = sample.values;
    }
    for (std::size_t trace = 0; trace < kTraces; ++trace) {
        const std::uint16_t value = sample.values[trace];
        block.values[trace][at] = value;
        block.least[trace] = std::min(block.least[trace], value);
        block.greatest[trace] = std::max(block.greatest[trace], value);
        block.groupLeast[group][trace] = std::min(block.groupLeast[group][trace], value);
        block.groupGreatest[group][trace] = std::max(block.groupGreatest[group][trace], value);
    }
    ++block.count;
}

void TraceHistory::Clear() {
    blocks_.clear();
    newest_ = 0;
}

std::size_t TraceHistory::Size() const {
    std::size_t size = 0;
    for (const auto& block : blocks_) {
        size += block->count;
    }
    return size;
}

std::optional<frames::StampedSample> TraceHistory::Latest() const {
    if (blocks_.empty()) {
        return std::nullopt;
    }
    const SampleBlock& block = *blocks_.back();
    const std::size_t last = block.count - 1;
    return frames::StampedSample{block.times[last],
                                 {block.values[0][last], block.values[1][last], block.values[2][last]}};
}

BlockList TraceHistory::Between(std::int64_t from, std::int64_t to) const {
    // The first block that ends at or after `from`; blocks are in time order.
    auto it =
        std::partition_point(blocks_.begin(), blocks_.end(),
                             [&](const std::shared_ptr<SampleBlock>& block) { return block->Last() < from; });
    BlockList list;
    for (; it != blocks_.end() && (*it)->First() <= to; ++it) {
        list.push_back(*it);
    }
    return list;
}

std::vector<Column> ToColumns(const BlockList& blocks, std::int64_t from, std::int64_t to, int width) {
    std::vector<Column> columns(static_cast<std::size_t>(std::max(width, 0)));
    if (width <= 0 || to <= from) {
        return columns;
    }
    const auto span = static_cast<double>(to - from);
    const auto columnOf = [&](std::int64_t time) {
        const auto column = static_cast<std::size_t>(static_cast<double>(time - from) * width / span);
        return std::min(column, static_cast<std::size_t>(width - 1));
    };
    const auto merge = [&](Column& column, std::size_t trace, std::uint16_t least, std::uint16_t greatest,
                           std::uint16_t first, std::uint16_t last) {
        if (!column.any) {
            column.least[trace] = least;
            column.greatest[trace] = greatest;
            column.first[trace] = first;
        } else {
            column.least[trace] = std::min(column.least[trace], least);
            column.greatest[trace] = std::max(column.greatest[trace], greatest);
        }
        column.last[trace] = last;
    };
    for (const auto& pointer : blocks) {
        const SampleBlock& block = *pointer;
        if (block.count == 0 || block.Last() < from || block.First() >= to) {
            continue;
        }
        // Samples first to last (exclusive) that fall inside the span and on one column are drawn from
        // their summary.
        const auto onOneColumn = [&](std::size_t first, std::size_t last) {
            const std::int64_t start = block.times[first];
            const std::int64_t end = block.times[last - 1];
            return start >= from && end < to && columnOf(start) == columnOf(end);
        };
        const auto summary = [&](std::size_t first, std::size_t last, const SampleBlock::Extremes& least,
                                 const SampleBlock::Extremes& greatest) {
            Column& column = columns[columnOf(block.times[first])];
            for (std::size_t trace = 0; trace < kTraces; ++trace) {
                merge(column, trace, least[trace], greatest[trace], block.values[trace][first],
                      block.values[trace][last - 1]);
            }
            column.any = true;
        };
        if (onOneColumn(0, block.count)) {
            summary(0, block.count, block.least, block.greatest);
            continue;
        }
        for (std::size_t first = 0; first < block.count; first += SampleBlock::kGroup) {
            const std::size_t last = std::min(first + SampleBlock::kGroup, block.count);
            const std::size_t group = first / SampleBlock::kGroup;
            if (onOneColumn(first, last)) {
                summary(first, last, block.groupLeast[group], block.groupGreatest[group]);
                continue;
            }
            for (std::size_t i = first; i < last; ++i) {
                const std::int64_t time = block.times[i];
                if (time < from || time >= to) {
                    continue;
                }
                Column& column = columns[columnOf(time)];
                for (std::size_t trace = 0; trace < kTraces; ++trace) {
                    const std::uint16_t value = block.values[trace][i];
                    merge(column, trace, value, value, value, value);
                }
                column.any = true;
            }
        }
    }
    return columns;
}

} // namespace kestavo::traces
