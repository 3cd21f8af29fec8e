#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <QLineEdit>
#include <QPushButton>

#include "app/resource.h"
#include "kit.h"
#include "window_fixture.h"

namespace kestavo::test {
namespace {

class BadInput : public WindowTest {
protected:
    void PressStart() { qobject_cast<QPushButton*>(window->Control(app::IDC_RELAY_START_STOP))->click(); }
    [[nodiscard]] bool Running() const { return window->ClientTable().Running(); }
};

TEST_F(BadInput, APortThatIsNoNumberOrOutOfRangeStartsNothing) {
    OpenWindow();
    struct Case {
        const char* typed;
        std::string message;
    };
    for (const Case& bad : {Case{"abc", "Please enter an integer."}, Case{"", "Please enter an integer."},
                            Case{"99999999999", "Please enter an integer."},
                            Case{"70000", "Cannot start the relay server on port 70000!"},
                            Case{"-5", "Cannot start the relay server on port -5!"},
                            Case{"0", "Cannot start the relay server on port 0!"}}) {
        messages.clear();
        Find<QLineEdit>("Port")->setText(QString::fromUtf8(bad.typed));
        PressStart();
        EXPECT_EQ(messages, std::vector<std::string>{bad.message}) << bad.typed;
        EXPECT_FALSE(Running()) << bad.typed;
        EXPECT_EQ(Find<QPushButton>("Start")->text(), "Start");
        EXPECT_TRUE(Find<QLineEdit>("Port")->isEnabled());
        EXPECT_FALSE(std::filesystem::exists(IniPath()))
            << "nothing is stored for a relay that did not start";
    }
    // What the operator typed is still there to be corrected, and a good port then starts.
    EXPECT_EQ(Find<QLineEdit>("Port")->text(), "0");
    const int port = FreePort();
    Find<QLineEdit>("Port")->setText(QString::number(port));
    messages.clear();
    PressStart();
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(Running());
}

TEST_F(BadInput, LongAndNonAsciiStoreFileNamesAreKeptAsTyped) {
    OpenWindow();
    const std::string nonAscii = "/tmp/Grüße/données-σήμα.csv";
    Find<QLineEdit>("Port")->setText(QString::number(FreePort()));
    Find<QLineEdit>("Store File name")->setText(QString::fromStdString(nonAscii));
    PressStart();
    ASSERT_TRUE(Running());
    window.reset();
    OpenWindow();
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text().toStdString(), nonAscii);

    // Thousands of characters: stored whole; the next start reads the first 2999 of them.
    const std::string longName = "/data/" + std::string(5000, 'x') + ".csv";
    Find<QLineEdit>("Store File name")->setText(QString::fromStdString(longName));
    PressStart();
    ASSERT_TRUE(Running());
    EXPECT_NE(ReadFile(IniPath()).find("StoreFilename=" + longName + "\n"), std::string::npos);
    window.reset();
    OpenWindow();
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text().toStdString(), longName.substr(0, 2999));
}

TEST_F(BadInput, ABinaryHugeOrMalformedConfigurationFileGivesTheDefaultsAndIsLeftAlone) {
    std::mt19937 random(3);
    std::string binary(64 * 1024, '\0');
    for (char& c : binary) {
        c = static_cast<char>(random());
    }
    const std::string huge = "[Velmora]\nSocketNo=" + std::string(20 * 1024 * 1024, '7') + "\n";
    const std::string malformed = "[Velmora]\nSocketNo=90x1\nStoreFilename\nStoreDataToFile=++1\n[Velmora\n";
    for (const std::string* content : std::vector<const std::string*>{&binary, &huge, &malformed}) {
        WriteFile(IniPath(), *content);
        messages.clear();
        OpenWindow();
        EXPECT_EQ(Find<QLineEdit>("Port")->text(), "9001");
        EXPECT_EQ(window->StoreDataToFile(), 1);
        EXPECT_EQ(messages, std::vector<std::string>{"No device were found!"});
        window.reset();
        EXPECT_EQ(ReadFile(IniPath()), *content) << "the file is only ever rewritten by a relay start";
    }
}

} // namespace
} // namespace kestavo::test
