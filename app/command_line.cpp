#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace kestavo::app {

std::optional<WindowOptions> ReadCommandLine(const QStringList& arguments, QString& output, int& exitCode) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Kestavo: relays a USB radio dongle's samples to TCP clients."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Listen only on this address (repeatable; default: every one)."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption allow(QStringLiteral("allow"),
                                   QStringLiteral("Take clients only from this network (repeatable)."),
                                   QStringLiteral("NETWORK/BITS"));
    const QCommandLineOption maxClients(QStringLiteral("max-clients"),
                                        QStringLiteral("At most this many clients at once (0: no limit)."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption maxPerAddress(
        QStringLiteral("max-per-address"),
        QStringLiteral("At most this many clients from one address at once (0: no limit)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption nats(QStringLiteral("nats"),
                                  QStringLiteral("Publish every sample frame into NATS through these servers "
                                                 "(comma separated), on SUBJECT.samples."),
                                  QStringLiteral("URL[,URL...]"));
    const QCommandLineOption natsSubject(
        QStringLiteral("nats-subject"),
        QStringLiteral(
            "The NATS subjects' base (default: kestavo. and the dongle's serial, else VVVV_PPPP)."),
        QStringLiteral("SUBJECT"));
    const QCommandLineOption zmq(
        QStringLiteral("zmq"),
        QStringLiteral("Publish the raw samples on a ZeroMQ PUB socket bound to ENDPOINT."),
        QStringLiteral("ENDPOINT"));
    parser.addOptions({listen, allow, maxClients, maxPerAddress, nats, natsSubject, zmq});

    const auto fail = [&](const QString& message) -> std::optional<WindowOptions> {
        output =
            QStringLiteral("kestavo: ") + message + QStringLiteral("\nRun with --help for the options.\n");
        exitCode = 2;
        return std::nullopt;
    };
    if (!parser.parse(arguments)) {
        return fail(parser.errorText());
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        output = parser.isSet(help) ? parser.helpText()
                                    : QCoreApplication::applicationName() + QLatin1Char(' ') +
                                          QCoreApplication::applicationVersion() + QLatin1Char('\n');
        exitCode = 0;
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return fail(QStringLiteral("unexpected argument '") + parser.positionalArguments().first() +
                    QLatin1Char('\''));
    }
    WindowOptions all;
    core::AccessOptions& options = all.access;
    for (const QString& value : parser.values(listen)) {
        if (const std::string error = core::CheckListenAddress(value.toStdString()); !error.empty()) {
            return fail(QStringLiteral("--listen: ") + QString::fromStdString(error));
        }
        options.listen.push_back(value.toStdString());
    }
    for (const QString& value : parser.values(allow)) {
        if (const std::string error = core::CheckNetwork(value.toStdString()); !error.empty()) {
            return fail(QStringLiteral("--allow: ") + QString::fromStdString(error));
        }
        options.allow.push_back(value.toStdString());
    }
    for (const auto& [option, target] :
         {std::pair{&maxClients, &options.maxClients}, std::pair{&maxPerAddress, &options.maxPerAddress}}) {
        bool number = false;
        const QString name = QStringLiteral("--") + option->names().first();
        *target = parser.value(*option).toInt(&number);
        if (!number) {
            return fail(name + QStringLiteral(": '") + parser.value(*option) +
                        QStringLiteral("' is not a whole number"));
        }
        if (const std::string error = core::CheckLimit(name.toStdString(), *target); !error.empty()) {
            return fail(QString::fromStdString(error));
        }
    }
    for (const auto& [option, check] :
         {std::pair{&nats, &publish::CheckNatsServers}, std::pair{&natsSubject, &publish::CheckNatsSubject},
          std::pair{&zmq, &publish::CheckZmqEndpoint}}) {
        if (parser.isSet(*option)) {
            if (const std::string error = check(parser.value(*option).toStdString()); !error.empty()) {
                return fail(QStringLiteral("--") + option->names().first() + QStringLiteral(": ") +
                            QString::fromStdString(error));
            }
        }
    }
    if (parser.isSet(nats)) {
        all.outputs.nats = publish::SplitNatsServers(parser.value(nats).toStdString());
    }
    all.outputs.natsSubject = parser.value(natsSubject).toStdString();
    all.outputs.zmq = parser.value(zmq).toStdString();
    return all;
}

} // namespace kestavo::app
