#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace kestavo::app {

// Converts a dialog template's dialog units into pixels with the base units of the dialog's font: a
// horizontal unit is a quarter of the average character width, a vertical one an eighth of the line
// height. The window thus keeps the template's proportions with any font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    [[nodiscard]] int X(int units) const;
    [[nodiscard]] int Y(int units) const;
    [[nodiscard]] QRect Rect(int x, int y, int width, int height) const;
    [[nodiscard]] QSize Size(int width, int height) const;

    // Widens the horizontal unit, if need be, so that a box widthUnits wide holds pixels: a font whose
    // letters run wider than their average still fits every caption, and the proportions are kept.
    void FitWidth(int widthUnits, int pixels);

private:
    int baseX_;
    int baseY_;
};

} // namespace kestavo::app
