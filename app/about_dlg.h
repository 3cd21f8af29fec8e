#pragma once

#include <QDialog>

namespace kestavo::app {

// "About Kestavo": the icon, the program's name and version, and OK.
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace kestavo::app
