#pragma once

#include <string>

#include <QString>

class QLabel;
class QPlainTextEdit;
class QAbstractButton;

namespace kestavo::app {

// The program's texts are 8-bit strings in the locale's encoding; widgets hold QString.
QString ToQString(const std::string& text);
std::string FromQString(const QString& text);

// Value labels are read by their value: their accessible name follows their text.
void SetValueLabelText(QLabel* label, const QString& text);
// The program's multi-line texts end their lines in "\r\n"; a pane shows them as plain lines.
void SetPaneText(QPlainTextEdit* pane, const std::string& text);
// A button is found by its caption, so its accessible name follows the caption.
void SetButtonCaption(QAbstractButton* button, const QString& caption);

} // namespace kestavo::app
