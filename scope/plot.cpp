#include "scope/plot.h"

#include <algorithm>
#include <cmath>

#include <QFontMetrics>
#include <QLine>
#include <QPainter>
#include <QVector>

namespace kestavo::scope {
namespace {

// The step of 1, 2 or 5 times a power of ten that cuts `range` into at most `most` parts.
double NiceStep(double range, int most) {
    const double rough = range / most;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= rough) {
            return factor * power;
        }
    }
    return 10.0 * power;
}

} // namespace

QString TimeLabel(std::int64_t beforeEndNs, std::int64_t stepNs) {
    if (beforeEndNs == 0) {
        return QStringLiteral("0 s");
    }
    if (stepNs < 1'000'000'000) {
        return QStringLiteral("-%1 ms").arg(static_cast<double>(beforeEndNs) / 1e6, 0, 'g', 6);
    }
    return QStringLiteral("-%1 s").arg(static_cast<double>(beforeEndNs) / 1e9, 0, 'g', 6);
}

int PlotGeometry::YOf(double value) const {
    const double fraction = (value - low) / (high - low);
    return area.bottom() - static_cast<int>(std::lround(fraction * (area.height() - 1)));
}

QString PlotGeometry::ReadoutAt(int x) const {
    const int index = x - area.left();
    if (index < 0 || index >= static_cast<int>(columns.size()) || to <= from) {
        return {};
    }
    const double span = static_cast<double>(to - from);
    const double at = (index + 0.5) * span / static_cast<double>(columns.size()) - span;
    QString text = QStringLiteral("%1 s").arg(at / 1e9, 0, 'f', span < 2e9 ? 4 : 3);
    const Column& column = columns[static_cast<std::size_t>(index)];
    if (!column.any) {
        return text;
    }
    for (std::size_t trace = 0; trace < kTraces; ++trace) {
        text += QStringLiteral("   %1: %2").arg(kTraceNames[trace]).arg(column.last[trace]);
        if (column.least[trace] != column.greatest[trace]) {
            text += QStringLiteral(" (%1 to %2)").arg(column.least[trace]).arg(column.greatest[trace]);
        }
    }
    return text;
}

PlotGeometry DrawPlot(QPainter& painter, const QRect& bounds, const BlockList& blocks, std::int64_t end,
                      const PlotSettings& settings, const QString& notice) {
    const QFontMetrics metrics = painter.fontMetrics();
    const int lineHeight = metrics.height();
    PlotGeometry geometry;
    geometry.area = bounds.adjusted(metrics.horizontalAdvance(QStringLiteral("65535")) + 12, lineHeight + 8,
                                    -10, -(lineHeight + 8));
    geometry.to = end;
    geometry.from = end - settings.spanNs;
    const QRect& area = geometry.area;
    painter.fillRect(bounds, Qt::white);
    if (area.width() < 2 || area.height() < 2) {
        return geometry;
    }
    geometry.columns = ToColumns(blocks, geometry.from, geometry.to, area.width());

    if (settings.fitRange) {
        bool any = false;
        double low = 65535;
        double high = 0;
        for (const Column& column : geometry.columns) {
            if (column.any) {
                any = true;
                for (std::size_t trace = 0; trace < kTraces; ++trace) {
                    low = std::min<double>(low, column.least[trace]);
                    high = std::max<double>(high, column.greatest[trace]);
                }
            }
        }
        if (any) {
            const double margin = std::max((high - low) * 0.05, 1.0);
            geometry.low = low - margin;
            geometry.high = high + margin;
        }
    }

    // Grid and labels.
    painter.setPen(QColor(225, 225, 225));
    const double valueStep = NiceStep(geometry.high - geometry.low, 5);
    for (double value = std::ceil(geometry.low / valueStep) * valueStep; value <= geometry.high;
         value += valueStep) {
        const int y = geometry.YOf(value);
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(area.left(), y, area.right(), y);
        painter.setPen(Qt::black);
        painter.drawText(
            QRect(bounds.left(), y - lineHeight / 2, area.left() - bounds.left() - 6, lineHeight),
            Qt::AlignRight | Qt::AlignVCenter, QString::number(value, 'f', 0));
    }
    const auto timeStep = static_cast<std::int64_t>(NiceStep(static_cast<double>(settings.spanNs), 6));
    for (std::int64_t before = 0; before <= settings.spanNs; before += timeStep) {
        const int x =
            area.left() + static_cast<int>(static_cast<double>(settings.spanNs - before) *
                                           (area.width() - 1) / static_cast<double>(settings.spanNs));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(x, area.top(), x, area.bottom());
        painter.setPen(Qt::black);
        const QString label = TimeLabel(before, timeStep);
        const int width = metrics.horizontalAdvance(label);
        const int left = std::clamp(x - width / 2, bounds.left(), bounds.right() - width);
        painter.drawText(QRect(left, area.bottom() + 4, width, lineHeight), Qt::AlignCenter, label);
    }
    painter.setPen(QColor(160, 160, 160));
    painter.drawRect(area.adjusted(-1, -1, 0, 0));

    // The traces: a vertical stroke over each column's samples, and a line from each column's last
    // sample to the next column's first.
    painter.save();
    painter.setClipRect(area);
    painter.setRenderHint(QPainter::Antialiasing, false);
    QVector<QLine> lines;
    QVector<QPoint> points;
    lines.reserve(2 * area.width());
    for (std::size_t trace = 0; trace < kTraces; ++trace) {
        lines.clear();
        points.clear();
        const Column* previous = nullptr;
        int previousX = 0;
        for (int index = 0; index < area.width(); ++index) {
            const Column& column = geometry.columns[static_cast<std::size_t>(index)];
            if (!column.any) {
                continue;
            }
            const int x = area.left() + index;
            if (previous != nullptr) {
                lines.append(QLine(previousX, geometry.YOf(previous->last[trace]), x,
                                   geometry.YOf(column.first[trace])));
            }
            const int top = geometry.YOf(column.greatest[trace]);
            const int bottom = geometry.YOf(column.least[trace]);
            if (top == bottom) {
                points.append(QPoint(x, top));
            } else {
                lines.append(QLine(x, top, x, bottom));
            }
            previous = &column;
            previousX = x;
        }
        painter.setPen(QPen(kTraceColours[trace], 0));
        painter.drawLines(lines);
        painter.drawPoints(points);
    }
    painter.restore();

    // The legend above the samples, and the notice at the right.
    int x = area.left();
    const int legendY = bounds.top() + 4 + lineHeight / 2;
    for (std::size_t trace = 0; trace < kTraces; ++trace) {
        painter.setPen(QPen(kTraceColours[trace], 3));
        painter.drawLine(x, legendY, x + 16, legendY);
        x += 22;
        painter.setPen(Qt::black);
        painter.drawText(
            QRect(x, bounds.top() + 4, metrics.horizontalAdvance(kTraceNames[trace]), lineHeight),
            Qt::AlignLeft | Qt::AlignVCenter, kTraceNames[trace]);
        x += metrics.horizontalAdvance(kTraceNames[trace]) + 18;
    }
    if (!notice.isEmpty()) {
        painter.setPen(QColor(200, 0, 0));
        painter.drawText(QRect(x, bounds.top() + 4, area.right() - x, lineHeight),
                         Qt::AlignRight | Qt::AlignVCenter, notice);
    }
    return geometry;
}

} // namespace kestavo::scope
