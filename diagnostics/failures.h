#pragma once

#include <cstdint>

namespace kestavo::diagnostics {

// Says on stderr that what failed, with the system's text for error (an errno value; 0 for none), and
// counts it. A failure that repeats is printed at most once a minute, with how many came meanwhile, so
// that a fault hit on every frame or every connection cannot flood the journal. Any thread.
void ReportFailure(const char* what, int error);

// Every failure reported since the process started, printed or not. A normal run has none.
std::uint64_t FailureCount();

} // namespace kestavo::diagnostics
