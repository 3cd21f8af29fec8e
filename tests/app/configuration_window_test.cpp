#include <filesystem>

#include <QLineEdit>
#include <QTest>

#include "window_fixture.h"

namespace kestavo::test {
namespace {

TEST_F(WindowTest, StartingWithoutAConfigurationFileLogsItAndShowsTheDefaults) {
    app::CKestavoDlg& dialog = OpenWindow();
    EXPECT_EQ(dialog.IniPath(), IniPath());
    EXPECT_EQ(Lines(Find<QPlainTextEdit>("Log")),
              (std::vector<std::string>{"Load Configuration", "Fail to open ini file:", IniPath()}));
    EXPECT_EQ(Find<QLineEdit>("Port")->text(), "9001");
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), "c:\\data\\data.csv");
    EXPECT_EQ(dialog.StoreDataToFile(), 1);
    EXPECT_EQ(messages, std::vector<std::string>{"No device were found!"});
    EXPECT_FALSE(std::filesystem::exists(IniPath())) << "starting never writes the file";
}

TEST_F(WindowTest, AFileWithOnlyThePortTakesItAndDefaultsTheRest) {
    WriteFile(IniPath(), "[Velmora]\r\nSocketNo=5000\r\n");
    app::CKestavoDlg& dialog = OpenWindow();
    EXPECT_EQ(Lines(Find<QPlainTextEdit>("Log")), std::vector<std::string>{"Load Configuration"});
    EXPECT_EQ(Find<QLineEdit>("Port")->text(), "5000");
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), "c:\\data\\data.csv");
    EXPECT_EQ(dialog.StoreDataToFile(), 1);
}

TEST_F(WindowTest, StoreFileNamesFromTheFileAreShownEmptyOrCut) {
    WriteFile(IniPath(), "[Velmora]\nStoreFilename=\nStoreDataToFile=0\n");
    OpenWindow();
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), "");
    EXPECT_EQ(window->StoreDataToFile(), 0);

    window.reset();
    WriteFile(IniPath(), "[Velmora]\nStoreFilename=" + std::string(3000, 'n') + "\n");
    OpenWindow();
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), QString(2999, QLatin1Char('n')));
}

TEST_F(WindowTest, StoringSavesWhatTheOperatorTypedAndTheNextStartReadsItBack) {
    app::CKestavoDlg& dialog = OpenWindow();
    Find<QLineEdit>("Port")->clear();
    QTest::keyClicks(Find<QLineEdit>("Port"), "7000");
    Find<QLineEdit>("Store File name")->setText("/srv/run 2.csv");
    EXPECT_TRUE(dialog.StoreConfiguration());
    EXPECT_EQ(Lines(Find<QPlainTextEdit>("Log")).back(), "Store Configuration");
    const std::string file = ReadFile(IniPath());
    EXPECT_NE(file.find("[Velmora]\nSocketNo=7000\nStoreFilename=/srv/run 2.csv\nStoreDataToFile=1\n"),
              std::string::npos)
        << file;

    window.reset();
    OpenWindow();
    EXPECT_EQ(Find<QLineEdit>("Port")->text(), "7000");
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), "/srv/run 2.csv");
}

TEST_F(WindowTest, StoringWhereTheFileCannotBeWrittenLogsThePath) {
    std::filesystem::create_directory(IniPath());
    app::CKestavoDlg& dialog = OpenWindow();
    EXPECT_FALSE(dialog.StoreConfiguration());
    const std::vector<std::string> lines = Lines(Find<QPlainTextEdit>("Log"));
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Store Configuration", "Fail to open ini_file", IniPath()}));
    EXPECT_TRUE(std::filesystem::is_directory(IniPath()));
}

} // namespace
} // namespace kestavo::test
