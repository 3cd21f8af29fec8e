#include "traces/live_columns.h"

#include <algorithm>

namespace kestavo::traces {

LiveColumns::LiveColumns(int width, std::int64_t spanNs)
    : width_(std::max(width, 1)), columnNs_(std::max<std::int64_t>(spanNs / std::max(width, 1), 1)) {}

LiveColumns::Update LiveColumns::Next(const TraceHistory& history) {
    Update update;
    if (history.Empty()) {
        return update;
    }
    const std::int64_t newest = history.Newest() / columnNs_;
    // A viewer that fell further behind than its width needs no more than a width of columns.
    const std::int64_t first = started_ ? std::max(last_, newest - width_ + 1) : newest - width_ + 1;
    started_ = true;
    last_ = newest;
    const auto count = static_cast<int>(newest - first + 1);
    const std::int64_t from = first * columnNs_;
    const std::int64_t to = (newest + 1) * columnNs_;
    update.first = first;
    update.columns = ToColumns(history.Between(from, to), from, to, count);
    return update;
}

} // namespace kestavo::traces
