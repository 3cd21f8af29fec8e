#pragma once

namespace networkdriver {

// Raises this process's soft limit of open descriptors to its hard limit, as servers do at start, so
// that a thousand clients fit without the operator changing anything. Gives the soft limit now in force,
// or -1 when it cannot be read.
long RaiseDescriptorLimit();

} // namespace networkdriver
