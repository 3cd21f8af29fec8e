#include "window_fixture.h"

#include <filesystem>

#include <QStringList>
#include <QTest>

namespace kestavo::test {

WindowTest::WindowTest() : work(dir / "work") {
    std::filesystem::create_directories(work);
    std::filesystem::create_directories(dir / "usb");
    usbTree.emplace("USB_DEVFS_PATH", (dir / "usb").string());
    cwd.emplace(work);
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
