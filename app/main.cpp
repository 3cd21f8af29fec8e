#include <QApplication>

#include "app/kestavo_app.h"

namespace {
kestavo::app::CKestavoApp theApp;
}

int main(int argc, char* argv[]) {
    QApplication qtApplication(argc, argv);
    theApp.InitInstance();
    return 0;
}
