// kestavo-scope HOST PORT: the live plot of any Kestavo relay's samples, on any machine that reaches it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include <QApplication>
#include <QCommandLineParser>

#include "kestavo_version.h"
#include "scope/relay_feed.h"
#include "scope/scope_window.h"

namespace {

struct ScopeOptions {
    QStringList arguments; // HOST and PORT
    std::optional<kestavo::client::TlsClientSettings> tls;
};

// Reads the command line (help and version end the program here); gives HOST and PORT.
ScopeOptions ReadCommandLine(const QCoreApplication& application) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plots the samples of a Kestavo relay, connecting again by itself whenever it goes away."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("HOST"),
                                 QStringLiteral("the relay's host: a name, an IPv4 or IPv6 address"));
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("the relay's port"));
    const QCommandLineOption tls(QStringLiteral("tls"),
                                 QStringLiteral("Speak TLS to the relay's TLS port, checking its certificate "
                                                "and that it names HOST"));
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("The CA the relay's certificate must be signed by (PEM; "
                                               "else one the system trusts)"),
                                QStringLiteral("FILE"));
    const QCommandLineOption cert(QStringLiteral("cert"),
                                  QStringLiteral("Present this certificate to the relay (PEM)"),
                                  QStringLiteral("FILE"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("The certificate's key (PEM)"),
                                 QStringLiteral("FILE"));
    parser.addOptions({tls, ca, cert, key});
    parser.process(application);
    ScopeOptions options;
    options.arguments = parser.positionalArguments();
    const bool usesTls = parser.isSet(tls);
    if (options.arguments.size() != 2 || (!usesTls && (parser.isSet(ca) || parser.isSet(cert))) ||
        parser.isSet(cert) != parser.isSet(key)) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        std::exit(2);
    }
    if (usesTls) {
        options.tls = kestavo::client::TlsClientSettings{parser.value(ca).toStdString(),
                                                         parser.value(cert).toStdString(),
                                                         parser.value(key).toStdString()};
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("kestavo-scope"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kestavo::kVersion));
    // Read before the window system is reached, so that --help and --version work without a display.
    ScopeOptions options;
    {
        const QCoreApplication commandLine(argc, argv);
        options = ReadCommandLine(commandLine);
    }
    const QStringList& arguments = options.arguments;
    QApplication app(argc, argv);
    const std::string host = arguments[0].toStdString();
    const std::string port = arguments[1].toStdString();

    auto ring = std::make_shared<kestavo::frames::SampleRing>(1 << 18);
    kestavo::scope::RelayFeed feed(host, port, ring, options.tls);
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
