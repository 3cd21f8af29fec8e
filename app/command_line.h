#pragma once

#include <optional>

#include <QString>
#include <QStringList>

#include "core/access_options.h"
#include "core/tls_options.h"
#include "publish/outputs.h"

namespace kestavo::app {

struct WindowOptions {
    core::AccessOptions access;
    publish::OutputOptions outputs;
    core::TlsOptions tls;
};

// Reads the window's command line with the options both programs share (options/), --help and
// --version; Qt's own options are left for Qt. Gives the options, or nothing with the text to print and
// the exit status (0 for help and version, 2 for an error naming the option).
std::optional<WindowOptions> ReadCommandLine(const QStringList& arguments, QString& output, int& exitCode);

} // namespace kestavo::app
