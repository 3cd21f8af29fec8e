// kestavo-scope HOST PORT: the live plot of any Kestavo relay's samples, on any machine that reaches it.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QApplication>
#include <QCommandLineParser>

#include "kestavo_version.h"
#include "scope/relay_feed.h"
#include "scope/scope_window.h"

namespace {

// Reads the command line (help and version end the program here); gives HOST and PORT.
QStringList ReadCommandLine(const QCoreApplication& application) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plots the samples of a Kestavo relay, connecting again by itself whenever it goes away."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("HOST"),
                                 QStringLiteral("the relay's host: a name, an IPv4 or IPv6 address"));
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("the relay's port"));
    parser.process(application);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        std::exit(2);
    }
    return arguments;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("kestavo-scope"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kestavo::kVersion));
    // Read before the window system is reached, so that --help and --version work without a display.
    QStringList arguments;
    {
        const QCoreApplication commandLine(argc, argv);
        arguments = ReadCommandLine(commandLine);
    }
    QApplication app(argc, argv);
    const std::string host = arguments[0].toStdString();
    const std::string port = arguments[1].toStdString();

    auto ring = std::make_shared<kestavo::frames::SampleRing>(1 << 18);
    kestavo::scope::RelayFeed feed(host, port, ring);
    kestavo::scope::ScopeWindow window(ring);
    window.setWindowTitle(QStringLiteral("Kestavo Scope: %1 port %2").arg(arguments[0], arguments[1]));
    window.SetStatusSource(
        [&] { return QString::fromStdString(kestavo::scope::DescribeFeed(feed.Status(), host, port)); });
    feed.Start();
    window.show();
    const int status = QApplication::exec();
    feed.Stop();
    return status;
}
