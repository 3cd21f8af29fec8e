#include "app/dialog_template.h"

#include <algorithm>
#include <array>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>

#include "app/dialog_units.h"
#include "app/log_pane.h"
#include "app/resource.h"
#include "app/widget_text.h"

namespace kestavo::app {
namespace {

enum class Kind { Label, ComboBox, PushButton, GroupBox, LineEdit, CheckBox, Pane };

// The window's template: every control with its id, kind, initial text and place in dialog units. The
// accessible name is how a user's tools and the tests find the control: edits and the list by the
// caption beside them, value labels by their value (with the caption as description), the rest by
// their own caption. A caption names the control it labels (its buddy), by id.
struct ControlTemplate {
    int id;
    Kind kind;
    const char* text;
    int x, y, width, height;
    const char* accessibleName;
    const char* accessibleDescription = "";
    int labels = 0;
};

constexpr std::array kControls{
    ControlTemplate{IDC_STATIC, Kind::Label, "Devices", 7, 7, 26, 8, "Devices", "", IDC_DEVICE_LIST},
    ControlTemplate{IDC_DEVICE_LIST, Kind::ComboBox, "", 43, 7, 212, 165, "Devices"},
    ControlTemplate{IDC_OPEN_CLOSE, Kind::PushButton, "Open", 270, 7, 43, 12, "Open"},
    ControlTemplate{IDC_STATIC, Kind::GroupBox, "Data Storage", 7, 25, 306, 57, "Data Storage"},
    ControlTemplate{IDC_STORE_FILE_CAPTION, Kind::Label, "Store File name", 12, 37, 51, 10, "Store File name",
                    "", IDC_STORE_FILE},
    ControlTemplate{IDC_STORE_FILE, Kind::LineEdit, "", 68, 36, 80, 12, "Store File name"},
    ControlTemplate{IDC_BROWSE, Kind::PushButton, "Browse...", 152, 35, 45, 13, "Browse..."},
    ControlTemplate{IDC_DATA_RATE_CAPTION, Kind::Label, "Data rate", 14, 51, 53, 11, "Data rate"},
    ControlTemplate{IDC_DATA_RATE, Kind::Label, "0.0", 68, 52, 41, 9, "0.0", "Data rate"},
    ControlTemplate{IDC_STORE_DATA_TO_FILE, Kind::CheckBox, "Store data to file", 15, 67, 87, 10,
                    "Store data to file"},
    ControlTemplate{IDC_STATIC, Kind::GroupBox, "Network", 7, 86, 306, 41, "Network"},
    ControlTemplate{IDC_STATIC, Kind::Label, "Server IP", 13, 99, 38, 10, "Server IP"},
    ControlTemplate{IDC_OWN_ADDRESS, Kind::Label, "127.0.0.1", 59, 99, 44, 10, "127.0.0.1", "Server IP"},
    ControlTemplate{IDC_STATIC, Kind::Label, "Port", 13, 107, 36, 10, "Port", "", IDC_PORT},
    ControlTemplate{IDC_PORT, Kind::LineEdit, "", 61, 107, 31, 12, "Port"},
    ControlTemplate{IDC_RELAY_START_STOP, Kind::PushButton, "Start", 127, 108, 48, 12, "Start"},
    ControlTemplate{IDC_LOG, Kind::Pane, "", 7, 130, 306, 52, "Log"},
    ControlTemplate{IDC_TEST_INFORMATION, Kind::Pane, "", 7, 185, 152, 93, "Test information"},
    ControlTemplate{IDC_ENDPOINT_STATISTICS, Kind::Pane, "", 161, 185, 152, 93, "Endpoint statistics"},
};

constexpr int kDialogWidth = 320;
constexpr int kDialogHeight = 285;

QWidget* MakeControl(const ControlTemplate& entry, QWidget* parent) {
    const QString text = QString::fromUtf8(entry.text);
    QWidget* widget = nullptr;
    switch (entry.kind) {
    case Kind::Label: {
        auto* label = new QLabel(text, parent);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        widget = label;
        break;
    }
    case Kind::ComboBox:
        widget = new QComboBox(parent);
        break;
    case Kind::PushButton: {
        auto* button = new QPushButton(parent);
        button->setAutoDefault(false);
        SetButtonCaption(button, text);
        widget = button;
        break;
    }
    case Kind::GroupBox:
        widget = new QGroupBox(text, parent);
        break;
    case Kind::LineEdit:
        widget = new QLineEdit(text, parent);
        break;
    case Kind::CheckBox:
        widget = new QCheckBox(text, parent);
        break;
    case Kind::Pane: {
        QPlainTextEdit* pane = entry.id == IDC_LOG ? new LogPane(parent) : new QPlainTextEdit(parent);
        pane->setReadOnly(true);
        pane->setLineWrapMode(QPlainTextEdit::NoWrap);
        widget = pane;
        break;
    }
    }
    widget->setAccessibleName(QString::fromUtf8(entry.accessibleName));
    widget->setAccessibleDescription(QString::fromUtf8(entry.accessibleDescription));
    widget->setProperty("controlId", entry.id);
    return widget;
}

// The width in pixels that a control's caption needs, or 0 when it has none to fit.
int CaptionWidth(const ControlTemplate& entry, const QWidget* widget) {
    const QString caption = QString::fromUtf8(entry.text).remove(QLatin1Char('&'));
    if (caption.isEmpty()) {
        return 0;
    }
    const int text = widget->fontMetrics().horizontalAdvance(caption);
    const QStyle* style = widget->style();
    switch (entry.kind) {
    case Kind::Label:
        return text;
    case Kind::PushButton:
        return text + 2 * widget->fontMetrics().averageCharWidth() +
               2 * style->pixelMetric(QStyle::PM_ButtonMargin);
    case Kind::CheckBox:
        return text + style->pixelMetric(QStyle::PM_IndicatorWidth) +
               style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
    default:
        return 0;
    }
}

void PlaceControl(const ControlTemplate& entry, const DialogUnits& units, QWidget* widget) {
    QRect place = units.Rect(entry.x, entry.y, entry.width, entry.height);
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        // The template's height is that of the open list; the closed box is one line tall.
        const int boxHeight = combo->sizeHint().height();
        const int itemHeight = std::max(1, combo->fontMetrics().height());
        combo->setMaxVisibleItems(std::max(1, (place.height() - boxHeight) / itemHeight));
        place.setHeight(boxHeight);
    }
    widget->setGeometry(place);
    if (entry.kind == Kind::GroupBox) {
        widget->lower(); // a frame behind the controls it groups
    }
}

} // namespace

std::map<int, QWidget*> BuildControls(QDialog* dialog) {
    std::map<int, QWidget*> controls;
    std::vector<QWidget*> widgets;
    DialogUnits units(dialog->font());
    for (const ControlTemplate& entry : kControls) {
        QWidget* widget = MakeControl(entry, dialog);
        units.FitWidth(entry.width, CaptionWidth(entry, widget));
        widgets.push_back(widget);
        if (entry.id != IDC_STATIC) {
            controls[entry.id] = widget;
        }
    }
    for (std::size_t i = 0; i < widgets.size(); ++i) {
        PlaceControl(kControls[i], units, widgets[i]);
        if (kControls[i].labels != 0) {
            static_cast<QLabel*>(widgets[i])->setBuddy(controls.at(kControls[i].labels));
        }
    }
    dialog->setFixedSize(units.Size(kDialogWidth, kDialogHeight));
    return controls;
}

} // namespace kestavo::app
