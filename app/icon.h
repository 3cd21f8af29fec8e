#pragma once

#include <QIcon>

namespace kestavo::app {

// The window icon, resource 128.
QIcon WindowIcon();

} // namespace kestavo::app
