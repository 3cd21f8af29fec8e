#include "scope/scope_window.h"

#include <algorithm>
#include <array>
#include <utility>

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace kestavo::scope {
namespace {

constexpr std::int64_t kShortestSpanNs = 100'000'000;
constexpr int kRefreshMs = 40;
constexpr int kRefreshesPerStatus = 12;

struct SpanChoice {
    const char* text;
    std::int64_t ns;
};
constexpr std::array<SpanChoice, 10> kSpans = {{{"100 ms", 100'000'000},
                                                {"200 ms", 200'000'000},
                                                {"500 ms", 500'000'000},
                                                {"1 s", 1'000'000'000},
                                                {"2 s", 2'000'000'000},
                                                {"5 s", 5'000'000'000},
                                                {"10 s", 10'000'000'000},
                                                {"20 s", 20'000'000'000},
                                                {"30 s", 30'000'000'000},
                                                {"60 s", 60'000'000'000}}};
constexpr int kDefaultSpan = 6;

} // namespace

ScopeView::ScopeView(std::shared_ptr<frames::SampleRing> ring, QWidget* parent, Clock clock)
    : QWidget(parent), ring_(std::move(ring)), clock_(std::move(clock)) {
    setMouseTracking(true);
    setMinimumSize(480, 240);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Plot"));
    overwrittenBefore_ = ring_->Overwritten();
}

void ScopeView::SetSpan(std::int64_t spanNs) {
    settings_.spanNs = std::clamp(spanNs, kShortestSpanNs, kLongestSpanNs);
    update();
}

void ScopeView::SetFitRange(bool fit) {
    settings_.fitRange = fit;
    update();
}

void ScopeView::SetPaused(bool paused) {
    if (paused == paused_) {
        return;
    }
    paused_ = paused;
    if (paused) {
        frozenEnd_ = clock_();
        frozen_ = history_.Between(frozenEnd_ - kLongestSpanNs, frozenEnd_);
    } else {
        frozen_.clear();
    }
    update();
}

void ScopeView::Drain() {
    ring_->Drain([this](const frames::StampedSample& sample) { history_.Append(sample); });
}

void ScopeView::Restart() {
    ring_->Drain([](const frames::StampedSample&) {});
    history_.Clear();
    frozen_.clear();
    overwrittenBefore_ = ring_->Overwritten();
    update();
}

BlockList ScopeView::Shown() const {
    if (paused_) {
        return frozen_;
    }
    const std::int64_t end = End();
    return history_.Between(end - settings_.spanNs, end);
}

QString ScopeView::Notice() const {
    QStringList parts;
    if (paused_) {
        parts << QStringLiteral("Paused");
    }
    if (const std::uint64_t lost = Overwritten(); lost > 0) {
        parts << QStringLiteral("%L1 samples not shown: the display fell behind").arg(lost);
    }
    return parts.join(QStringLiteral(" | "));
}

void ScopeView::Draw(QPainter& painter, const QRect& bounds) const {
    painter.setFont(font());
    geometry_ = DrawPlot(painter, bounds, Shown(), End(), settings_, Notice());
}

QImage ScopeView::Render(const QSize& size) const {
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    const PlotGeometry onScreen = geometry_;
    Draw(painter, image.rect());
    geometry_ = onScreen;
    return image;
}

ShownSamples ScopeView::Capture() const {
    const std::int64_t end = End();
    return {Shown(), end - settings_.spanNs, end};
}

bool WriteCsv(const QString& path, const ShownSamples& shown, QString& error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = file.errorString();
        return false;
    }
    QByteArray text = "seconds,sample1,sample2,sample3\n";
    ForEachSample(shown.blocks, shown.from, shown.to, [&](const frames::StampedSample& sample) {
        text += QByteArray::number(static_cast<double>(sample.timeNs - shown.to) / 1e9, 'f', 6) + ',' +
                QByteArray::number(sample.values[0]) + ',' + QByteArray::number(sample.values[1]) + ',' +
                QByteArray::number(sample.values[2]) + '\n';
        if (text.size() > (1 << 20)) {
            file.write(text);
            text.clear();
        }
    });
    file.write(text);
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

void ScopeView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    Draw(painter, rect());
    UpdateReadout();
    if (readout_.isEmpty()) {
        return;
    }
    const QRect& area = geometry_.area;
    painter.setPen(QPen(QColor(90, 90, 90), 0, Qt::DashLine));
    painter.drawLine(pointerX_, area.top(), pointerX_, area.bottom());
    const QFontMetrics metrics = painter.fontMetrics();
    QRect box(0, 0, metrics.horizontalAdvance(readout_) + 10, metrics.height() + 4);
    box.moveTopLeft(
        QPoint(std::clamp(pointerX_ + 8, area.left(), std::max(area.left(), area.right() - box.width())),
               area.top() + 2));
    painter.fillRect(box, QColor(255, 255, 255, 230));
    painter.setPen(Qt::black);
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.drawText(box, Qt::AlignCenter, readout_);
}

void ScopeView::UpdateReadout() {
    readout_ = pointerX_ >= 0 ? geometry_.ReadoutAt(pointerX_) : QString();
}

void ScopeView::mouseMoveEvent(QMouseEvent* event) {
    pointerX_ = event->position().toPoint().x();
    UpdateReadout();
    update();
}

void ScopeView::leaveEvent(QEvent* /*event*/) {
    pointerX_ = -1;
    readout_.clear();
    update();
}

ScopeWindow::ScopeWindow(std::shared_ptr<frames::SampleRing> ring, QWidget* parent, ScopeView::Clock clock)
    : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Kestavo Scope"));
    view_ = new ScopeView(std::move(ring), this, std::move(clock));

    auto* spanLabel = new QLabel(QStringLiteral("&Span"), this);
    span_ = new QComboBox(this);
    for (const SpanChoice& choice : kSpans) {
        span_->addItem(QString::fromLatin1(choice.text), QVariant::fromValue<qlonglong>(choice.ns));
    }
    span_->setCurrentIndex(kDefaultSpan);
    spanLabel->setBuddy(span_);
    span_->setAccessibleName(QStringLiteral("Span"));

    auto* rangeLabel = new QLabel(QStringLiteral("&Range"), this);
    range_ = new QComboBox(this);
    range_->addItem(QStringLiteral("Fit to data"));
    range_->addItem(QStringLiteral("Full 16-bit range"));
    rangeLabel->setBuddy(range_);
    range_->setAccessibleName(QStringLiteral("Range"));

    pause_ = new QPushButton(QStringLiteral("&Pause"), this);
    auto* png = new QPushButton(QStringLiteral("Export P&NG..."), this);
    auto* csv = new QPushButton(QStringLiteral("Export &CSV..."), this);
    status_ = new QLabel(this);
    // A screen reader reads a label by its name: the name is its text, the caption its description.
    status_->setAccessibleDescription(QStringLiteral("Status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    auto* controls = new QHBoxLayout;
    controls->addWidget(spanLabel);
    controls->addWidget(span_);
    controls->addSpacing(12);
    controls->addWidget(rangeLabel);
    controls->addWidget(range_);
    controls->addSpacing(12);
    controls->addWidget(pause_);
    controls->addStretch(1);
    controls->addWidget(png);
    controls->addWidget(csv);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(view_, 1);
    layout->addWidget(status_);
    resize(900, 480);

    view_->SetSpan(kSpans[kDefaultSpan].ns);
    view_->SetFitRange(true);
    connect(span_, &QComboBox::currentIndexChanged, this,
            [this] { view_->SetSpan(span_->currentData().toLongLong()); });
    connect(range_, &QComboBox::currentIndexChanged, this,
            [this](int index) { view_->SetFitRange(index == 0); });
    connect(pause_, &QPushButton::clicked, this, [this] {
        view_->SetPaused(!view_->Paused());
        pause_->setText(view_->Paused() ? QStringLiteral("&Resume") : QStringLiteral("&Pause"));
    });
    connect(png, &QPushButton::clicked, this, [this] { ExportPng(); });
    connect(csv, &QPushButton::clicked, this, [this] { ExportCsv(); });

    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, [this] { Refresh(); });
}

void ScopeWindow::SetStatusSource(std::function<QString()> source) {
    statusSource_ = std::move(source);
    UpdateStatus();
}

void ScopeWindow::Refresh() {
    view_->Drain();
    view_->update();
    if (++refreshes_ % kRefreshesPerStatus == 0) {
        UpdateStatus();
    }
}

void ScopeWindow::UpdateStatus() {
    if (statusSource_) {
        const QString text = statusSource_();
        status_->setText(text);
        status_->setAccessibleName(text);
    }
    // A screen reader cannot see the traces; it can read the latest values.
    if (const auto latest = view_->Latest()) {
        view_->setAccessibleDescription(QStringLiteral("Latest: %1 %2, %3 %4, %5 %6")
                                            .arg(kTraceNames[0])
                                            .arg(latest->values[0])
                                            .arg(kTraceNames[1])
                                            .arg(latest->values[1])
                                            .arg(kTraceNames[2])
                                            .arg(latest->values[2]));
    }
}

void ScopeWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Restored from being minimised, it goes on as it was; only opening it anew starts afresh.
    if (event->spontaneous()) {
        return;
    }
    view_->Restart();
    UpdateStatus();
    refresh_->start();
    emit VisibilityChanged(true);
}

void ScopeWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) {
        return; // minimised: it keeps taking samples
    }
    refresh_->stop();
    emit VisibilityChanged(false);
}

void ScopeWindow::ExportPng() {
    const QImage image = view_->Render(view_->size());
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export PNG"), QString(),
                                                      QStringLiteral("PNG image (*.png)"));
    if (path.isEmpty()) {
        return;
    }
    if (!image.save(path, "PNG")) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Could not write %1.").arg(path));
    }
}

void ScopeWindow::ExportCsv() {
    const ShownSamples shown = view_->Capture();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), QString(),
                                                      QStringLiteral("CSV file (*.csv)"));
    if (path.isEmpty()) {
        return;
    }
    QString error;
    if (!WriteCsv(path, shown, error)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Could not write %1: %2").arg(path, error));
    }
}

} // namespace kestavo::scope
