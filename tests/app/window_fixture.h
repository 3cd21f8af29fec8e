#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include "app/kestavo_dlg.h"
#include "gui.h"
#include "temp_dir.h"

namespace kestavo::test {

// The lines of a pane, without the empty line after the last line end.
std::vector<std::string> Lines(const QPlainTextEdit* pane);

// Each test gets its own working directory (where the window keeps its configuration file) and an
// empty emulated USB tree, so the window never sees the machine's own devices or files.
class WindowTest : public ::testing::Test {
protected:
    WindowTest();
    ~WindowTest() override;

    // A main window built, initialised and shown as the program does, with every message captured.
    app::CKestavoDlg& OpenWindow();

    // The window's control of type T found by its accessible name; fails the test when missing.
    template <typename T> T* Find(const QString& name) {
        T* widget = FindByName<T>(window.get(), name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }

    [[nodiscard]] std::string IniPath() const { return (work / "Kestavo_Config.ini").string(); }

    TempDir dir;
    std::filesystem::path work;
    std::optional<ScopedEnv> usbTree;
    std::optional<ScopedWorkingDirectory> cwd;
    std::vector<std::string> messages;
    std::unique_ptr<app::CKestavoDlg> window;
};

} // namespace kestavo::test
