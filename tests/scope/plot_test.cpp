#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include <QFile>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include "scope/plot.h"
#include "scope/scope_window.h"
#include "temp_dir.h"
#include "tests/usbbench/model.h"

namespace kestavo::scope {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSecond = 1'000 * kMs;

struct Drawn {
    QImage image{QSize(900, 400), QImage::Format_RGB32};
    PlotGeometry geometry;
};

Drawn Draw(const TraceHistory& history, std::int64_t end, const PlotSettings& settings) {
    Drawn drawn;
    QPainter painter(&drawn.image);
    drawn.geometry = DrawPlot(painter, drawn.image.rect(), history.Between(end - settings.spanNs, end), end,
                              settings, QString());
    return drawn;
}

int ColumnOf(const PlotGeometry& geometry, std::int64_t time) {
    return geometry.area.left() +
           static_cast<int>(static_cast<double>(time - geometry.from) * geometry.area.width() /
                            static_cast<double>(geometry.to - geometry.from));
}

bool Is(const QImage& image, int x, int y, const QColor& colour) {
    return image.rect().contains(x, y) && image.pixelColor(x, y) == colour;
}

// The demo dongle's three waves, as its emulation makes them: a transfer every 10 ms.
TEST(Plot, TheDemoWavesLandWhereTheyMust) {
    usbbench::StreamModel demo;
    demo.kind = usbbench::PayloadKind::Waveform;
    demo.waveformPeriod = 500;
    TraceHistory history(kLongestSpanNs);
    std::vector<frames::StampedSample> samples;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        const std::vector<std::uint8_t> payload = usbbench::Payload(demo, i);
        frames::StampedSample sample{static_cast<std::int64_t>(i) * 10 * kMs, {}};
        for (std::size_t trace = 0; trace < kTraces; ++trace) {
            sample.values[trace] =
                static_cast<std::uint16_t>(payload[2 * trace] << 8 | payload[2 * trace + 1]);
        }
        history.Append(sample);
        samples.push_back(sample);
    }
    const Drawn drawn = Draw(history, 10 * kSecond, PlotSettings{10 * kSecond, false});
    const PlotGeometry& geometry = drawn.geometry;

    for (std::size_t trace = 0; trace < kTraces; ++trace) {
        // Each sample is drawn at its place, unless another trace passes over it there.
        int checked = 0;
        int found = 0;
        // Every pixel of the trace's colour lies on the line between two neighbouring samples.
        std::vector<std::pair<int, int>> allowed(static_cast<std::size_t>(drawn.image.width()),
                                                 {drawn.image.height(), -1});
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const int x = ColumnOf(geometry, samples[i].timeNs);
            const int y = geometry.YOf(samples[i].values[trace]);
            const int previous = geometry.YOf(samples[i == 0 ? 0 : i - 1].values[trace]);
            const int previousX = ColumnOf(geometry, samples[i == 0 ? 0 : i - 1].timeNs);
            for (int column = previousX; column <= x; ++column) {
                auto& [low, high] = allowed[static_cast<std::size_t>(column)];
                low = std::min({low, y, previous});
                high = std::max({high, y, previous});
            }
            const bool covered =
                std::any_of(samples[i].values.begin(), samples[i].values.end(), [&](auto value) {
                    return value != samples[i].values[trace] && std::abs(geometry.YOf(value) - y) < 4;
                });
            if (!covered) {
                ++checked;
                // A trace drawn later may pass over it.
                found += std::any_of(kTraceColours.begin() + static_cast<std::ptrdiff_t>(trace),
                                     kTraceColours.end(),
                                     [&](const QColor& colour) { return Is(drawn.image, x, y, colour); })
                             ? 1
                             : 0;
            }
        }
        EXPECT_GT(checked, 900) << trace;
        EXPECT_EQ(found, checked) << kTraceNames[trace].toStdString();
        int astray = 0;
        for (int x = geometry.area.left(); x <= geometry.area.right(); ++x) {
            for (int y = geometry.area.top(); y <= geometry.area.bottom(); ++y) {
                const auto [low, high] = allowed[static_cast<std::size_t>(x)];
                if (Is(drawn.image, x, y, kTraceColours[trace]) && (y < low - 1 || y > high + 1)) {
                    ++astray;
                }
            }
        }
        EXPECT_EQ(astray, 0) << kTraceNames[trace].toStdString();
    }
}

TEST(Plot, OneSampleSpikeInAMinuteIsShown) {
    TraceHistory history(kLongestSpanNs);
    constexpr std::int64_t kEvery = kSecond / 10'000;
    const std::int64_t spikeAt = 30 * kSecond + 7 * kEvery;
    for (std::int64_t time = 0; time < 60 * kSecond; time += kEvery) {
        history.Append({time, {time == spikeAt ? std::uint16_t{60000} : std::uint16_t{1000}, 1000, 1000}});
    }
    const Drawn drawn = Draw(history, 60 * kSecond, PlotSettings{60 * kSecond, false});
    const int x = ColumnOf(drawn.geometry, spikeAt);
    EXPECT_TRUE(Is(drawn.image, x, drawn.geometry.YOf(60000), kTraceColours[0]));
    // and nowhere else
    EXPECT_FALSE(Is(drawn.image, x - 3, drawn.geometry.YOf(60000), kTraceColours[0]));
    EXPECT_FALSE(Is(drawn.image, x + 3, drawn.geometry.YOf(60000), kTraceColours[0]));
}

class ViewTest : public ::testing::Test {
protected:
    void Feed(std::int64_t from, std::int64_t to, std::uint16_t value) {
        for (std::int64_t time = from; time < to; time += kMs) {
            ring->Push(time, value, static_cast<std::uint16_t>(time / kMs % 60000), 30000);
        }
        now = to;
        view.Drain();
    }

    std::shared_ptr<frames::SampleRing> ring = std::make_shared<frames::SampleRing>(1 << 14);
    std::int64_t now = 0;
    ScopeView view{ring, nullptr, [this] {
                       return now;
                   }};
};

TEST_F(ViewTest, PausedItKeepsItsImageAndItsSamplesWhileNewOnesArrive) {
    view.SetSpan(2 * kSecond);
    Feed(0, 3 * kSecond, 20000);
    const QImage live = view.Render(QSize(600, 300));
    view.SetPaused(true);
    const QImage paused = view.Render(QSize(600, 300));
    Feed(3 * kSecond, 6 * kSecond, 50000);
    EXPECT_TRUE(view.Render(QSize(600, 300)) == paused);

    test::TempDir dir;
    const QString csv = QString::fromStdString((dir / "shown.csv").string());
    QString error;
    ASSERT_TRUE(WriteCsv(csv, view.Capture(), error)) << error.toStdString();
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2001); // the header, then every sample of the two seconds shown
    EXPECT_EQ(lines[1], "-2.000000,20000,1000,30000");
    EXPECT_EQ(lines.back(), "-0.001000,20000,2999,30000");

    view.SetPaused(false);
    EXPECT_TRUE(view.Render(QSize(600, 300)) != live);
}

TEST_F(ViewTest, SaysWhenItFellBehind) {
    const QImage before = view.Render(QSize(600, 300));
    Feed(0, 20 * kSecond, 20000); // more than the ring holds
    EXPECT_EQ(view.Overwritten(), 20000U - ring->Capacity());
    // The notice is the only red on the plot.
    const QImage after = view.Render(QSize(600, 300));
    const auto reds = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor colour = image.pixelColor(x, y);
                count += colour.red() > 150 && colour.green() < 80 && colour.blue() < 80 ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_EQ(reds(before), 0);
    EXPECT_GT(reds(after), 20);
}

} // namespace
} // namespace kestavo::scope
