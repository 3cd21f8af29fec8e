#pragma once

#include <QPlainTextEdit>

namespace kestavo::app {

// The status log: a read-only pane that keeps only the lines in view. Each appended line scrolls the
// end into view, and every line above the topmost visible one is then deleted from the text itself.
class LogPane : public QPlainTextEdit {
public:
    explicit LogPane(QWidget* parent = nullptr);

    void AppendLine(const QString& line);

    // The character position of the topmost line in view.
    [[nodiscard]] int FirstVisiblePosition() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ScrollToEnd();
};

} // namespace kestavo::app
