#pragma once

#include <ctime>
#include <string>

// What this process uses, for the tests' bounds and the benchmarks' figures.
namespace kestavo::testkit {

// Seconds of CPU time on clock: CLOCK_THREAD_CPUTIME_ID, CLOCK_PROCESS_CPUTIME_ID or a thread's.
double CpuSeconds(clockid_t clock);
// The CPU clock of this process's first thread that carries the name (the program names its own), for
// CpuSeconds; the process's own clock when there is none. Finding it takes descriptors, reading it none.
clockid_t CpuClockOfThreadNamed(const std::string& name);
// The peak resident memory of this process, in MiB.
double PeakResidentMiB();
// The resident memory of this process now, in MiB.
double ResidentMiB();

} // namespace kestavo::testkit
