#include <cstdio>
#include <optional>

#include <QApplication>

#include "app/command_line.h"
#include "app/kestavo_app.h"
#include "app/relay_callbacks.h"
#include "app/resource.h"
#include "networkdriver/access.h"
#include "networkdriver/descriptor_limit.h"
#include "networkdriver/tls.h"

namespace {
kestavo::app::CKestavoApp theApp;
}

int main(int argc, char* argv[]) {
    // Every relay client takes a descriptor; the usual soft limit of 1024 would refuse the thousandth.
    networkdriver::RaiseDescriptorLimit();
    QCoreApplication::setApplicationName(QString::fromLatin1(kestavo::app::kApplicationTitle));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kestavo::app::kApplicationVersion));
    // The command line is read before the window system is reached, so that --help and --version work
    // without a display.
    QStringList arguments;
    for (int at = 0; at < argc; ++at) {
        arguments.push_back(QString::fromLocal8Bit(argv[at]));
    }
    QString output;
    int exitCode = 0;
    const std::optional<kestavo::app::WindowOptions> options =
        kestavo::app::ReadCommandLine(arguments, output, exitCode);
    if (!options) {
        std::fputs(output.toLocal8Bit().constData(), exitCode == 0 ? stdout : stderr);
        return exitCode;
    }
    if (std::string error;
        options->tls.Any() && !networkdriver::TlsCredentials::Load(options->tls.Files(), error)) {
        std::fprintf(stderr, "kestavo: %s\n", error.c_str());
        return 2;
    }
    QApplication qtApplication(argc, argv);
    std::string error;
    networkdriver::AccessRules rules = *kestavo::core::MakeAccessRules(options->access, error);
    rules.refused = kestavo::app::ReportRefusalToCurrentDialog;
    theApp.SetAccessDescription(rules.Any() ? networkdriver::Describe(rules) : std::string());
    theApp.SetOutputOptions(options->outputs);
    theApp.SetTlsOptions(options->tls);
    networkdriver::SetAccessRules(std::move(rules));
    theApp.InitInstance();
    return 0;
}
