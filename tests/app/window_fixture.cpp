#include "window_fixture.h"

#include <filesystem>

#include <QStringList>
#include <QTest>

#include "diagnostics/failures.h"
#include "tests/usbbench/client.h"

namespace kestavo::test {

WindowTest::WindowTest() : work(dir / "work") {
    std::filesystem::create_directories(work);
    usbTree.emplace("USB_DEVFS_PATH", (dir / "usb").string());
    // An emulated tree with one empty bus: the library then looks nowhere else, so the machine's own
    // devices never show up in a test.
    usbbench::Load("bus 1\n");
    cwd.emplace(work);
}

WindowTest::~WindowTest() {
    window.reset();
    EXPECT_EQ(diagnostics::FailureCount(), 0U) << "a normal run reports no failure";
}

app::CKestavoDlg& WindowTest::OpenWindow() {
    window =
        std::make_unique<app::CKestavoDlg>([this](const std::string& text) { messages.push_back(text); });
    window->OnInitDialog();
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return *window;
}

std::vector<std::string> Lines(const QPlainTextEdit* pane) {
    QStringList lines = pane->toPlainText().split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.back().isEmpty()) {
        lines.removeLast();
    }
    std::vector<std::string> result;
    for (const QString& line : lines) {
        result.push_back(line.toStdString());
    }
    return result;
}

} // namespace kestavo::test
