#include "app/widget_text.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPlainTextEdit>

namespace kestavo::app {

QString ToQString(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQString(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

void SetValueLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text);
    // A value may run longer than the place the template gave it (an address of fifteen characters);
    // it grows to the right into the free space rather than being cut.
    const int needed = label->fontMetrics().horizontalAdvance(text);
    if (needed > label->width()) {
        label->resize(needed, label->height());
    }
}

void SetPaneText(QPlainTextEdit* pane, const std::string& text) {
    pane->setPlainText(ToQString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void SetButtonCaption(QAbstractButton* button, const QString& caption) {
    button->setText(caption);
    button->setAccessibleName(QString(caption).remove(QLatin1Char('&')));
}

} // namespace kestavo::app
