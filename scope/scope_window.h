#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QImage>
#include <QString>
#include <QWidget>

#include "frames/sample_ring.h"
#include "scope/plot.h"
#include "traces/trace_history.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace kestavo::scope {

// What the plot draws from.
using traces::BlockList;
using traces::Column;
using traces::kTraces;
using traces::TraceHistory;

inline constexpr std::int64_t kLongestSpanNs = 60'000'000'000;

// The samples a view showed at one moment, from `from` to `to`.
struct ShownSamples {
    BlockList blocks;
    std::int64_t from = 0;
    std::int64_t to = 0;
};

// Writes the samples one line each: seconds before the right edge and the three values.
bool WriteCsv(const QString& path, const ShownSamples& shown, QString& error);

// The live plot: takes samples from a ring into its history on the window's thread and draws the span
// that ends now, or, paused, the span that ended when it was paused.
class ScopeView : public QWidget {
    Q_OBJECT

public:
    using Clock = std::function<std::int64_t()>;

    explicit ScopeView(std::shared_ptr<frames::SampleRing> ring, QWidget* parent = nullptr,
                       Clock clock = frames::SteadyNowNs);

    void SetSpan(std::int64_t spanNs);
    void SetFitRange(bool fit);
    void SetPaused(bool paused);
    [[nodiscard]] bool Paused() const { return paused_; }
    [[nodiscard]] const PlotSettings& Settings() const { return settings_; }

    // Takes every sample the ring holds into the history.
    void Drain();
    // Forgets the history and what the ring holds, and the count of what was overwritten.
    void Restart();

    // What the view shows, drawn at the given size.
    [[nodiscard]] QImage Render(const QSize& size) const;
    // The samples the view shows now, kept as they are for an export.
    [[nodiscard]] ShownSamples Capture() const;
    // The latest sample taken, if any.
    [[nodiscard]] std::optional<frames::StampedSample> Latest() const { return history_.Latest(); }
    // Samples overwritten before the view took them, since the last Restart.
    [[nodiscard]] std::uint64_t Overwritten() const { return ring_->Overwritten() - overwrittenBefore_; }
    // The readout under the pointer, empty when the pointer is not over the samples.
    [[nodiscard]] QString Readout() const { return readout_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    [[nodiscard]] std::int64_t End() const { return paused_ ? frozenEnd_ : clock_(); }
    [[nodiscard]] BlockList Shown() const;
    [[nodiscard]] QString Notice() const;
    void Draw(QPainter& painter, const QRect& bounds) const;
    void UpdateReadout();

    std::shared_ptr<frames::SampleRing> ring_;
    Clock clock_;
    TraceHistory history_{kLongestSpanNs + 1'000'000'000};
    PlotSettings settings_;
    bool paused_ = false;
    std::int64_t frozenEnd_ = 0;
    BlockList frozen_; // what the history held when paused, kept while paused
    std::uint64_t overwrittenBefore_ = 0;
    mutable PlotGeometry geometry_; // of the last drawing on screen
    int pointerX_ = -1;
    QString readout_;
};

// The scope's window: the plot, its span, range, pause and exports, and a status line.
class ScopeWindow : public QWidget {
    Q_OBJECT

public:
    explicit ScopeWindow(std::shared_ptr<frames::SampleRing> ring, QWidget* parent = nullptr,
                         ScopeView::Clock clock = frames::SteadyNowNs);

    [[nodiscard]] ScopeView* View() const { return view_; }
    // Where the status line's text comes from, asked twice a second.
    void SetStatusSource(std::function<QString()> source);
    // Takes what the ring holds and redraws (the window's timer calls it).
    void Refresh();

signals:
    void VisibilityChanged(bool visible);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ExportPng();
    void ExportCsv();
    void UpdateStatus();

    ScopeView* view_ = nullptr;
    QComboBox* span_ = nullptr;
    QComboBox* range_ = nullptr;
    QPushButton* pause_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* refresh_ = nullptr;
    std::function<QString()> statusSource_;
    int refreshes_ = 0;
};

} // namespace kestavo::scope
