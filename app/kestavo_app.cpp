#include "app/kestavo_app.h"

#include <QApplication>

#include "app/icon.h"
#include "app/kestavo_dlg.h"
#include "app/resource.h"

namespace kestavo::app {

bool CKestavoApp::InitInstance() {
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
    QApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    QApplication::setOrganizationName(QString::fromLatin1(kRegistryKey));
    QApplication::setDesktopFileName(QStringLiteral("kestavo"));
    QApplication::setWindowIcon(WindowIcon());

    CKestavoDlg dialog;
    dialog.SetAccessDescription(accessDescription_);
    dialog.SetOutputOptions(outputOptions_);
    dialog.SetTlsOptions(tlsOptions_);
    dialog.DoModal();
    return false;
}

} // namespace kestavo::app
