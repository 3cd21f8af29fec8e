#include <filesystem>

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "window_fixture.h"

namespace kestavo::test {
namespace {

// Presses the file dialog's own Save button, as the operator would.
void PressSave(QFileDialog* dialog) {
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QPushButton* save = buttons->button(QDialogButtonBox::Save);
    ASSERT_NE(save, nullptr);
    ASSERT_TRUE(save->isEnabled());
    save->click();
}

class BrowseTest : public WindowTest {
protected:
    BrowseTest() { std::filesystem::create_directories(logs); }

    void Browse() { Find<QPushButton>("Browse...")->click(); }

    std::filesystem::path logs = work / "logs";
};

TEST_F(BrowseTest, OkShowsTheChosenFullPathAndCreatesNothing) {
    OpenWindow();
    const std::string chosen = (logs / "results.csv").string();
    ModalWatcher<QFileDialog> files([&](QFileDialog* dialog) {
        EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog->nameFilters(), (QStringList{"CSV file (*.csv)", "All files (*.*)"}));
        EXPECT_EQ(dialog->selectedNameFilter(), "CSV file (*.csv)");
        dialog->selectFile(QString::fromStdString(chosen));
        PressSave(dialog);
    });
    Browse();
    EXPECT_TRUE(files.Seen());
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text().toStdString(), chosen);
    EXPECT_EQ(window->StoreFilename(), chosen);
    EXPECT_FALSE(std::filesystem::exists(chosen));
    EXPECT_FALSE(std::filesystem::exists(IniPath())) << "a choice is kept only by the next relay start";
}

TEST_F(BrowseTest, ANameWithoutExtensionGetsCsv) {
    OpenWindow();
    ModalWatcher<QFileDialog> files([&](QFileDialog* dialog) {
        dialog->selectFile(QString::fromStdString((logs / "results").string()));
        PressSave(dialog);
    });
    Browse();
    EXPECT_EQ(window->StoreFilename(), (logs / "results.csv").string());
}

TEST_F(BrowseTest, TheDialogStartsFromTheTypedName) {
    OpenWindow();
    const QString typed = QString::fromStdString((logs / "typed.csv").string());
    Find<QLineEdit>("Store File name")->setText(typed);
    QStringList initial;
    ModalWatcher<QFileDialog> files([&](QFileDialog* dialog) {
        initial = dialog->selectedFiles();
        dialog->reject();
    });
    Browse();
    EXPECT_EQ(initial, QStringList{typed});
}

TEST_F(BrowseTest, CancelKeepsTheTypedName) {
    OpenWindow();
    Find<QLineEdit>("Store File name")->setText("typed.csv");
    ModalWatcher<QFileDialog> files([](QFileDialog* dialog) { dialog->reject(); });
    Browse();
    EXPECT_TRUE(files.Seen());
    EXPECT_EQ(window->StoreFilename(), "typed.csv");
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), "typed.csv");
}

TEST_F(BrowseTest, AnExistingFileIsConfirmedAndLeftUntouched) {
    OpenWindow();
    const std::filesystem::path existing = logs / "old.csv";
    WriteFile(existing, "1,2,3\n");
    bool confirmed = false;
    std::unique_ptr<ModalWatcher<QMessageBox>> confirm;
    ModalWatcher<QFileDialog> files([&](QFileDialog* dialog) {
        confirm = std::make_unique<ModalWatcher<QMessageBox>>([&](QMessageBox* box) {
            confirmed = true;
            box->button(QMessageBox::Yes)->click();
        });
        dialog->selectFile(QString::fromStdString(existing.string()));
        PressSave(dialog);
    });
    Browse();
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(window->StoreFilename(), existing.string());
    EXPECT_EQ(ReadFile(existing), "1,2,3\n");
}

} // namespace
} // namespace kestavo::test
