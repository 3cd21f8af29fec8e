#include <cstdint>

#include <gtest/gtest.h>

#include "traces/live_columns.h"

namespace kestavo::test {
namespace {

using traces::LiveColumns;
using traces::TraceHistory;

constexpr std::int64_t kMs = 1'000'000;

// A sample a millisecond from `from` up to `to` (exclusive), the first trace counting them, with a
// one-sample spike on the second at `spike`.
void Fill(TraceHistory& history, std::int64_t from, std::int64_t to, std::int64_t spike = -1) {
    for (std::int64_t ms = from; ms < to; ++ms) {
        history.Append(
            {ms * kMs,
             {static_cast<std::uint16_t>(ms), static_cast<std::uint16_t>(ms == spike ? 60000 : 100), 7}});
    }
}

// A viewer is sent its whole width once, then only the column it last ended with and the newer ones;
// one that waited longer than its width gets no more than a width; a spike of one sample stays seen.
TEST(LiveColumns, TheFirstUpdateIsTheWholeWidthAndTheNextOnlyWhatChanged) {
    TraceHistory history(60'000 * kMs);
    LiveColumns live(100, 100 * kMs); // a column a millisecond
    EXPECT_TRUE(live.Next(history).columns.empty()) << "nothing yet";
    Fill(history, 1000, 1200, 1150);
    const auto first = live.Next(history);
    ASSERT_EQ(first.columns.size(), 100U);
    EXPECT_EQ(first.first, 1100);
    EXPECT_EQ(first.columns.front().least[0], 1100);
    EXPECT_EQ(first.columns.back().least[0], 1199);
    EXPECT_EQ(first.columns[50].greatest[1], 60000) << "the spike";
    EXPECT_EQ(first.columns[49].greatest[1], 100);

    Fill(history, 1200, 1210);
    const auto next = live.Next(history);
    ASSERT_EQ(next.columns.size(), 11U) << "the column it ended with, and ten new";
    EXPECT_EQ(next.first, 1199);
    EXPECT_EQ(next.columns.back().least[0], 1209);
    EXPECT_TRUE(live.Next(history).columns.size() == 1U) << "nothing new: the last column alone";

    Fill(history, 1210, 1500);
    const auto late = live.Next(history);
    EXPECT_EQ(late.columns.size(), 100U);
    EXPECT_EQ(late.first, 1400);
}

// Columns cover the span the viewer asked for, however wide, and gaps read as empty columns.
TEST(LiveColumns, ColumnsFollowTheSpanAndGapsAreEmpty) {
    TraceHistory history(60'000 * kMs);
    LiveColumns wide(10, 1000 * kMs); // a column is 100 ms
    EXPECT_EQ(wide.ColumnNs(), 100 * kMs);
    Fill(history, 0, 300);
    Fill(history, 700, 1000);
    const auto update = wide.Next(history);
    ASSERT_EQ(update.columns.size(), 10U);
    EXPECT_TRUE(update.columns[0].any);
    EXPECT_FALSE(update.columns[4].any) << "the gap";
    EXPECT_EQ(update.columns[9].greatest[0], 999);
}

// However fast the samples come, the history holds a bounded number of them.
TEST(LiveColumns, TheHistoryKeepsAtMostItsShareOfSamples) {
    TraceHistory history(60'000 * kMs, 10'000);
    for (std::int64_t i = 0; i < 200'000; ++i) {
        history.Append({i * 1000, {1, 2, 3}});
    }
    EXPECT_LE(history.Size(), 10'000U + 2 * traces::SampleBlock::kSize);
    EXPECT_GE(history.Size(), 10'000U);
}

} // namespace
} // namespace kestavo::test
