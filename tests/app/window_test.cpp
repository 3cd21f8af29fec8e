#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/about_dlg.h"
#include "app/kestavo_app.h"
#include "app/log_pane.h"
#include "app/relay_callbacks.h"
#include "app/resource.h"
#include "networkdriver/network_driver.h"
#include "tests/usbbench/client.h"
#include "window_fixture.h"

namespace kestavo::test {
namespace {

using app::CKestavoDlg;

TEST_F(WindowTest, ControlsShowTheirCaptionsInitialTextsAndIds) {
    CKestavoDlg& dialog = OpenWindow();
    EXPECT_EQ(dialog.windowTitle(), "Kestavo");
    EXPECT_FALSE(dialog.windowIcon().isNull());

    struct Expected {
        int id;
        QString name;
    };
    for (const auto& [id, name] :
         {Expected{app::IDC_OPEN_CLOSE, "Open"}, Expected{app::IDC_BROWSE, "Browse..."},
          Expected{app::IDC_RELAY_START_STOP, "Start"}}) {
        auto* button = Find<QPushButton>(name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), name);
        EXPECT_EQ(dialog.Control(id), button);
    }
    for (const char* caption : {"Devices", "Store File name", "Data rate", "Server IP", "Port"}) {
        EXPECT_EQ(Find<QLabel>(caption)->text(), caption);
    }
    EXPECT_EQ(Find<QGroupBox>("Data Storage")->title(), "Data Storage");
    EXPECT_EQ(Find<QGroupBox>("Network")->title(), "Network");

    auto* dataRate = Find<QLabel>("0.0");
    EXPECT_EQ(dataRate->text(), "0.0");
    EXPECT_EQ(dataRate->accessibleDescription(), "Data rate");
    EXPECT_EQ(dialog.Control(app::IDC_DATA_RATE), dataRate);

    auto* storeData = Find<QCheckBox>("Store data to file");
    EXPECT_EQ(storeData->text(), "Store data to file");
    EXPECT_FALSE(storeData->isChecked());

    EXPECT_EQ(Find<QLineEdit>("Port")->text(), "9001");
    EXPECT_EQ(Find<QLineEdit>("Store File name")->text(), "c:\\data\\data.csv");
    EXPECT_EQ(dialog.Control(app::IDC_DEVICE_LIST), Find<QComboBox>("Devices"));

    EXPECT_TRUE(Find<QPlainTextEdit>("Log")->isVisible());
    EXPECT_TRUE(Find<QPlainTextEdit>("Log")->isReadOnly());
    EXPECT_FALSE(Find<QPlainTextEdit>("Test information")->isVisible());
    EXPECT_FALSE(Find<QPlainTextEdit>("Endpoint statistics")->isVisible());
}

TEST_F(WindowTest, ControlsLieInsideTheWindowAndTheirGroupsWithoutOverlapping) {
    CKestavoDlg& dialog = OpenWindow();
    std::vector<QWidget*> interactive;
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
        if (!widget->property("controlId").isValid()) {
            continue;
        }
        EXPECT_TRUE(dialog.rect().contains(widget->geometry())) << widget->accessibleName().toStdString();
        if (qobject_cast<QLabel*>(widget) == nullptr && qobject_cast<QGroupBox*>(widget) == nullptr) {
            interactive.push_back(widget);
        }
    }
    ASSERT_EQ(interactive.size(), 10U);
    for (std::size_t i = 0; i < interactive.size(); ++i) {
        for (std::size_t j = i + 1; j < interactive.size(); ++j) {
            EXPECT_FALSE(interactive[i]->geometry().intersects(interactive[j]->geometry()))
                << interactive[i]->accessibleName().toStdString() << " and "
                << interactive[j]->accessibleName().toStdString();
        }
    }
    const QRect storage = Find<QGroupBox>("Data Storage")->geometry();
    for (const int id :
         {app::IDC_STORE_FILE, app::IDC_BROWSE, app::IDC_DATA_RATE, app::IDC_STORE_DATA_TO_FILE}) {
        EXPECT_TRUE(storage.contains(dialog.Control(id)->geometry())) << id;
    }
    const QRect network = Find<QGroupBox>("Network")->geometry();
    for (const int id : {app::IDC_OWN_ADDRESS, app::IDC_PORT, app::IDC_RELAY_START_STOP}) {
        EXPECT_TRUE(network.contains(dialog.Control(id)->geometry())) << id;
    }
}

TEST_F(WindowTest, WithoutDevicesARealMessageBoxSaysSoOnceAndTheListStaysEmpty) {
    window = std::make_unique<CKestavoDlg>();
    int boxes = 0;
    ModalWatcher<QMessageBox> watcher([&](QMessageBox* box) {
        ++boxes;
        EXPECT_EQ(box->text(), "No device were found!");
        EXPECT_EQ(box->windowTitle(), "Kestavo");
        box->button(QMessageBox::Ok)->click();
    });
    window->OnInitDialog();
    EXPECT_TRUE(watcher.Seen());
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(qobject_cast<QComboBox*>(window->Control(app::IDC_DEVICE_LIST))->count(), 0);
    EXPECT_EQ(qobject_cast<QComboBox*>(window->Control(app::IDC_DEVICE_LIST))->currentIndex(), -1);
}

TEST_F(WindowTest, TheFirstDeviceListedIsSelected) {
    usbbench::Load("device 1 1 0x1234 0x5678\nproduct One\n"
                   "device 1 2 0x1234 0x5678\nproduct Two\n");
    CKestavoDlg& dialog = OpenWindow();
    auto* list = Find<QComboBox>("Devices");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_TRUE(messages.empty()) << "no complaint about missing devices";
    // Entry i shows the device of slot i, whatever order the library found them in.
    for (int i = 0; i < 2; ++i) {
        const std::string file = dialog.DeviceSlots()[static_cast<std::size_t>(i)]->filename;
        EXPECT_EQ(list->itemText(i).toStdString(),
                  file == "001" ? " One  [1234h:5678h]" : " Two  [1234h:5678h]");
    }
}

TEST_F(WindowTest, TheServerIpLabelShowsTheHostsOwnAddress) {
    OpenWindow();
    char expected[300];
    GetOwnAddrString(expected, sizeof expected);
    auto* label = qobject_cast<QLabel*>(window->Control(app::IDC_OWN_ADDRESS));
    EXPECT_EQ(label->text(), expected);
    EXPECT_EQ(label->accessibleName(), expected) << "a screen reader reads the value";
    EXPECT_EQ(label->accessibleDescription(), "Server IP");
}

// As a screen reader sees the window: through Qt's accessibility interfaces, not widget properties. A
// list that is not editable is announced by its current item, so its name comes from its label.
TEST_F(WindowTest, EachFieldIsLabelledByTheCaptionBesideIt) {
    OpenWindow();
    for (const auto& [id, caption] :
         {std::pair{app::IDC_DEVICE_LIST, "Devices"}, std::pair{app::IDC_STORE_FILE, "Store File name"},
          std::pair{app::IDC_PORT, "Port"}}) {
        QAccessibleInterface* field = QAccessible::queryAccessibleInterface(window->Control(id));
        ASSERT_NE(field, nullptr);
        const auto labels = field->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1) << caption;
        EXPECT_EQ(labels.front().first->text(QAccessible::Name), caption);
        EXPECT_EQ(labels.front().first->role(), QAccessible::StaticText);
    }
    QAccessibleInterface* dataRate =
        QAccessible::queryAccessibleInterface(window->Control(app::IDC_DATA_RATE));
    EXPECT_EQ(dataRate->text(QAccessible::Name), "0.0") << "a value label is read by its value";
    EXPECT_EQ(dataRate->text(QAccessible::Description), "Data rate");
}

TEST_F(WindowTest, TheWindowMenuOffersTheAboutBox) {
    CKestavoDlg& dialog = OpenWindow();
    QMenu* shown = nullptr;
    QStringList entries;
    QTimer::singleShot(0, [&] {
        shown = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (shown != nullptr) {
            for (const QAction* action : shown->actions()) {
                if (!action->isSeparator()) {
                    entries << action->text();
                }
            }
            shown->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dialog.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&dialog, &event);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(entries, (QStringList{"&Clients...", "&Scope...", "&About Kestavo..."}));

    ModalWatcher<app::CAboutDlg> about([](app::CAboutDlg* box) {
        EXPECT_EQ(box->windowTitle(), "About Kestavo");
        EXPECT_NE(FindByName<QLabel>(box, "Kestavo icon")->pixmap().isNull(), true);
        bool versionShown = false;
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            versionShown = versionShown || label->text() == "Kestavo, Version 1.0";
        }
        EXPECT_TRUE(versionShown);
        FindByName<QPushButton>(box, "OK")->click();
    });
    dialog.WindowMenu()->actions().back()->trigger();
    EXPECT_TRUE(about.Seen());
}

TEST_F(WindowTest, OnlyTheAboutCommandOpensTheAboutBox) {
    CKestavoDlg& dialog = OpenWindow();
    ModalWatcher<app::CAboutDlg> about([](app::CAboutDlg* box) { box->accept(); });
    dialog.OnSysCommand(0x0013, 0); // the low four bits carry no meaning
    EXPECT_TRUE(about.Seen());

    dialog.OnSysCommand(0xF020, 0); // minimise: the window manager's business
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(WindowTest, TheApplicationRunsTheWindowAndEndsWhenItCloses) {
    bool boxSeen = false;
    ModalWatcher<QMessageBox> noDevice([&](QMessageBox* box) {
        boxSeen = true;
        box->accept();
    });
    ModalWatcher<CKestavoDlg> main([](CKestavoDlg* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Kestavo");
        dialog->reject();
    });
    app::CKestavoApp application;
    EXPECT_FALSE(application.InitInstance());
    EXPECT_TRUE(boxSeen);
    EXPECT_TRUE(main.Seen());
    EXPECT_EQ(app::g_currentDialog.load(), nullptr);
    EXPECT_EQ(QApplication::applicationVersion(), "1.0.0.1");
}

TEST_F(WindowTest, ANonNumericPortIsRefusedAndTheHeldPortKept) {
    CKestavoDlg& dialog = OpenWindow();
    for (const char* text : {"12ab", "", "99999999999", "4.5"}) {
        messages.clear();
        Find<QLineEdit>("Port")->setText(text);
        EXPECT_FALSE(dialog.UpdateData(true)) << text;
        EXPECT_EQ(messages, std::vector<std::string>{"Please enter an integer."});
        EXPECT_EQ(dialog.Port(), 9001);
    }
    Find<QLineEdit>("Port")->setText(" -42 ");
    EXPECT_TRUE(dialog.UpdateData(true));
    EXPECT_EQ(dialog.Port(), -42);
}

TEST_F(WindowTest, DataExchangeNeverTouchesTheLog) {
    CKestavoDlg& dialog = OpenWindow();
    dialog.AddLogLine("kept");
    const QString before = Find<QPlainTextEdit>("Log")->toPlainText();
    dialog.UpdateData(false);
    dialog.UpdateData(true);
    EXPECT_EQ(Find<QPlainTextEdit>("Log")->toPlainText(), before);
}

} // namespace
} // namespace kestavo::test
