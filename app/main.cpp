#include <QApplication>

#include "app/kestavo_app.h"
#include "networkdriver/descriptor_limit.h"

namespace {
kestavo::app::CKestavoApp theApp;
}

int main(int argc, char* argv[]) {
    // Every relay client takes a descriptor; the usual soft limit of 1024 would refuse the thousandth.
    networkdriver::RaiseDescriptorLimit();
    QApplication qtApplication(argc, argv);
    theApp.InitInstance();
    return 0;
}
