#pragma once

#include <cstdint>
#include <vector>

#include "traces/trace_history.h"

namespace kestavo::traces {

// The columns a plot `width` pixels wide over `spanNs` shows, for a viewer far away that is sent only
// what changed. Columns are aligned to the clock (column k holds the samples of [k, k + 1) times the
// column's time), so as time goes on the old ones stay as they were and only the newest change: after
// the first update, which gives them all, each gives the column it last ended with (which may have
// grown) and those after it.
class LiveColumns {
public:
    LiveColumns(int width, std::int64_t spanNs);

    [[nodiscard]] std::int64_t ColumnNs() const { return columnNs_; }

    struct Update {
        std::int64_t first = 0;      // the clock's index of the first column given
        std::vector<Column> columns; // from it on, one per column
    };
    // What changed since the last call; nothing while the history is empty.
    Update Next(const TraceHistory& history);

private:
    int width_;
    std::int64_t columnNs_;
    bool started_ = false;
    std::int64_t last_ = 0; // the index of the newest column given
};

} // namespace kestavo::traces
