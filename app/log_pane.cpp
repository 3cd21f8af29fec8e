#include "app/log_pane.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace kestavo::app {

LogPane::LogPane(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    // Without wrapping, one line of text is one line on screen, so the pane holds exactly the lines in
    // view; without a scroll bar nothing suggests there is more to see.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void LogPane::AppendLine(const QString& line) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line);
    cursor.insertBlock();
    setTextCursor(cursor);
    ScrollToEnd();

    // Before the pane is shown and laid out its first visible line means nothing; trimming then would
    // delete everything. The first append after showing trims whatever came before.
    if (!isVisible()) {
        return;
    }
    const int position = FirstVisiblePosition();
    if (position > 0) {
        QTextCursor trim(document());
        trim.setPosition(0);
        trim.setPosition(position, QTextCursor::KeepAnchor);
        trim.removeSelectedText();
        ScrollToEnd();
    }
}

int LogPane::FirstVisiblePosition() const {
    return firstVisibleBlock().position();
}

void LogPane::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    ScrollToEnd();
}

void LogPane::ScrollToEnd() {
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace kestavo::app
