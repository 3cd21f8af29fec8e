#pragma once

#include <optional>

#include <QString>
#include <QStringList>

#include "service/access_options.h"

namespace kestavo::app {

// Reads the window's command line with Qt's parser: the access options kestavo-relayd takes too
// (--listen, --allow, --max-clients, --max-per-address), --help and --version, checked by the rules
// both programs share. Gives the options, or nothing with the text to print and the exit status (0 for
// help and version, 2 for an error naming the option).
std::optional<service::AccessOptions> ReadCommandLine(const QStringList& arguments, QString& output,
                                                      int& exitCode);

} // namespace kestavo::app
