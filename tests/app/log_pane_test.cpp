#include <QTest>
#include <QTextBlock>

#include "app/log_pane.h"
#include "window_fixture.h"

namespace kestavo::test {
namespace {

// Lets the test ask where each line stands in the pane's view.
class InspectedPane : public app::LogPane {
public:
    // How many of the text's lines stand, wholly or in part, inside the viewport.
    [[nodiscard]] int LinesInView() const {
        int count = 0;
        for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
            const QRectF place = blockBoundingGeometry(block).translated(contentOffset());
            if (place.bottom() > 0 && place.top() < viewport()->height()) {
                ++count;
            }
        }
        return count;
    }
    [[nodiscard]] double LineHeight() const { return blockBoundingGeometry(document()->begin()).height(); }
};

class LogPaneTest : public ::testing::Test {
protected:
    LogPaneTest() {
        pane.resize(300, 6 * pane.fontMetrics().lineSpacing() + 2 * pane.frameWidth() + 3);
        pane.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&pane));
    }
    InspectedPane pane;
};

TEST_F(LogPaneTest, TheFirstLineOnAnEmptyPaneIsKeptWithItsLineEnd) {
    pane.AppendLine("Load Configuration");
    EXPECT_EQ(pane.toPlainText(), "Load Configuration\n");
    EXPECT_EQ(pane.textCursor().position(), pane.toPlainText().size()) << "the caret waits on the empty line";
}

TEST_F(LogPaneTest, LinesThatFitAreAllKeptOldestFirst) {
    pane.AppendLine("one");
    pane.AppendLine("");
    pane.AppendLine("three");
    EXPECT_EQ(pane.toPlainText(), "one\n\nthree\n");
    EXPECT_EQ(pane.FirstVisiblePosition(), 0);
}

TEST_F(LogPaneTest, OnceFullThePaneHoldsExactlyTheLinesInView) {
    for (int i = 0; i < 60; ++i) {
        pane.AppendLine(QStringLiteral("line %1").arg(i));
    }
    const std::vector<std::string> kept = Lines(&pane);
    ASSERT_GE(kept.size(), 2U);
    // What is left is the newest lines, in order, and nothing outside the view.
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(kept[i], "line " + std::to_string(60 - kept.size() + i));
    }
    EXPECT_EQ(pane.FirstVisiblePosition(), 0);
    EXPECT_EQ(pane.LinesInView(), pane.document()->blockCount());
    // The pane was really full: one more whole line would not have fitted below the document's margin.
    EXPECT_GT((pane.document()->blockCount() + 1) * pane.LineHeight() + pane.document()->documentMargin(),
              pane.viewport()->height());

    const int blocks = pane.document()->blockCount();
    pane.AppendLine("newest");
    EXPECT_EQ(pane.document()->blockCount(), blocks);
    EXPECT_EQ(Lines(&pane).back(), "newest");
}

TEST_F(WindowTest, StatusLinesWrittenBeforeTheWindowShowsAreKeptAndTrimmedLater) {
    app::CKestavoDlg& dialog = OpenWindow();
    auto* log = Find<QPlainTextEdit>("Log");
    EXPECT_EQ(Lines(log).front(), "Load Configuration");
    for (int i = 0; i < 40; ++i) {
        dialog.AddLogLine("status " + std::to_string(i));
    }
    const std::vector<std::string> kept = Lines(log);
    EXPECT_LT(kept.size(), 40U);
    EXPECT_EQ(kept.back(), "status 39");
    EXPECT_EQ(static_cast<app::LogPane*>(log)->FirstVisiblePosition(), 0);
}

} // namespace
} // namespace kestavo::test
