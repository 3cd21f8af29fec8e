#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <QColor>
#include <QRect>
#include <QString>

#include "traces/trace_history.h"

class QPainter;

namespace kestavo::scope {

// What the plot draws from.
using traces::BlockList;
using traces::Column;
using traces::kTraces;
using traces::TraceHistory;

inline const std::array<QColor, kTraces> kTraceColours = {QColor(0, 92, 230), QColor(230, 97, 0),
                                                          QColor(0, 158, 80)};
inline const std::array<QString, kTraces> kTraceNames = {
    QStringLiteral("Sample 1"), QStringLiteral("Sample 2"), QStringLiteral("Sample 3")};

struct PlotSettings {
    std::int64_t spanNs = 10'000'000'000;
    bool fitRange = false; // else the whole 16-bit range
};

// Where a drawn plot put its samples: what the pointer's readout needs.
struct PlotGeometry {
    QRect area; // the samples' own area, inside the axes
    std::int64_t from = 0;
    std::int64_t to = 0;
    double low = 0;
    double high = 65535;
    std::vector<Column> columns; // one per pixel column of the area

    [[nodiscard]] int YOf(double value) const;
    // What is under pixel column x: "-1.234 s  Sample 1: 32768 …", or empty off the area or its samples.
    [[nodiscard]] QString ReadoutAt(int x) const;
};

// Draws the samples of blocks from end - span to end into bounds: axes, grid, legend, the three
// traces, and notice (if any) in the top right corner. Each pixel column shows the least and the greatest
// of the samples that fall on it, so that no sample is lost at any span.
PlotGeometry DrawPlot(QPainter& painter, const QRect& bounds, const BlockList& blocks, std::int64_t end,
                      const PlotSettings& settings, const QString& notice);

// "-500 ms", "-12 s", "0 s": a time before the plot's right edge.
QString TimeLabel(std::int64_t beforeEndNs, std::int64_t stepNs);

} // namespace kestavo::scope
