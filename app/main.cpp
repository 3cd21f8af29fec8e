#include <cstdio>

#include <QApplication>

#include "app/command_line.h"
#include "app/kestavo_app.h"
#include "app/relay_callbacks.h"
#include "app/resource.h"
#include "networkdriver/access.h"
#include "networkdriver/descriptor_limit.h"

namespace {
kestavo::app::CKestavoApp theApp;
}

int main(int argc, char* argv[]) {
    // Every relay client takes a descriptor; the usual soft limit of 1024 would refuse the thousandth.
    networkdriver::RaiseDescriptorLimit();
    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kestavo::app::kApplicationTitle));
    QApplication::setApplicationVersion(QString::fromLatin1(kestavo::app::kApplicationVersion));

    QString output;
    int exitCode = 0;
    const auto options = kestavo::app::ReadCommandLine(QApplication::arguments(), output, exitCode);
    if (!options) {
        std::fputs(output.toLocal8Bit().constData(), exitCode == 0 ? stdout : stderr);
        return exitCode;
    }
    std::string error;
    networkdriver::AccessRules rules = *kestavo::service::MakeAccessRules(options->access, error);
    rules.refused = kestavo::app::ReportRefusalToCurrentDialog;
    theApp.SetAccessDescription(rules.Any() ? networkdriver::Describe(rules) : std::string());
    theApp.SetOutputOptions(options->outputs);
    networkdriver::SetAccessRules(std::move(rules));
    theApp.InitInstance();
    return 0;
}
