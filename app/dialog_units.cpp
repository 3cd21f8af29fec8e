#include "app/dialog_units.h"

#include <algorithm>
#include <cmath>

#include <QFontMetrics>

namespace kestavo::app {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the letters, as the template's units were measured, not of all glyphs.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = std::max(1, static_cast<int>(std::lround(metrics.horizontalAdvance(letters) / 52.0)));
    baseY_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const {
    return (units * baseX_ + 2) / 4;
}

int DialogUnits::Y(int units) const {
    return (units * baseY_ + 4) / 8;
}

void DialogUnits::FitWidth(int widthUnits, int pixels) {
    if (widthUnits > 0 && X(widthUnits) < pixels) {
        baseX_ = std::max(baseX_, (pixels * 4 + widthUnits - 1) / widthUnits);
    }
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return {X(x), Y(y), X(width), Y(height)};
}

QSize DialogUnits::Size(int width, int height) const {
    return {X(width), Y(height)};
}

} // namespace kestavo::app
