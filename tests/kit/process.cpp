#include "tests/kit/process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace kestavo::testkit {

double CpuSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

clockid_t CpuClockOfThreadNamed(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm == name) {
            // The kernel's encoding of a thread's CPU clock, as pthread_getcpuclockid makes it: the
            // complement of the thread id, then "per thread" and "scheduler time".
            const auto tid = static_cast<clockid_t>(std::stol(task.path().filename().string()));
            return static_cast<clockid_t>((~tid << 3) | 4 | 2);
        }
    }
    return CLOCK_PROCESS_CPUTIME_ID;
}

double PeakResidentMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

} // namespace kestavo::testkit
