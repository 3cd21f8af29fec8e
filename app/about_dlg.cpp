#include "app/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/dialog_units.h"
#include "app/icon.h"
#include "app/resource.h"
#include "app/widget_text.h"

namespace kestavo::app {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Kestavo"));
    setModal(true);
    const DialogUnits units(font());
    setFixedSize(units.Size(170, 62));

    auto* icon = new QLabel(this);
    const QRect iconRect = units.Rect(10, 10, 21, 20);
    icon->setGeometry(iconRect);
    icon->setPixmap(WindowIcon().pixmap(iconRect.size()));
    icon->setAccessibleName(QStringLiteral("Kestavo icon"));

    auto* version = new QLabel(QStringLiteral("Kestavo, Version 1.0"), this);
    version->setGeometry(units.Rect(40, 14, 120, 10));

    auto* ok = new QPushButton(this);
    SetButtonCaption(ok, QStringLiteral("OK"));
    ok->setGeometry(units.Rect(113, 41, 50, 14));
    ok->setDefault(true);
    ok->setProperty("controlId", IDOK);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace kestavo::app
